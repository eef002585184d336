#include "platform/names.h"

namespace names {

namespace {
constexpr size_t kNameMax = 255;
const char kPrefix[] = "quillmar.";
}  // namespace

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

std::string NamespaceDirectoryName(const std::string& ns) {
    return kPrefix + EscapeComponent(ns.empty() ? std::string("default") : ns, false);
}

const char* ObjectDirectory() { return "/dev/shm"; }

std::string NamespaceDirectory(const std::string& ns) {
    return std::string(ObjectDirectory()) + "/" + NamespaceDirectoryName(ns);
}

std::string HostObjectName(const std::string& name) { return EscapeComponent(name, true); }

std::string HostObjectPath(const std::string& ns, const std::string& name) {
    return NamespaceDirectory(ns) + "/" + HostObjectName(name);
}

bool NamespaceFits(const std::string& ns) { return NamespaceDirectoryName(ns).size() <= kNameMax; }

bool ValidNamespace(const std::string& ns, std::string* why) {
    bool ok = !ns.empty() && ns.size() <= 64;
    for (unsigned char c : ns) {
        ok = ok && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '_' || c == '-');
    }
    if (!ok && why) {
        std::string shown = ns.size() > 40 ? ns.substr(0, 40) + "..." : ns;
        *why = "namespace '" + shown + "' is not valid: use 1 to 64 letters, digits, '.', '_' or '-'";
    }
    return ok;
}

}  // namespace names
