#include "platform/ipc.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/futex.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/names.h"

namespace ipc {
namespace {

constexpr char kMagic[8] = {'Q', 'M', 'O', 'B', 'J', '0', '0', '2'};
constexpr size_t kHeaderSize = 64;

struct Header {
    char magic[8];
    uint32_t kind;
    uint32_t reserved;
    uint64_t payloadSize;
};
static_assert(sizeof(Header) <= kHeaderSize);

// A semaphore is its count and nothing else a waiter or poster must lock:
// whatever a client writes here, the server's post and wait return.
struct SemaphorePayload {
    std::atomic<uint32_t> count;
    int32_t maximum;  // for openers; the creator keeps its own copy
};
static_assert(std::atomic<uint32_t>::is_always_lock_free);
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));

struct MutexPayload {
    pthread_mutex_t mutex;
};

// ---- access policy ---------------------------------------------------------

AccessPolicy g_policy;
std::mutex g_policyMutex;

AccessPolicy Policy() {
    std::lock_guard<std::mutex> lock(g_policyMutex);
    return g_policy;
}

mode_t DirectoryMode(const AccessPolicy& p) {
    switch (p.access) {
        case Access::User: return 0700;
        case Access::Group: return 0750;
        case Access::All: return 0755;
    }
    return 0700;
}

mode_t ObjectMode(const AccessPolicy& p) {
    switch (p.access) {
        case Access::User: return 0600;
        case Access::Group: return 0660;
        case Access::All: return 0666;
    }
    return 0600;
}

std::string UserName(uid_t uid) {
    passwd pw, *found = nullptr;
    char buffer[1024];
    if (getpwuid_r(uid, &pw, buffer, sizeof buffer, &found) == 0 && found) return pw.pw_name;
    return "uid " + std::to_string(uid);
}

// ---- SIGBUS guard --------------------------------------------------------------

// One slot per live mapping. The handler only reads the slots and replaces
// a mapping; everything else happens outside it.
constexpr int kGuardSlots = 4096;
struct GuardSlot {
    std::atomic<uintptr_t> start{0};
    std::atomic<size_t> size{0};
    std::atomic<uint32_t> damaged{0};
    std::atomic<uint32_t> reported{0};
};
GuardSlot g_guards[kGuardSlots];
std::string g_guardPaths[kGuardSlots];  // under g_guardMutex
std::mutex g_guardMutex;
std::atomic<uint32_t> g_damageEvents{0};  // raised by the handler; read before any scan
struct sigaction g_previousBus;
std::once_flag g_busOnce;

void OnBus(int sig, siginfo_t* info, void* context) {
    uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
    for (GuardSlot& slot : g_guards) {
        uintptr_t start = slot.start.load(std::memory_order_acquire);
        if (start == 0) continue;
        size_t size = slot.size.load(std::memory_order_relaxed);
        if (address < start || address - start >= size) continue;
        // The file under this mapping was cut short by someone else: zeroed
        // private memory takes its place, and the faulting access goes on
        // there instead of ending the process.
        void* p = mmap(reinterpret_cast<void*>(start), size, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        if (p != MAP_FAILED) {
            slot.damaged.store(1, std::memory_order_release);
            g_damageEvents.fetch_add(1, std::memory_order_release);
            return;
        }
        break;
    }
    // Not one of ours: whatever handled it before, or the default action.
    if ((g_previousBus.sa_flags & SA_SIGINFO) && g_previousBus.sa_sigaction) {
        g_previousBus.sa_sigaction(sig, info, context);
        return;
    }
    if (!(g_previousBus.sa_flags & SA_SIGINFO) && g_previousBus.sa_handler != SIG_DFL &&
        g_previousBus.sa_handler != SIG_IGN) {
        g_previousBus.sa_handler(sig);
        return;
    }
    signal(SIGBUS, SIG_DFL);  // returning repeats the access, which now ends the process
}

void InstallBusHandler() {
    std::call_once(g_busOnce, [] {
        struct sigaction sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sa_sigaction = OnBus;
        sa.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGBUS, &sa, &g_previousBus);
    });
}

