// Request round trip and interrupt latency.
//
// Round trip: a client process sends CommandGetLineErrors to a port over
// and over; the floor, measured in the same run, is two processes
// ping-ponging one byte through a POSIX shared block and two named
// semaphores. On a 2-CPU machine the floor is bimodal (both processes on
// one CPU, or crossing CPUs), so the CPUs each side ran on are printed.
//
// Interrupt latency: from the simulated UART raising the board's IRQ line
// to the board's service routine starting, with a null-modem pair
// streaming at 115200 bit/s.
#include <fcntl.h>
#include <sched.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/client.h"
#include "channel/channel.h"
#include "platform/host.h"
#include "serial/port.h"
#include "sim/machine.h"
#include "startup/startup.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRounds = 20000;

struct Stats {
    double p50, p99;
    std::string cpus;
};

Stats Summarise(std::vector<double> us, const std::set<int>& cpus) {
    std::sort(us.begin(), us.end());
    Stats s{us[us.size() / 2], us[us.size() * 99 / 100], ""};
    for (int c : cpus) s.cpus += std::to_string(c) + " ";
    return s;
}

// Child writes its latencies (us) and CPUs into a pipe.
Stats Collect(int fd) {
    std::vector<double> us(kRounds);
    size_t need = us.size() * sizeof(double), got = 0;
    while (got < need) {
        ssize_t n = read(fd, reinterpret_cast<char*>(us.data()) + got, need - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    int cpuMask = 0;
    if (read(fd, &cpuMask, sizeof cpuMask) != sizeof cpuMask) cpuMask = 0;
    std::set<int> cpus;
    for (int c = 0; c < 31; ++c) {
        if (cpuMask & (1 << c)) cpus.insert(c);
    }
    return Summarise(us, cpus);
}

void Send(int fd, const std::vector<double>& us, int cpuMask) {
    ssize_t n = write(fd, us.data(), us.size() * sizeof(double));
    n = write(fd, &cpuMask, sizeof cpuMask);
    (void)n;
}

Stats Floor() {
    std::string tag = "/qm-floor-" + std::to_string(getpid());
    sem_unlink((tag + "a").c_str());
    sem_unlink((tag + "b").c_str());
    sem_t* a = sem_open((tag + "a").c_str(), O_CREAT | O_EXCL, 0600, 0);
    sem_t* b = sem_open((tag + "b").c_str(), O_CREAT | O_EXCL, 0600, 0);
    int shm = shm_open(tag.c_str(), O_CREAT | O_RDWR, 0600);
    if (ftruncate(shm, 64) != 0) return {};
    auto* block = static_cast<volatile uint8_t*>(mmap(nullptr, 64, PROT_READ | PROT_WRITE, MAP_SHARED, shm, 0));
    int p[2];
    if (pipe(p) != 0) return {};
    pid_t child = fork();
    if (child == 0) {  // the client side
        std::vector<double> us;
        int mask = 0;
        for (int i = 0; i < kRounds; ++i) {
            auto t0 = Clock::now();
            block[0] = static_cast<uint8_t>(i);
            sem_post(a);
            sem_wait(b);
            us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
            mask |= 1 << sched_getcpu();
        }
        Send(p[1], us, mask);
        _exit(0);
    }
    int serverMask = 0;
    for (int i = 0; i < kRounds; ++i) {
        sem_wait(a);
        block[1] = block[0];
        serverMask |= 1 << sched_getcpu();
        sem_post(b);
    }
    Stats s = Collect(p[0]);
    waitpid(child, nullptr, 0);
    for (int c = 0; c < 31; ++c) {
        if (serverMask & (1 << c)) s.cpus += "/" + std::to_string(c);
    }
    sem_unlink((tag + "a").c_str());
    sem_unlink((tag + "b").c_str());
    shm_unlink(tag.c_str());
    return s;
}

Stats RoundTrip(const std::string& ns) {
    int p[2];
    if (pipe(p) != 0) return {};
    pid_t child = fork();
    if (child == 0) {
        qm::Status st;
        std::string why;
        auto port = qm::Port::Attach("0", ns, &st, &why);
        if (!port || port->open() != qm::Status::Ok) _exit(1);
        std::vector<double> us;
        int mask = 0;
        uint8_t errors;
        for (int i = 0; i < kRounds; ++i) {
            auto t0 = Clock::now();
            port->lineErrors(&errors);
            us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
            mask |= 1 << sched_getcpu();
        }
        Send(p[1], us, mask);
        _exit(0);
    }
    Stats s = Collect(p[0]);
    waitpid(child, nullptr, 0);
    return s;
}

sim::Machine* g_machine;
std::vector<double> g_latency;
uint8_t TimedIsr(void* context) {
    uint64_t rise = g_machine->lastIrqRise(5);
    uint64_t now = g_machine->now();
    if (g_latency.size() < 200000 && now >= rise) g_latency.push_back((now - rise) / 1000.0);
    return BoardIsr(context);
}

}  // namespace

int main() {
    Stats floor = Floor();

    ResetDriverState();
    host::Reset();
    std::string ns = "bench-req-" + std::to_string(getpid());
    host::SetNamespace(ns);
    host::CaptureConsole(true);
    sim::Machine m;
    g_machine = &m;
    sim::BoardConfig c;
    m.addBoard(c);
    m.wire(0, 0, "null-modem:0.1");
    host::InstallMachine(&m);
    m.start();
    host::FailCall(host::Service::AttachInterrupt);  // attached below, with a timer around it
    g_IrqLine = 5;
    FindBoard();
    RtHandle irq = RtAttachInterruptVector(nullptr, 0, TimedIsr, &g_IntStatusPort, 127, 5, 0, 5, 5);

    Stats rt = RoundTrip(ns);

    // Interrupt latency under a streaming pair.
    LineSettings s{115200, 'n', 1, 8, 0, 0, 0x13, 0x11, 0x03, 0};
    for (uint8_t p = 0; p < 2; ++p) {
        OpenPort(p);
        SetLineSettings(p, reinterpret_cast<const uint8_t*>(&s));
    }
    std::vector<uint8_t> chunk(1024, 0x33), in(8192);
    auto end = Clock::now() + std::chrono::seconds(2);
    while (Clock::now() < end) {
        uint32_t n;
        WritePort(0, chunk.data(), static_cast<uint32_t>(chunk.size()), &n);
        ReadPort(1, in.data(), static_cast<uint32_t>(in.size()), &n);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    RtReleaseInterruptVector(irq);
    std::vector<double> lat = g_latency;
    Stats il = Summarise(lat, {});

    for (auto& ch : g_Channels) {
        if (ch) UnregisterDevice(ch);
        ch = nullptr;
    }
    m.stop();
    ResetDriverState();
    host::InstallMachine(nullptr);

    printf("request round trip (%d status requests from another process)\n", kRounds);
    printf("  floor (shared block + 2 named semaphores): p50 %7.1f us  p99 %7.1f us  CPUs client %s\n",
           floor.p50, floor.p99, floor.cpus.c_str());
    printf("  driver (CommandGetLineErrors):             p50 %7.1f us  p99 %7.1f us  CPUs client %s\n",
           rt.p50, rt.p99, rt.cpus.c_str());
    printf("  ratio to the floor: p50 %.2fx  p99 %.2fx\n", rt.p50 / floor.p50, rt.p99 / floor.p99);
    printf("  (a floor near 5 us means both sides shared a CPU; near 50 us, they crossed CPUs)\n");
    printf("interrupt latency (line raised -> service routine starts, %zu samples)\n", lat.size());
    printf("  p50 %7.1f us  p99 %7.1f us\n", il.p50, il.p99);
    return 0;
}
