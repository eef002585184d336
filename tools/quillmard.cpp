// quillmard: the driver on a simulated PCI machine.
//
//   quillmard [machine options] [-- driver options]
//
// Builds the machine from its own options, then starts the driver through
// its image entry with the options after "--". Ends on SIGINT or SIGTERM
// after tearing the driver down.
#include <fmt/core.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/machine_info.h"
#include "platform/host.h"
#include "platform/ipc.h"
#include "platform/names.h"
#include "sim/machine.h"
#include "channel/channel.h"
#include "startup/startup.h"
#include "tools/machine_options.h"

namespace {

sim::Machine* g_machine = nullptr;

const char kFooter[] = R"(
Lines (--line B.P=WHAT, B the board's number in --board order, P the port):
  none                 idle line, modem inputs inactive (unwired ports)
  loopback             plug: TX to RX, RTS to CTS, DTR to DSR, DCD and RI
  null-modem:B.Q       cable to port Q of board B
  pty, pty:LINK        a Linux pseudo-terminal (path printed; LINK: a symlink)
  tcp-listen:PORT      listen on 127.0.0.1:PORT for the far end
  tcp:HOST:PORT        connect to the far end
  unix-listen:PATH     listen on a Unix socket
  unix:PATH            connect to a Unix socket

Line trouble (--inject B.P=KIND:EVERY_MS): parity, framing or break
arriving at port P of board B every EVERY_MS milliseconds.

With no --board, --no-board or --line: one 8-port model-4 board (14745600 Hz)
on IRQ 5, ports 0-1, 2-3, 4-5 null-modem pairs, 6 loopback, 7 pty.

Driver options (after --): -Q IRQ, -S 0|1 shared IRQ, -P first device number,
-h usage.

Examples:
  quillmard -- -Q 5
  quillmard --board model=1,irq=5 --line 0.0=null-modem:0.1 -- -Q 5 -P 0
  quillmard --namespace test1 --board model=4,irq=9 --line 0.0=pty:/tmp/ttyQ0 -- -Q 9
)";

// After the bring-up: which board the driver took, and the ports it serves.
qm::MachineInfo DescribeService() {
    qm::MachineInfo info;
    info.pid = getpid();
    for (size_t b = 0; b < g_machine->boardCount(); ++b) {
        sim::Board& board = g_machine->board(static_cast<int>(b));
        if (board.uartBase + 0x4C != g_IntStatusPort) continue;
        for (uint8_t n = 0; n < g_PortCount && n < board.uarts.size(); ++n) {
            if (!g_Channels[n]) continue;
            qm::PortInfo p;
            p.device = g_PortNames[n].path;
            p.number = n + g_PortNameBase;
            p.board = static_cast<int>(b);
            p.index = n;
            p.model = board.config.model;
            p.clockHz = g_UartClock;
            p.line = g_machine->describeLine(static_cast<int>(b), n);
            info.ports.push_back(p);
        }
    }
    return info;
}

// The published file, kept current with the line's counts (holds, bytes
// dropped at the far end) about once a second until the process ends.
std::mutex g_infoMutex;
bool g_infoClosed = false;

void PublishCounts(qm::MachineInfo* info) {
    for (auto& p : info->ports) {
        p.holds = g_machine->inputHolds(p.board, p.index);
        p.dropped = g_machine->droppedAtFarEnd(p.board, p.index);
    }
    std::lock_guard<std::mutex> lock(g_infoMutex);
    if (!g_infoClosed) qm::PublishMachineInfo(host::Namespace(), *info);
}

void StartPublishing() {
    auto info = std::make_shared<qm::MachineInfo>(DescribeService());
    PublishCounts(info.get());
    std::thread([info] {
        for (;;) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            {
                std::lock_guard<std::mutex> lock(g_infoMutex);
                if (g_infoClosed) return;
            }
            PublishCounts(info.get());
        }
    }).detach();
}

void ClosePublishing() {
    std::lock_guard<std::mutex> lock(g_infoMutex);
    g_infoClosed = true;
    qm::RemoveMachineInfo(host::Namespace());
}