int Guard(void* start, size_t size, const std::string& path) {
    InstallBusHandler();
    std::lock_guard<std::mutex> lock(g_guardMutex);
    for (int i = 0; i < kGuardSlots; ++i) {
        GuardSlot& slot = g_guards[i];
        if (slot.start.load(std::memory_order_relaxed) != 0) continue;
        slot.damaged.store(0);
        slot.reported.store(0);
        slot.size.store(size, std::memory_order_relaxed);
        g_guardPaths[i] = path;
        slot.start.store(reinterpret_cast<uintptr_t>(start), std::memory_order_release);
        return i;
    }
    return -1;  // unguarded: a truncation would end the process as before
}

void Unguard(int index) {
    if (index < 0) return;
    std::lock_guard<std::mutex> lock(g_guardMutex);
    g_guards[index].start.store(0, std::memory_order_release);
    g_guardPaths[index].clear();
}

// ---- helpers ----------------------------------------------------------------------

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

int64_t MonotonicNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
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
    out->guard = Guard(p, size, out->path);
    struct stat st;
    if (fstat(fd, &st) == 0) {
        out->device = st.st_dev;
        out->inode = st.st_ino;
    }
    return true;
}

void Unmap(Object* object) {
    Unguard(object->guard);
    object->guard = -1;
    if (object->mapping) munmap(object->mapping, object->mappingSize);
    object->mapping = nullptr;
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

long Futex(std::atomic<uint32_t>* word, int op, uint32_t value, const timespec* timeout) {
    // Not FUTEX_PRIVATE_FLAG: the word lives in memory shared between processes.
    return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), op, value, timeout, nullptr, 0);
}

using Init = void (*)(void* payload, const void* arg);

// Builds the object in a private file, locks it, then links it under its
// name, which is atomic: no process ever sees a half-made object.
Status CreateObject(const std::string& ns, const std::string& name, Kind kind, size_t payloadSize,
                    Init init, const void* arg, Object* out) {
    static std::atomic<uint32_t> serial{0};
    std::string why;
    if (!PrepareNamespace(ns, &why)) return Status::Denied;
    AccessPolicy policy = Policy();
    std::string path = names::HostObjectPath(ns, name);
    // '_' is always followed by two hex digits in an escaped name, so no
    // object name can be "_tmp...".
    std::string temp = names::NamespaceDirectory(ns) + "/_tmp." + std::to_string(getpid()) + "." +
                       std::to_string(serial.fetch_add(1));
    int fd = -1;
    for (int attempt = 0; attempt < 3 && fd < 0; ++attempt) {
        fd = open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        // The directory went with the last object of another thread: again.
        if (fd < 0 && errno == ENOENT && PrepareNamespace(ns, &why)) continue;
        if (fd < 0) return errno == EACCES ? Status::Denied : Status::Error;
    }
    if (fd < 0) return Status::Error;
    if (policy.access == Access::Group) fchown(fd, static_cast<uid_t>(-1), policy.group);
    fchmod(fd, ObjectMode(policy));
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
        int other = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (other < 0) continue;  // vanished meanwhile: try again
        bool leftover = flock(other, LOCK_EX | LOCK_NB) == 0 && SameFile(other, path);
        if (leftover) unlink(path.c_str());
        close(other);
        if (!leftover) break;
    }
    unlink(temp.c_str());
    if (status != Status::Ok) {
        Unmap(&obj);
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

void SetAccessPolicy(const AccessPolicy& policy) {
    std::lock_guard<std::mutex> lock(g_policyMutex);
    g_policy = policy;
}

bool ParseAccess(const std::string& text, AccessPolicy* out, std::string* why) {
    AccessPolicy p;
    if (text == "user") {
        p.access = Access::User;
    } else if (text == "all") {
        p.access = Access::All;
    } else if (text.rfind("group:", 0) == 0 && text.size() > 6) {
        std::string name = text.substr(6);
        group gr, *found = nullptr;
        char buffer[4096];
        if (getgrnam_r(name.c_str(), &gr, buffer, sizeof buffer, &found) != 0 || !found) {
            if (why) *why = "no group named '" + name + "'";
            return false;
        }
        p.access = Access::Group;
        p.group = found->gr_gid;
    } else {
        if (why) *why = "expected user, group:NAME or all, not '" + text + "'";
        return false;
    }
    *out = p;
    return true;
}

bool PrepareNamespace(const std::string& ns, std::string* why) {
    auto fail = [&](const std::string& text) {
        if (why) *why = text;
        return false;
    };
    if (!names::NamespaceFits(ns)) {
        return fail("namespace '" + ns.substr(0, 40) + "...' is too long");
    }
    std::string dir = names::NamespaceDirectory(ns);
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        return fail("cannot create " + dir + ": " + std::strerror(errno));
    }
    // Opened without following a link, then checked on the descriptor: what
    // is checked is what gets used.
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ELOOP || errno == ENOTDIR) {
            return fail(dir + " is not a directory (something else holds the namespace's name); "
                        "remove it or pick another --namespace");
        }
        return fail("cannot open " + dir + ": " + std::strerror(errno));
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode)) {
        close(fd);
        return fail(dir + " is not a directory");
    }
    if (st.st_uid != geteuid()) {
        close(fd);
        return fail(dir + " belongs to " + UserName(st.st_uid) + ", not to " +
                    UserName(geteuid()) + ": namespace '" + ns +
                    "' is another user's; pick another --namespace");
    }
    AccessPolicy policy = Policy();
    if (policy.access == Access::Group) fchown(fd, static_cast<uid_t>(-1), policy.group);
    bool ok = fchmod(fd, DirectoryMode(policy)) == 0;
    close(fd);
    if (!ok) return fail("cannot set the mode of " + dir);
    return true;
}

