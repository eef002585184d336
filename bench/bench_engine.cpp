// Throughput of the serial engine: all 8 ports of a model-1 board as four
// null-modem pairs, unpaced UARTs, bytes moving both ways through
// WritePort, the board interrupt and ReadPort. Baseline: a plain loop
// moving the same bytes through the same simulated UART registers with no
// driver. Prints bytes per second and port-I/O calls per byte for both.
#include <chrono>
#include <cstdio>
#include <vector>

#include "channel/channel.h"
#include "platform/host.h"
#include "serial/port.h"
#include "sim/machine.h"
#include "startup/startup.h"

namespace {

constexpr size_t kBytesPerDirection = 512 * 1024;  // per port
using Clock = std::chrono::steady_clock;

std::unique_ptr<sim::Machine> MakeMachine() {
    sim::MachineOptions o;
    o.fast = true;
    auto m = std::make_unique<sim::Machine>(o);
    sim::BoardConfig c;
    c.model = 1;
    m->addBoard(c);
    for (int p = 0; p < 8; p += 2) m->wire(0, p, "null-modem:0." + std::to_string(p + 1));
    return m;
}

struct Figures {
    double seconds;
    uint64_t bytes;
    uint64_t ioCalls;
};

Figures Driver() {
    ResetDriverState();
    host::Reset();
    host::SetNamespace("bench-engine-" + std::to_string(getpid()));
    host::CaptureConsole(true);
    auto m = MakeMachine();
    host::InstallMachine(m.get());
    m->start();
    g_IrqLine = 5;
    FindBoard();
    LineSettings s{460800, 'n', 1, 8, 0, 0, 0x13, 0x11, 0x03, 0};
    for (uint8_t p = 0; p < 8; ++p) {
        OpenPort(p);
        SetLineSettings(p, reinterpret_cast<const uint8_t*>(&s));
    }
    std::vector<uint8_t> chunk(4096, 0x5A), in(8192);
    std::vector<size_t> sent(8, 0), received(8, 0);
    uint64_t io0 = host::PortIoCalls();
    auto t0 = Clock::now();
    size_t total = 0;
    while (total < 8 * kBytesPerDirection) {
        for (uint8_t p = 0; p < 8; ++p) {
            if (sent[p] < kBytesPerDirection) {
                uint32_t n = 0;
                // Keep less in flight than the far ring holds: unpaced, a
                // sender outruns any reader otherwise.
                if (sent[p] - received[p ^ 1] < 4096) {
                    WritePort(p, chunk.data(), static_cast<uint32_t>(std::min(chunk.size(), kBytesPerDirection - sent[p])), &n);
                    sent[p] += n;
                }
            }
            uint32_t got = 0;
            ReadPort(p, in.data(), static_cast<uint32_t>(in.size()), &got);
            received[p] += got;
            total += got;
        }
    }
    auto t1 = Clock::now();
    uint64_t io = host::PortIoCalls() - io0;
    RtReleaseInterruptVector(g_InterruptHandle);
    g_InterruptHandle = nullptr;
    for (auto& c : g_Channels) {
        if (c) UnregisterDevice(c);
        c = nullptr;
    }
    m->stop();
    ResetDriverState();
    host::InstallMachine(nullptr);
    return {std::chrono::duration<double>(t1 - t0).count(), total, io};
}

Figures Baseline() {
    host::Reset();
    auto m = MakeMachine();
    host::InstallMachine(m.get());
    uint32_t base = m->board(0).uartBase;
    for (uint32_t p = 0; p < 8; ++p) {
        uint32_t io = base + 8 * p;
        RtWritePortUchar(io + 3, 0x80);
        RtWritePortUchar(io + 0, 3);
        RtWritePortUchar(io + 1, 0);
        RtWritePortUchar(io + 3, 0x03);
        RtWritePortUchar(io + 2, 0xC7);
    }
    std::vector<size_t> sent(8, 0), received(8, 0);
    uint64_t io0 = host::PortIoCalls();
    auto t0 = Clock::now();
    size_t total = 0;
    while (total < 8 * kBytesPerDirection) {
        for (uint32_t p = 0; p < 8; ++p) {
            uint32_t io = base + 8 * p;
            uint8_t lsr = RtReadPortUchar(io + 5);
            if ((lsr & 0x20) && sent[p] < kBytesPerDirection) {
                for (int i = 0; i < 56 && sent[p] < kBytesPerDirection; ++i, ++sent[p]) RtWritePortUchar(io, 0x5A);
            }
            while (RtReadPortUchar(io + 5) & 0x01) {
                RtReadPortUchar(io);
                ++received[p];
                ++total;
            }
        }
    }
    auto t1 = Clock::now();
    uint64_t io = host::PortIoCalls() - io0;
    host::InstallMachine(nullptr);
    return {std::chrono::duration<double>(t1 - t0).count(), total, io};
}

}  // namespace

int main() {
    Figures base = Baseline();
    Figures drv = Driver();
    auto show = [](const char* what, const Figures& f) {
        printf("%-34s %10.0f bytes/s  %6.2f port-I/O calls/byte  (%llu bytes in %.2f s)\n", what,
               f.bytes / f.seconds, static_cast<double>(f.ioCalls) / f.bytes,
               static_cast<unsigned long long>(f.bytes), f.seconds);
    };
    printf("8 ports, 4 null-modem pairs, unpaced UARTs, both directions\n");
    show("baseline (register loop, no driver)", base);
    show("driver (WritePort/ISR/ReadPort)", drv);
    printf("driver / baseline: %.2fx the throughput, %.2fx the port-I/O calls per byte\n",
           (drv.bytes / drv.seconds) / (base.bytes / base.seconds),
           (static_cast<double>(drv.ioCalls) / drv.bytes) / (static_cast<double>(base.ioCalls) / base.bytes));
    return 0;
}