// Set once the bring-up has finished (the driver's main thread parked, or
// the driver ended early): only then may the tear-down touch the ports.
std::atomic<bool> g_broughtUp{false};
std::atomic<bool> g_tearingDown{false};

[[noreturn]] void TearDownAndExit(uint32_t code) {
    if (g_tearingDown.exchange(true)) {
        for (;;) pause();  // the first caller ends the process
    }
    ShutdownBoard();
    ExitProcess(code);
}

// The driver's main thread parks after its bring-up. A board served only
// in part (some port names held by a live driver) is worse than none: the
// user would talk to two drivers without knowing, so this one leaves.
void AfterBringUp() {
    bool partial = false;
    for (uint8_t n = 0; n < g_PortCount; ++n) partial = partial || !g_Channels[n];
    g_broughtUp.store(true);
    if (partial) {
        fmt::print(stderr,
                   "quillmard: not every port of the board could be registered (see above), so none "
                   "is served: stop the driver that holds these names, or give this one another -P "
                   "or --namespace\n");
        TearDownAndExit(1);
    }
    StartPublishing();
}

}  // namespace

int main(int argc, char** argv) {
    // Everything after "--" belongs to the driver.
    std::vector<std::string> driverArgs = {"quillmard"};
    int ownArgc = argc;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--") {
            ownArgc = i;
            for (int j = i + 1; j < argc; ++j) driverArgs.emplace_back(argv[j]);
            break;
        }
    }

    CLI::App app{"quillmard: the Quillmar serial driver on a simulated PCI machine"};
    app.footer(kFooter);
    std::vector<std::string> boardSpecs, lineSpecs;
    bool noBoard = false, realtime = false, noRealtime = false, fast = false, strictTime = false;
    std::string ns = "default";
    uint32_t translation = 0;
    app.add_option("--board", boardSpecs, "a board: model=M,irq=I[,bus=,slot=,function=,options=,id=]")
        ->type_name("SPEC");
    app.add_flag("--no-board", noBoard, "a machine without any board of the family");
    app.add_option("--line", lineSpecs, "wire port P of board B: B.P=WHAT (see below)")
        ->type_name("B.P=WHAT");
    std::vector<std::string> injectSpecs;
    app.add_option("--inject", injectSpecs,
                   "line trouble on a port: B.P=parity|framing|break:EVERY_MS (e.g. 0.1=parity:500)")
        ->type_name("B.P=KIND:MS");
    app.add_option("--namespace", ns, "keeps the named objects of parallel runs apart")
        ->capture_default_str();
    std::string access = "user";
    app.add_option("--access", access,
                   "who may open the ports: user (only you), group:NAME, or all (every local user)")
        ->capture_default_str();
    app.add_flag("--realtime", realtime,
                 "real-time scheduling for the driver's and the machine's threads (the default "
                 "where the process may: root or CAP_SYS_NICE)");
    app.add_flag("--no-realtime", noRealtime, "ordinary scheduling for every thread");
    app.add_flag("--strict-time", strictTime,
                 "no line holds: a port whose service is late overruns, as host delays fall "
                 "(for latency studies)");
    app.add_flag("--fast", fast, "UARTs move characters without line timing");
    int irqCpu = -1;
    app.add_option("--irq-cpu", irqCpu,
                   "run the simulated interrupt source and the interrupt thread on this CPU")
        ->capture_default_str();
    app.add_option("--translation-offset", translation,
                   "host I/O address = bus address + offset (a multiple of 256)");
    try {
        app.parse(ownArgc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }
    if (translation % 256 != 0) {
        fmt::print(stderr, "quillmard: --translation-offset {} is not a multiple of 256\n", translation);
        return 2;
    }

    ipc::AccessPolicy policy;
    std::string why;
    if (!names::ValidNamespace(ns, &why)) {
        fmt::print(stderr, "quillmard: --namespace: {}\n", why);
        return 2;
    }
    if (!ipc::ParseAccess(access, &policy, &why)) {
        fmt::print(stderr, "quillmard: --access {}: {}\n", access, why);
        return 2;
    }
    if (policy.access == ipc::Access::All) {
        fmt::print(stderr,
                   "quillmard: warning: --access all lets every local user read, write and "
                   "reconfigure these ports\n");
    }
    ipc::SetAccessPolicy(policy);

    sim::MachineOptions mo;
    mo.fast = fast;
    mo.strictTime = strictTime;
    mo.realtime = !noRealtime;
    mo.translationOffset = translation;
    auto machine = std::make_unique<sim::Machine>(mo);
    g_machine = machine.get();

    std::vector<tools::LineSpec> lines;
    bool defaults = boardSpecs.empty() && !noBoard && lineSpecs.empty();
    if (defaults) {
        machine->addBoard(sim::BoardConfig{});
        lines = tools::DefaultWiring();
    } else if (!noBoard) {
        for (const auto& given : boardSpecs) {
            sim::BoardConfig c;
            std::string error = tools::ParseBoardSpec(given, &c);
            if (!error.empty()) {
                fmt::print(stderr, "quillmard: --board {}: {}\n", given, error);
                return 2;
            }
            machine->addBoard(c);
        }
    }
    for (const auto& given : lineSpecs) {
        tools::LineSpec l;
        std::string error = tools::ParseLineSpec(given, &l);
        if (!error.empty()) {
            fmt::print(stderr, "quillmard: --line {}: {}\n", given, error);
            return 2;
        }
        lines.push_back(l);
    }
    for (const auto& l : lines) {
        std::string error = machine->wire(l.board, l.port, l.what);
        if (!error.empty() && machine->boardCount() == 0) {
            error += " (there is no board: give one with --board model=M,irq=I)";
        }
        if (!error.empty()) {
            fmt::print(stderr, "quillmard: --line {}.{}={}: {}\n", l.board, l.port, l.what, error);
            return 2;
        }
    }
    for (const auto& given : injectSpecs) {
        tools::LineSpec l;
        std::string error = tools::ParseLineSpec(given, &l);
        auto colon = l.what.find(':');
        if (error.empty() && colon == std::string::npos) error = "expected B.P=KIND:EVERY_MS";
        if (error.empty()) {
            long ms = std::strtol(l.what.c_str() + colon + 1, nullptr, 10);
            error = machine->injectEvery(l.board, l.port, l.what.substr(0, colon),
                                         static_cast<uint32_t>(std::max(0L, ms)));
        }
        if (!error.empty()) {
            fmt::print(stderr, "quillmard: --inject {}: {}\n", given, error);
            return 2;
        }
    }
    for (size_t b = 0; b < machine->boardCount(); ++b) {
        for (size_t p = 0; p < machine->board(static_cast<int>(b)).uarts.size(); ++p) {
            std::string d = machine->describeLine(static_cast<int>(b), static_cast<int>(p));
            if (d.rfind("pty", 0) == 0) fmt::print(stderr, "port {}.{}: {}\n", b, p, d);
        }
    }
    std::fflush(stdout);

    // Signals are taken on a thread of their own, never in a handler: the
    // tear-down waits, prints and releases named objects.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    // Last of the checks, as it is the first thing made: a namespace held by
    // another user, or by something that is not our directory, ends the
    // start before anything is served.
    if (!ipc::PrepareNamespace(ns, &why)) {
        fmt::print(stderr, "quillmard: {}\n", why);
        return 1;
    }
    host::SetNamespace(ns);
    host::SetRealtime(!noRealtime);
    host::SetInterruptCpu(irqCpu);
    machine->setSchedulerCpu(irqCpu);
    host::InstallMachine(machine.get());
    host::SetExitHook([](uint32_t) {
        ClosePublishing();
        if (g_machine) g_machine->stop();
    });
    host::SetParkHook(AfterBringUp);
    machine->start();

    std::thread([stopSignals] {
        int sig = 0;
        sigwait(&stopSignals, &sig);
        // A signal during the bring-up waits for it: the tear-down must not
        // free what the bring-up is still setting up.
        while (!g_broughtUp.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        TearDownAndExit(0);
    }).detach();

    host::SetArguments(driverArgs);
    uint32_t record = 0;
    uint32_t code = ImageEntry(1, &record);
    // The driver ended early (usage text, rejected option).
    g_broughtUp.store(true);
    if (g_tearingDown.exchange(true)) {
        for (;;) pause();
    }
    ExitProcess(code);
}
