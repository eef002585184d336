#include "client/machine_info.h"

#include <dirent.h>
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

std::string InfoPrefix(const std::string& ns) {
    return names::HostObjectName(ns, "") + "info.";
}

std::string InfoPath(const std::string& ns, int pid) {
    return std::string(names::ObjectDirectory()) + "/" + InfoPrefix(ns) + std::to_string(pid);
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
            << "\t" << p.model << "\t" << p.clockHz << "\t" << p.line << "\n";
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
    std::string path = InfoPath(ns, info.pid);
    std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::trunc);
        if (!out) return false;
        out << FormatMachineInfo(info);
        if (!out) return false;
    }
    chmod(temp.c_str(), 0444);
    return rename(temp.c_str(), path.c_str()) == 0;
}

void RemoveMachineInfo(const std::string& ns) { unlink(InfoPath(ns, getpid()).c_str()); }

std::vector<MachineInfo> ReadMachineInfo(const std::string& ns) {
    std::vector<MachineInfo> result;
    std::string prefix = InfoPrefix(ns);
    DIR* dir = opendir(names::ObjectDirectory());
    if (!dir) return result;
    while (dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name.rfind(prefix, 0) != 0 || name.find(".tmp") != std::string::npos) continue;
        std::ifstream in(std::string(names::ObjectDirectory()) + "/" + name);
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
