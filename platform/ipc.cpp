#include "platform/ipc.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <new>

#include "platform/names.h"

namespace ipc {
namespace {

constexpr char kMagic[8] = {'Q', 'M', 'O', 'B', 'J', '0', '0', '1'};
constexpr size_t kHeaderSize = 64;

struct Header {
    char magic[8];
    uint32_t kind;
    uint32_t reserved;
    uint64_t payloadSize;
};
static_assert(sizeof(Header) <= kHeaderSize);

struct SemaphorePayload {
    pthread_mutex_t guard;  // makes "check maximum, then post" one step
    sem_t sem;
    int32_t maximum;
};

struct MutexPayload {
    pthread_mutex_t mutex;
};

// Deadlines are on the realtime clock: the timed waits that take them
// (sem_timedwait, pthread_mutex_timedlock) are the ones every tool knows,
// ThreadSanitizer included.
timespec Deadline(uint32_t timeoutMs) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    ts.tv_sec += timeoutMs / 1000;
    ts.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

bool SameFile(int fd, const std::string& path) {
    struct stat a, b;
    if (fstat(fd, &a) != 0 || stat(path.c_str(), &b) != 0) return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool MapFile(int fd, size_t size, Object* out) {
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) return false;
    out->mapping = p;
    out->mappingSize = size;
    out->payload = static_cast<char*>(p) + kHeaderSize;
    return true;
}

void InitRobustMutex(pthread_mutex_t* m, bool recursive) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    if (recursive) pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(m, &attr);
    pthread_mutexattr_destroy(&attr);
}

// Lock a robust mutex; an owner that died leaves it consistent again.
int LockRobust(pthread_mutex_t* m, const timespec* deadline) {
    int rc = deadline ? pthread_mutex_timedlock(m, deadline) : pthread_mutex_lock(m);
    if (rc == EOWNERDEAD) {
        pthread_mutex_consistent(m);
    }
    return rc;
}

using Init = void (*)(void* payload, const void* arg);

// Builds the object in a private file, locks it, then links it under its
// name, which is atomic: no process ever sees a half-made object.
Status CreateObject(const std::string& ns, const std::string& name, Kind kind, size_t payloadSize,
                    Init init, const void* arg, Object* out) {
    static std::atomic<uint32_t> serial{0};
    std::string path = names::HostObjectPath(ns, name);
    std::string temp = std::string(names::ObjectDirectory()) + "/quillmar.tmp." +
                       std::to_string(getpid()) + "." + std::to_string(serial.fetch_add(1)) + "." +
                       std::to_string(static_cast<unsigned long>(time(nullptr)));
    int fd = open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return Status::Error;
    fchmod(fd, 0666);
    size_t size = kHeaderSize + payloadSize;
    Object obj;
    obj.fd = fd;
    obj.kind = kind;
    obj.payloadSize = payloadSize;
    obj.path = path;
    obj.creator = true;
    if (ftruncate(fd, static_cast<off_t>(size)) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0 ||
        !MapFile(fd, size, &obj)) {
        close(fd);
        unlink(temp.c_str());
        return Status::Error;
    }
    if (init) init(obj.payload, arg);
    Header* h = static_cast<Header*>(obj.mapping);
    h->kind = static_cast<uint32_t>(kind);
    h->payloadSize = payloadSize;
    std::memcpy(h->magic, kMagic, sizeof kMagic);

    Status status = Status::Ok;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (link(temp.c_str(), path.c_str()) == 0) {
            status = Status::Ok;
            break;
        }
        if (errno != EEXIST) {
            status = Status::Error;
            break;
        }
        status = Status::Exists;
        // Someone holds the name: a live creator keeps its lock; a process
        // that died has lost it, and its leftover is reclaimed.
        int other = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (other < 0) continue;  // vanished meanwhile: try again
        bool leftover = flock(other, LOCK_EX | LOCK_NB) == 0 && SameFile(other, path);
        if (leftover) unlink(path.c_str());
        close(other);
        if (!leftover) break;
    }
    unlink(temp.c_str());
    if (status != Status::Ok) {
        munmap(obj.mapping, obj.mappingSize);
        close(fd);
        return status;
    }
    *out = obj;
    return Status::Ok;
}

struct SemInit {
    int32_t initial;
    int32_t maximum;
};

}  // namespace

Status CreateSection(const std::string& ns, const std::string& name, size_t size, Object* out) {
    return CreateObject(ns, name, Kind::Section, size, nullptr, nullptr, out);
}

Status CreateSemaphore(const std::string& ns, const std::string& name, int32_t initial,
                       int32_t maximum, Object* out) {
    SemInit si{initial, maximum};
    return CreateObject(
        ns, name, Kind::Semaphore, sizeof(SemaphorePayload),
        [](void* p, const void* a) {
            auto* s = new (p) SemaphorePayload;
            auto* init = static_cast<const SemInit*>(a);
            InitRobustMutex(&s->guard, false);
            sem_init(&s->sem, 1, static_cast<unsigned>(init->initial));
            s->maximum = init->maximum;
        },
        &si, out);
}

