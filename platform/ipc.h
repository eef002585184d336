// Cross-process named objects on the host: shared-memory sections,
// counting semaphores with a maximum count, and robust recursive mutexes.
//
// Each object is one file in the shared-memory directory (names.h) with a
// small header and the object's payload, mapped by every process that uses
// it. The creator holds an exclusive flock on the file for the object's
// life: a creator that finds the name taken can tell a live object (lock
// held) from one left behind by a process that died (lock free), and
// reclaims only the latter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ipc {

enum class Kind : uint32_t { Section = 1, Semaphore = 2, Mutex = 3 };

struct Object {
    int fd = -1;
    void* mapping = nullptr;
    size_t mappingSize = 0;
    void* payload = nullptr;   // the section's bytes, or the sync object
    size_t payloadSize = 0;
    std::string path;
    Kind kind = Kind::Section;
    bool creator = false;
};

enum class Status { Ok, Exists, NotFound, WrongKind, Error };

// Creates the object under `name` in namespace `ns`. Fails with Exists when
// a live object holds the name.
Status CreateSection(const std::string& ns, const std::string& name, size_t size, Object* out);
Status CreateSemaphore(const std::string& ns, const std::string& name, int32_t initial,
                       int32_t maximum, Object* out);
Status CreateMutex(const std::string& ns, const std::string& name, bool initialOwner,
                   Object* out);

// Opens an existing object (client side).
Status Open(const std::string& ns, const std::string& name, Kind kind, Object* out);

// Unmaps and closes; a creator also removes the name, if it still names
// this object.
void Close(Object* object);

// True when a live creator holds the object (used to tell leftovers apart).
bool IsLive(const std::string& ns, const std::string& name);
// The same for an object file found by path.
bool IsLiveFile(const std::string& path);

// Waits: timeoutMs of 0xFFFFFFFF waits for ever.
enum class WaitResult { Signaled, Abandoned, Timeout, Failed };
WaitResult SemaphoreWait(Object* semaphore, uint32_t timeoutMs);
// False when the count would exceed the maximum (nothing released then).
bool SemaphoreRelease(Object* semaphore, int32_t count, int32_t* previous);
int32_t SemaphoreValue(Object* semaphore);
WaitResult MutexWait(Object* mutex, uint32_t timeoutMs);
bool MutexRelease(Object* mutex);

}  // namespace ipc
