// Cost of the paced UART model: all 8 ports of a model-4 board as four
// null-modem pairs at 921600 bit/s, full duplex, for a stretch of
// simulated time. A feeder keeps every transmit FIFO topped up and every
// receive FIFO drained through the registers, waking every 100 us of
// simulated time (about the interrupt rate a driver would see). Prints
// the CPU time the model spends moving time on per simulated second, and
// the cost of one register access, beside the same run with idle lines
// (the baseline).
#include <time.h>

#include <cstdio>

#include "sim/machine.h"

namespace {

double CpuSeconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

struct Result {
    double cpu;       // everything
    double advance;   // the model moving time on: characters, time-outs, interrupts
    uint64_t bytes;
    uint64_t accesses;
};

Result Run(double simulatedSeconds, bool wired) {
    sim::MachineOptions o;
    o.manualClock = true;
    sim::Machine m(o);
    sim::BoardConfig c;
    m.addBoard(c);
    if (wired) {
        for (int p = 0; p < 8; p += 2) m.wire(0, p, "null-modem:0." + std::to_string(p + 1));
    }
    uint32_t base = m.board(0).uartBase;
    for (uint32_t p = 0; p < 8; ++p) {
        uint32_t io = base + 8 * p;
        m.ioWrite8(io + 3, 0x80);
        m.ioWrite8(io + 0, 1);  // 921600 bit/s at 14745600 Hz
        m.ioWrite8(io + 1, 0);
        m.ioWrite8(io + 3, 0x03);
        m.ioWrite8(io + 2, 0x07);
    }
    const uint64_t step = 100000;  // 100 us
    const uint64_t end = static_cast<uint64_t>(simulatedSeconds * 1e9);
    uint64_t bytes = 0, accesses = 0;
    double advance = 0;
    double t0 = CpuSeconds();
    for (uint64_t t = step; t <= end; t += step) {
        double a0 = CpuSeconds();
        m.advanceTo(t);
        advance += CpuSeconds() - a0;
        for (uint32_t p = 0; p < 8; ++p) {
            uint32_t io = base + 8 * p;
            ++accesses;
            if (m.ioRead8(io + 5) & 0x20) {
                for (int i = 0; i < 112; ++i) m.ioWrite8(io, static_cast<uint8_t>(i));
                accesses += 112;
            }
            while (m.ioRead8(io + 5) & 0x01) {
                m.ioRead8(io);
                ++bytes;
                accesses += 2;
            }
        }
    }
    return {CpuSeconds() - t0, advance, bytes, accesses};
}

}  // namespace

int main() {
    const double seconds = 2.0;
    Result idle = Run(seconds, false);
    Result load = Run(seconds, true);
    printf("8 UARTs at 921600 bit/s, full duplex, %.0f simulated seconds, %.0f bytes/s received\n",
           seconds, load.bytes / seconds);
    printf("model advancing time (characters, time-outs, interrupts): %.3f s CPU per simulated second"
           " (%.1f%% of one core; baseline with idle lines %.3f)\n",
           load.advance / seconds, 100.0 * load.advance / seconds, idle.advance / seconds);
    printf("register accesses: %.0f per simulated second at %.0f ns each (baseline %.0f ns)\n",
           load.accesses / seconds, 1e9 * (load.cpu - load.advance) / load.accesses,
           1e9 * (idle.cpu - idle.advance) / idle.accesses);
    printf("everything: %.3f s CPU per simulated second\n", load.cpu / seconds);
    return 0;
}