Status CreateMutex(const std::string& ns, const std::string& name, bool initialOwner,
                   Object* out) {
    Status st = CreateObject(
        ns, name, Kind::Mutex, sizeof(MutexPayload),
        [](void* p, const void*) { InitRobustMutex(&(new (p) MutexPayload)->mutex, true); },
        nullptr, out);
    if (st == Status::Ok && initialOwner) {
        LockRobust(&static_cast<MutexPayload*>(out->payload)->mutex, nullptr);
    }
    return st;
}

Status Open(const std::string& ns, const std::string& name, Kind kind, Object* out) {
    std::string path = names::HostObjectPath(ns, name);
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? Status::NotFound : Status::Error;
    struct stat st;
    if (fstat(fd, &st) != 0 || static_cast<size_t>(st.st_size) < kHeaderSize) {
        close(fd);
        return Status::WrongKind;
    }
    Object obj;
    obj.fd = fd;
    obj.path = path;
    obj.kind = kind;
    if (!MapFile(fd, static_cast<size_t>(st.st_size), &obj)) {
        close(fd);
        return Status::Error;
    }
    const Header* h = static_cast<const Header*>(obj.mapping);
    if (std::memcmp(h->magic, kMagic, sizeof kMagic) != 0 ||
        h->kind != static_cast<uint32_t>(kind) ||
        h->payloadSize > static_cast<uint64_t>(st.st_size) - kHeaderSize) {
        munmap(obj.mapping, obj.mappingSize);
        close(fd);
        return Status::WrongKind;
    }
    obj.payloadSize = static_cast<size_t>(h->payloadSize);
    *out = obj;
    return Status::Ok;
}

void Close(Object* object) {
    if (object->fd < 0) return;
    if (object->creator && SameFile(object->fd, object->path)) unlink(object->path.c_str());
    if (object->mapping) munmap(object->mapping, object->mappingSize);
    close(object->fd);
    *object = Object();
}

bool IsLive(const std::string& ns, const std::string& name) {
    return IsLiveFile(names::HostObjectPath(ns, name));
}

bool IsLiveFile(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool live = flock(fd, LOCK_EX | LOCK_NB) != 0;
    close(fd);
    return live;
}

WaitResult SemaphoreWait(Object* semaphore, uint32_t timeoutMs) {
    auto* s = static_cast<SemaphorePayload*>(semaphore->payload);
    int rc;
    if (timeoutMs == 0xFFFFFFFFu) {
        do rc = sem_wait(&s->sem);
        while (rc != 0 && errno == EINTR);
    } else {
        timespec deadline = Deadline(timeoutMs);
        do rc = timeoutMs == 0 ? sem_trywait(&s->sem) : sem_timedwait(&s->sem, &deadline);
        while (rc != 0 && errno == EINTR);
        if (rc != 0 && (errno == ETIMEDOUT || errno == EAGAIN)) return WaitResult::Timeout;
    }
    return rc == 0 ? WaitResult::Signaled : WaitResult::Failed;
}

bool SemaphoreRelease(Object* semaphore, int32_t count, int32_t* previous) {
    auto* s = static_cast<SemaphorePayload*>(semaphore->payload);
    if (count <= 0) return false;
    int rc = LockRobust(&s->guard, nullptr);
    if (rc != 0 && rc != EOWNERDEAD) return false;
    int value = 0;
    sem_getvalue(&s->sem, &value);
    bool ok = static_cast<int64_t>(value) + count <= s->maximum;
    if (ok) {
        for (int32_t i = 0; i < count; ++i) sem_post(&s->sem);
        if (previous) *previous = value;
    }
    pthread_mutex_unlock(&s->guard);
    return ok;
}

int32_t SemaphoreValue(Object* semaphore) {
    auto* s = static_cast<SemaphorePayload*>(semaphore->payload);
    int value = 0;
    sem_getvalue(&s->sem, &value);
    return value;
}

WaitResult MutexWait(Object* mutex, uint32_t timeoutMs) {
    auto* m = static_cast<MutexPayload*>(mutex->payload);
    timespec deadline;
    if (timeoutMs != 0xFFFFFFFFu) deadline = Deadline(timeoutMs);
    int rc = LockRobust(&m->mutex, timeoutMs == 0xFFFFFFFFu ? nullptr : &deadline);
    if (rc == 0) return WaitResult::Signaled;
    if (rc == EOWNERDEAD) return WaitResult::Abandoned;
    if (rc == ETIMEDOUT) return WaitResult::Timeout;
    return WaitResult::Failed;
}

bool MutexRelease(Object* mutex) {
    auto* m = static_cast<MutexPayload*>(mutex->payload);
    return pthread_mutex_unlock(&m->mutex) == 0;
}

}  // namespace ipc
