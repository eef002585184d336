#include "platform/names.h"

namespace names {

std::string EscapeComponent(const std::string& text, bool keepDots) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() + 8);
    for (unsigned char c : text) {
        bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    (c == '.' && keepDots) || c == '-';
        if (keep) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('_');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0x0F]);
        }
    }
    return out;
}

std::string HostObjectName(const std::string& ns, const std::string& name) {
    // No dot survives in the namespace, so the first dot after it ends it.
    return "quillmar." + EscapeComponent(ns.empty() ? std::string("default") : ns, false) + "." +
           EscapeComponent(name, true);
}

const char* ObjectDirectory() { return "/dev/shm"; }

std::string HostObjectPath(const std::string& ns, const std::string& name) {
    return std::string(ObjectDirectory()) + "/" + HostObjectName(ns, name);
}

}  // namespace names
