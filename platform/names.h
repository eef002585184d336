// How a platform object name becomes a host object name.
//
// Named objects (shared memory, semaphores, mutexes) live as files in the
// host's POSIX shared-memory directory. A name such as
// "\RtDevice\Quillmar\Serial0.s1" becomes
//   quillmar.<namespace>.<escaped name>
// where the escaping keeps letters, digits, '.' and '-' and writes every
// other byte as '_' followed by two upper-case hex digits (in the namespace
// a '.' is escaped too, so the namespace always ends at the next dot):
//   "\RtDevice\Quillmar\Serial0.s1" -> "quillmar.default._5CRtDevice_5CQuillmar_5CSerial0.s1"
// The escaping is one-to-one, so two names never share a host object. The
// namespace (quillmard --namespace, default "default") keeps parallel runs
// apart. The driver's platform layer and the client library both use this
// one function.
#pragma once

#include <string>

namespace names {

std::string EscapeComponent(const std::string& text, bool keepDots);
std::string HostObjectName(const std::string& ns, const std::string& name);
// Directory that holds the object files ("/dev/shm").
const char* ObjectDirectory();
std::string HostObjectPath(const std::string& ns, const std::string& name);

}  // namespace names