void RemoveNamespaceIfEmpty(const std::string& ns) {
    rmdir(names::NamespaceDirectory(ns).c_str());
}

Status CreateSection(const std::string& ns, const std::string& name, size_t size, Object* out) {
    return CreateObject(ns, name, Kind::Section, size, nullptr, nullptr, out);
}

Status CreateSemaphore(const std::string& ns, const std::string& name, int32_t initial,
                       int32_t maximum, Object* out) {
    if (maximum <= 0 || initial < 0 || initial > maximum) return Status::Error;
    SemInit si{initial, maximum};
    Status st = CreateObject(
        ns, name, Kind::Semaphore, sizeof(SemaphorePayload),
        [](void* p, const void* a) {
            auto* init = static_cast<const SemInit*>(a);
            auto* s = new (p) SemaphorePayload;
            s->count.store(static_cast<uint32_t>(init->initial));
            s->maximum = init->maximum;
        },
        &si, out);
    if (st == Status::Ok) out->maximum = maximum;
    return st;
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
    int fd = open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return Status::NotFound;
        if (errno == EACCES || errno == EPERM) return Status::Denied;
        return Status::Error;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<size_t>(st.st_size) < kHeaderSize) {
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
    uint64_t payloadSize = h->payloadSize;
    bool fits = payloadSize <= static_cast<uint64_t>(st.st_size) - kHeaderSize;
    if (kind == Kind::Semaphore) fits = fits && payloadSize >= sizeof(SemaphorePayload);
    if (kind == Kind::Mutex) fits = fits && payloadSize >= sizeof(MutexPayload);
    if (std::memcmp(h->magic, kMagic, sizeof kMagic) != 0 ||
        h->kind != static_cast<uint32_t>(kind) || !fits) {
        Unmap(&obj);
        close(fd);
        return Status::WrongKind;
    }
    obj.payloadSize = static_cast<size_t>(payloadSize);
    if (kind == Kind::Semaphore) {
        int32_t maximum = static_cast<SemaphorePayload*>(obj.payload)->maximum;
        obj.maximum = maximum > 0 ? maximum : 1;
    }
    *out = obj;
    return Status::Ok;
}

void Close(Object* object) {
    if (object->fd < 0) return;
    bool removeName = object->creator && SameFile(object->fd, object->path);
    if (removeName) unlink(object->path.c_str());
    Unmap(object);
    close(object->fd);
    if (removeName) {
        std::string dir = object->path.substr(0, object->path.rfind('/'));
        rmdir(dir.c_str());  // only once the namespace holds nothing more
    }
    *object = Object();
}

