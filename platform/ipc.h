// Cross-process named objects on the host: shared-memory sections,
// counting semaphores with a maximum count, and robust recursive mutexes.
//
// Each object is one file in its namespace's directory (names.h) with a
// small header and the object's payload, mapped by every process that uses
// it. The creator holds an exclusive flock on the file for the object's
// life: a creator that finds the name taken can tell a live object (lock
// held) from one left behind by a process that died (lock free), and
// reclaims only the latter.
//
// Trust: every byte of a mapping can be rewritten, and the file truncated,
// by any process allowed to open it. So
//  - who may open it is decided by the namespace directory and the object
//    modes (AccessPolicy), checked by the creator before anything is made;
//  - semaphores are a bare atomic count with a futex: posting and waiting
//    take no lock, so a client can at worst corrupt its own count;
//  - a mapping whose file shrinks under it does not kill the process: the
//    SIGBUS is caught, zero-filled private memory takes the mapping's place
//    and the object is marked damaged (Damaged, TakeDamageReports).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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
    int32_t maximum = 0;       // a semaphore's maximum, as this process knows it
    int guard = -1;            // slot of the SIGBUS guard, -1 none
    dev_t device = 0;          // identity of the file, to tell a new object
    ino_t inode = 0;           // of the same name from this one
};

enum class Status { Ok, Exists, NotFound, WrongKind, Denied, Error };

// Who may open the objects this process creates: its own user only (the
// default), also a group, or everybody.
enum class Access { User, Group, All };
struct AccessPolicy {
    Access access = Access::User;
    gid_t group = 0;
};
void SetAccessPolicy(const AccessPolicy& policy);
// Parses "user", "group:NAME" or "all"; false with the reason otherwise.
bool ParseAccess(const std::string& text, AccessPolicy* out, std::string* why);

// Makes the namespace's directory ready for creating objects: creates it,
// or checks that the one there is a real directory owned by this user and
// writable by nobody else, and gives it the policy's mode. False, with a
// sentence in *why, when the name is held by someone else or unusable.
bool PrepareNamespace(const std::string& ns, std::string* why);
// Removes the namespace's directory when it is empty.
void RemoveNamespaceIfEmpty(const std::string& ns);

// Creates the object under `name` in namespace `ns`. Fails with Exists when
// a live object holds the name, Denied when the namespace is not ours.
Status CreateSection(const std::string& ns, const std::string& name, size_t size, Object* out);
Status CreateSemaphore(const std::string& ns, const std::string& name, int32_t initial,
                       int32_t maximum, Object* out);
Status CreateMutex(const std::string& ns, const std::string& name, bool initialOwner,
                   Object* out);

// Opens an existing object (client side). Denied when permissions refuse it.
Status Open(const std::string& ns, const std::string& name, Kind kind, Object* out);

// Unmaps and closes; a creator also removes the name, if it still names
// this object, and the namespace directory once it is empty.
void Close(Object* object);

// Removes the name of an object this process created, as Close does, but
// leaves the mapping in place for threads that may still use it (for a
// process about to end).
void Unname(Object* object);

// True when a live creator holds the object (used to tell leftovers apart).
bool IsLive(const std::string& ns, const std::string& name);
// The same for an object file found by path.
bool IsLiveFile(const std::string& path);
// True when `name` names, right now, the very file `object` has open.
bool StillNamed(const Object* object);

// True once the object's file was cut short under its mapping.
bool Damaged(const Object* object);
// Paths of objects damaged since the last call.
std::vector<std::string> TakeDamageReports();

// Waits: timeoutMs of 0xFFFFFFFF waits for ever.
enum class WaitResult { Signaled, Abandoned, Timeout, Failed };
WaitResult SemaphoreWait(Object* semaphore, uint32_t timeoutMs);
// False when the count would exceed the maximum (nothing released then).
bool SemaphoreRelease(Object* semaphore, int32_t count, int32_t* previous);
int32_t SemaphoreValue(Object* semaphore);
WaitResult MutexWait(Object* mutex, uint32_t timeoutMs);
bool MutexRelease(Object* mutex);

}  // namespace ipc
