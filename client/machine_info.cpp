#include "client/machine_info.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/names.h"

namespace qm {

namespace {

// In the namespace's own directory, where only its owner creates files.
// '_' followed by a non-hex letter never begins an escaped object name.
constexpr char kInfoPrefix[] = "_info.";

std::string InfoPath(const std::string& ns, int pid) {
    return names::NamespaceDirectory(ns) + "/" + kInfoPrefix + std::to_string(pid);
}

// Device names hold backslashes but never tabs or newlines.
std::string Field(std::istringstream& in) {
    std::string f;
    std::getline(in, f, '\t');
    return f;
}

}  // namespace

std::string FormatMachineInfo(const MachineInfo& info) {
    std::ostringstream out;
    out << "quillmard-info 1\n";
    out << "pid\t" << info.pid << "\n";
    for (const auto& p : info.ports) {
        out << "port\t" << p.device << "\t" << p.number << "\t" << p.board << "\t" << p.index
            << "\t" << p.model << "\t" << p.clockHz << "\t" << p.line << "\t" << p.holds << "\t"
            << p.dropped << "\n";
    }
    return out.str();
}

bool ParseMachineInfo(const std::string& text, MachineInfo* out) {
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != "quillmard-info 1") return false;
    MachineInfo info;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string key = Field(f);
        try {
            if (key == "pid") {
                info.pid = std::stoi(Field(f));
            } else if (key == "port") {
                PortInfo p;
                p.device = Field(f);
                p.number = std::stoi(Field(f));
                p.board = std::stoi(Field(f));
                p.index = std::stoi(Field(f));
                p.model = std::stoi(Field(f));
                p.clockHz = static_cast<uint32_t>(std::stoul(Field(f)));
                p.line = Field(f);
                std::string holds = Field(f), dropped = Field(f);
                if (!holds.empty()) p.holds = std::stoull(holds);
                if (!dropped.empty()) p.dropped = std::stoull(dropped);
                info.ports.push_back(p);
            }
        } catch (...) {
            return false;
        }
    }
    *out = info;
    return true;
}

bool PublishMachineInfo(const std::string& ns, const MachineInfo& info) {
    // Made new under a name of its own, never through a link someone
    // planted (the directory is the driver's alone), then put in place in
    // one step, so a reader never sees half a file.
    std::string path = InfoPath(ns, info.pid);
    std::string fresh = path + ".new";
    unlink(fresh.c_str());
    int fd = open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    std::string text = FormatMachineInfo(info);
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    // Readable by whoever the namespace's directory lets in.
    ok = fchmod(fd, 0444) == 0 && ok;
    ok = close(fd) == 0 && ok;
    ok = ok && rename(fresh.c_str(), path.c_str()) == 0;
    if (!ok) unlink(fresh.c_str());
    return ok;
}

void RemoveMachineInfo(const std::string& ns) {
    unlink(InfoPath(ns, getpid()).c_str());
    rmdir(names::NamespaceDirectory(ns).c_str());  // only when nothing else is left
}

std::vector<MachineInfo> ReadMachineInfo(const std::string& ns) {
    std::vector<MachineInfo> result;
    std::string directory = names::NamespaceDirectory(ns);
    DIR* dir = opendir(directory.c_str());
    if (!dir) return result;
    while (dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name.rfind(kInfoPrefix, 0) != 0 || name.find(".new") != std::string::npos) continue;
        std::ifstream in(directory + "/" + name);
        std::stringstream ss;
        ss << in.rdbuf();
        MachineInfo info;
        if (!ParseMachineInfo(ss.str(), &info)) continue;
        // A file left by an instance that died says nothing any more.
        if (info.pid <= 0 || (kill(info.pid, 0) != 0 && errno == ESRCH)) continue;
        result.push_back(info);
    }
    closedir(dir);
    return result;
}

}  // namespace qm