void Unname(Object* object) {
    if (object->fd < 0 || !object->creator || !SameFile(object->fd, object->path)) return;
    unlink(object->path.c_str());
    std::string dir = object->path.substr(0, object->path.rfind('/'));
    rmdir(dir.c_str());
}

bool IsLive(const std::string& ns, const std::string& name) {
    return IsLiveFile(names::HostObjectPath(ns, name));
}

bool IsLiveFile(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    bool live = flock(fd, LOCK_EX | LOCK_NB) != 0;
    close(fd);
    return live;
}

bool StillNamed(const Object* object) {
    struct stat st;
    if (object->fd < 0 || stat(object->path.c_str(), &st) != 0) return false;
    return st.st_dev == object->device && st.st_ino == object->inode;
}

bool Damaged(const Object* object) {
    return object->guard >= 0 &&
           g_guards[object->guard].damaged.load(std::memory_order_acquire) != 0;
}

std::vector<std::string> TakeDamageReports() {
    std::vector<std::string> out;
    // Called after every wait of every server thread: nothing to scan
    // unless the handler has run since the last report.
    static std::atomic<uint32_t> seen{0};
    uint32_t events = g_damageEvents.load(std::memory_order_acquire);
    if (events == seen.load(std::memory_order_relaxed)) return out;
    seen.store(events, std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(g_guardMutex);
    for (int i = 0; i < kGuardSlots; ++i) {
        GuardSlot& slot = g_guards[i];
        if (slot.start.load(std::memory_order_relaxed) == 0) continue;
        if (slot.damaged.load(std::memory_order_acquire) == 0) continue;
        if (slot.reported.exchange(1) != 0) continue;
        out.push_back(g_guardPaths[i]);
    }
    return out;
}

WaitResult SemaphoreWait(Object* semaphore, uint32_t timeoutMs) {
    auto* s = static_cast<SemaphorePayload*>(semaphore->payload);
    const uint32_t maximum = static_cast<uint32_t>(semaphore->maximum > 0 ? semaphore->maximum : 1);
    const bool forever = timeoutMs == 0xFFFFFFFFu;
    const int64_t deadline = MonotonicNs() + static_cast<int64_t>(timeoutMs) * 1000000LL;
    for (;;) {
        uint32_t v = s->count.load(std::memory_order_acquire);
        if (v > 0) {
            // A count beyond the maximum was written by hand: take one
            // signal and drop the rest, so it cannot keep a waiter busy.
            uint32_t next = v > maximum ? 0 : v - 1;
            if (s->count.compare_exchange_weak(v, next, std::memory_order_acq_rel)) {
                return WaitResult::Signaled;
            }
            continue;
        }
        if (timeoutMs == 0) return WaitResult::Timeout;
        timespec rel{};
        const timespec* timeout = nullptr;
        if (!forever) {
            int64_t left = deadline - MonotonicNs();
            if (left <= 0) return WaitResult::Timeout;
            rel.tv_sec = static_cast<time_t>(left / 1000000000LL);
            rel.tv_nsec = static_cast<long>(left % 1000000000LL);
            timeout = &rel;
        }
        if (Futex(&s->count, FUTEX_WAIT, 0, timeout) != 0 && errno != EAGAIN && errno != EINTR &&
            errno != ETIMEDOUT) {
            return WaitResult::Failed;
        }
    }
}

bool SemaphoreRelease(Object* semaphore, int32_t count, int32_t* previous) {
    auto* s = static_cast<SemaphorePayload*>(semaphore->payload);
    if (count <= 0) return false;
    uint32_t v = s->count.load(std::memory_order_relaxed);
    do {
        if (static_cast<int64_t>(v) + count > semaphore->maximum) return false;
    } while (!s->count.compare_exchange_weak(v, v + static_cast<uint32_t>(count),
                                             std::memory_order_acq_rel));
    if (previous) *previous = static_cast<int32_t>(v);
    Futex(&s->count, FUTEX_WAKE, static_cast<uint32_t>(count), nullptr);
    return true;
}

int32_t SemaphoreValue(Object* semaphore) {
    auto* s = static_cast<SemaphorePayload*>(semaphore->payload);
    return static_cast<int32_t>(s->count.load(std::memory_order_acquire));
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
