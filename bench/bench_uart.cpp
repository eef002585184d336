// Cost of the paced UART model: all 8 ports of a model-4 board as four
// null-modem pairs at 921600 bit/s, full duplex, for a stretch of
// simulated time. A feeder keeps every transmit FIFO topped up and every
// receive FIFO drained through the registers, waking every 100 us of
// simulated time (about the interrupt rate a driver would see). Prints
// the CPU time per simulated second, beside the feeder alone run against
// a machine with no line timing work to do (the baseline).
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
    double cpu;
    uint64_t bytes;
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
    uint64_t bytes = 0;
    double t0 = CpuSeconds();
    for (uint64_t t = step; t <= end; t += step) {
        m.advanceTo(t);
        for (uint32_t p = 0; p < 8; ++p) {
            uint32_t io = base + 8 * p;
            if (m.ioRead8(io + 5) & 0x20) {
                for (int i = 0; i < 112; ++i) m.ioWrite8(io, static_cast<uint8_t>(i));
            }
            while (m.ioRead8(io + 5) & 0x01) {
                m.ioRead8(io);
                ++bytes;
            }
        }
    }
    return {CpuSeconds() - t0, bytes};
}

}  // namespace

int main() {
    const double seconds = 2.0;
    Result idle = Run(seconds, false);
    Result load = Run(seconds, true);
    printf("8 UARTs at 921600 bit/s, full duplex, %.0f simulated seconds\n", seconds);
    printf("baseline (same feeder, lines unwired): %.3f s CPU per simulated second\n", idle.cpu / seconds);
    printf("paced model with the load:             %.3f s CPU per simulated second, %.0f bytes/s received\n",
           load.cpu / seconds, load.bytes / seconds);
    printf("model's own cost: %.3f s CPU per simulated second (%.1f%% of one core)\n",
           (load.cpu - idle.cpu) / seconds, 100.0 * (load.cpu - idle.cpu) / seconds);
    return 0;
}
