// How a platform object name becomes a host object name.
//
// Named objects (shared memory, semaphores, mutexes) live as files in a
// directory of their namespace's own inside the host's POSIX shared-memory
// directory. A name such as "\RtDevice\Quillmar\Serial0.s1" in namespace
// "default" becomes
//   /dev/shm/quillmar.default/_5CRtDevice_5CQuillmar_5CSerial0.s1
// where the escaping keeps letters, digits, '.' and '-' and writes every
// other byte as '_' followed by two upper-case hex digits (in the namespace
// a '.' is escaped too). The escaping is one-to-one, so two names never
// share a host object. The namespace (quillmard --namespace, default
// "default") keeps parallel runs apart, and its directory is where the
// access policy is enforced (ipc.h). The driver's platform layer and the
// client library both use these functions.
#pragma once

#include <string>

namespace names {

std::string EscapeComponent(const std::string& text, bool keepDots);
// The namespace directory's name inside ObjectDirectory().
std::string NamespaceDirectoryName(const std::string& ns);
// Directory that holds the namespace directories ("/dev/shm").
const char* ObjectDirectory();
std::string NamespaceDirectory(const std::string& ns);
// The object file's name inside its namespace directory.
std::string HostObjectName(const std::string& name);
std::string HostObjectPath(const std::string& ns, const std::string& name);

// Longest namespace a directory name can hold once escaped (NAME_MAX).
bool NamespaceFits(const std::string& ns);

// What a user may give as a namespace: 1 to 64 letters, digits, '.', '_'
// or '-'. False, with a sentence in *why, otherwise.
bool ValidNamespace(const std::string& ns, std::string* why);

}  // namespace names
