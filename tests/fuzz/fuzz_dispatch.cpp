// libFuzzer target: arbitrary request blocks for the dispatcher, against
// a simulated 2-port board. Beyond crashes and sanitizer reports, it
// checks that a request on port 0's channel never touches port 1's UART.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "channel/channel.h"
#include "platform/host.h"
#include "serial/port.h"
#include "sim/machine.h"
#include "startup/startup.h"

namespace {

constexpr uint32_t kDataSize = 8192;
sim::Machine* g_machine = nullptr;

void SetUpOnce() {
    if (g_machine) return;
    host::SetNamespace("fuzz-" + std::to_string(getpid()));
    host::CaptureConsole(true);
    sim::MachineOptions o;
    o.manualClock = true;
    g_machine = new sim::Machine(o);
    sim::BoardConfig c;
    c.model = 8;  // 2 ports of kind 5
    g_machine->addBoard(c);
    g_machine->wire(0, 0, "loopback");
    host::InstallMachine(g_machine);
    host::FailCall(host::Service::AttachInterrupt);  // the fuzzer calls the service itself
    g_IrqLine = 5;
    FindBoard();
    SetCurrentChannel(g_Channels[0]);
    // Give the names back when the run ends.
    atexit([] {
        for (auto& ch : g_Channels) {
            if (ch) UnregisterDevice(ch);
            ch = nullptr;
        }
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
    SetUpOnce();
    if (size < 16) return 0;
    // The block: a real section's header as the server left it, then the
    // fuzzer's bytes over the client-writable fields and the data.
    static std::vector<uint8_t> block(kBlockHeaderBytes + kDataSize);
    std::memset(block.data(), 0, block.size());
    std::memcpy(block.data(), g_Channels[0]->block, kBlockData);
    uint32_t command;
    std::memcpy(&command, input, 4);
    command %= 20;  // mostly real codes, some others
    std::memcpy(block.data() + kBlockCommand, &command, 4);
    block[kBlockPortNumber] = input[4];
    block[kBlockNameLength] = input[5];
    std::memcpy(block.data() + kBlockLength, input + 6, 4);
    std::memcpy(block.data() + kBlockNamePtr, input + 10, 4);
    std::memcpy(block.data() + kBlockData, input + 16, std::min<size_t>(size - 16, kDataSize));

    uint32_t other = g_Ports[1]->ioBase;
    g_machine->setTrace(true);
    DispatchRequest(block.data() + kBlockNamePtr);
    // Let the interrupt side run too, as it would.
    g_machine->advanceTo(g_machine->now() + (input[14] % 8) * 1000000ull);
    BoardIsr(&g_IntStatusPort);
    for (const auto& e : g_machine->takeTrace()) {
        if (e.port >= other && e.port < other + 8) __builtin_trap();  // another channel's port
    }
    g_machine->setTrace(false);
    host::TakeConsole();
    return 0;
}
