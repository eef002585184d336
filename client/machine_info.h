// What a running quillmard publishes about itself that the request
// protocol does not carry: the ports it serves, their board, model, UART
// clock and line wiring. One read-only file per instance in the
// shared-memory directory, named after the namespace and the process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qm {

struct PortInfo {
    std::string device;   // "\RtDevice\Quillmar\Serial0"
    int number = 0;       // the number in the device name
    int board = 0;        // board number in --board order
    int index = 0;        // port index on the board
    int model = 0;
    uint32_t clockHz = 0;
    std::string line;     // how the far end is wired ("null-modem:0.1", "pty /dev/pts/3", ...)
    // Refreshed about once a second while quillmard runs:
    uint64_t holds = 0;    // times the line into the port held for its service
    uint64_t dropped = 0;  // bytes its far end dropped (a pty or socket reader that lagged)
};

struct MachineInfo {
    int pid = 0;
    std::vector<PortInfo> ports;
};

std::string FormatMachineInfo(const MachineInfo& info);
bool ParseMachineInfo(const std::string& text, MachineInfo* out);

// Written by quillmard (and written again as its counts change); removed
// when it ends.
bool PublishMachineInfo(const std::string& ns, const MachineInfo& info);
void RemoveMachineInfo(const std::string& ns);
// Every live instance's information in the namespace.
std::vector<MachineInfo> ReadMachineInfo(const std::string& ns);

}  // namespace qm
