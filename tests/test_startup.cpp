// Start-up: the option scan, argument narrowing, the PCI scan, the
// bring-up's failure paths, the port gate and the port I/O it makes.
#include <gtest/gtest.h>

#include <set>

#include "rig.h"

namespace {

struct ScanCase {
    std::vector<std::string> args;  // after the program name
    uint8_t irq, nameBase, shared;
    int32_t result;
    const char* console;
};

TEST(OptionScan, TableOfCommandLines) {
    const char* usage =
        "Usage: \n-Q IRQ of the Quillmar Board\n-S Sharable IRQ in RTX, 1 for TRUE, 0 for "
        "FALSE\n-P Port index for naming, read ReadMe.txt for multi-board naming scheme.\n-h help";
    const char* sMessage = "IrqShare wrong value, should be 0 or 1\n";
    const ScanCase cases[] = {
        {{}, 0, 0, 0, 1, ""},
        {{"-Q", "5"}, 5, 0, 0, 1, ""},
        {{"-Q5"}, 5, 0, 0, 1, ""},
        {{"-Q", "5", "-S", "1", "-P", "8"}, 5, 8, 1, 1, ""},
        {{"-Q", "-P", "3"}, 0, 0, 0, 1, ""},        // -P is the IRQ's value; 3 is skipped
        {{"-Q5S1P8"}, 5, 8, 1, 1, ""},              // attached values are walked too
        {{"-Qh"}, 0, 0, 0, 0, usage},
        {{"-Q5h"}, 5, 0, 0, 0, usage},
        {{"-h", "-Q", "5"}, 0, 0, 0, 0, usage},     // nothing after h is read
        {{"-S", "2"}, 0, 0, 2, 0, sMessage},
        {{"-S", "-1"}, 0, 0, 255, 0, sMessage},
        {{"-S", "256"}, 0, 0, 0, 1, ""},
        {{"Q5", "-x", "-"}, 0, 0, 0, 1, ""},
        {{"-Q300", "-P-1"}, 44, 255, 0, 1, ""},
        {{"-Q", " +7x"}, 7, 0, 0, 1, ""},
        {{"-Q5", "-Q"}, 5, 0, 0, 1, ""},            // nothing follows: the value stays
        {{"-P", "3", "-P", "4"}, 0, 4, 0, 1, ""},   // the later value wins
        {{"-qps"}, 0, 0, 0, 1, ""},                 // letters are case-sensitive
    };
    for (const auto& c : cases) {
        std::string joined;
        for (const auto& a : c.args) joined += a + " ";
        SCOPED_TRACE(joined);
        rig::Rig r;
        std::vector<std::string> storage = {"driver"};
        storage.insert(storage.end(), c.args.begin(), c.args.end());
        std::vector<char*> argv;
        for (auto& s : storage) argv.push_back(s.data());
        argv.push_back(nullptr);
        EXPECT_EQ(ScanOptions(static_cast<int32_t>(storage.size()), argv.data()), c.result);
        EXPECT_EQ(g_IrqLine, c.irq);
        EXPECT_EQ(g_PortNameBase, c.nameBase);
        EXPECT_EQ(g_IrqShared, c.shared);
        EXPECT_EQ(host::TakeConsole(), c.console);
    }
}

TEST(OptionScan, WideArgumentsKeepTheirLowBytes) {
    rig::Rig r;
    // U+0135 keeps its low byte '5'; U+0100 ends the argument at once.
    host::SetArguments({"quillmard", "-Q\xC4\xB5", "-P8\xC4\x80" "9", "-h"});
    EXPECT_EQ(ImageEntry(0, nullptr), 0u);
    EXPECT_EQ(g_IrqLine, 5);
    EXPECT_EQ(g_PortNameBase, 8);
    EXPECT_NE(host::TakeConsole().find("Usage: \n"), std::string::npos);
}

TEST(BoardModels, RowsAndFifoFigures) {
    struct Row {
        BoardModel model;
        uint8_t ports;
        UartKind kind;
        uint32_t clock;
        uint32_t rxTrigger, burst;
    };
    const Row rows[] = {
        {1, 8, 3, 22118400, 56, 56},  {2, 4, 3, 22118400, 56, 56},  {3, 2, 3, 22118400, 56, 56},
        {4, 8, 4, 14745600, 124, 112}, {8, 2, 5, 14745600, 124, 112}, {12, 2, 4, 20000000, 124, 112},
        {13, 2, 5, 14745600, 124, 112}, {15, 8, 4, 19692800, 124, 112}, {16, 8, 4, 16240000, 124, 112},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.model);
        ResetDriverState();
        PortContext ctx{};
        ApplyBoardModel(row.model, 0, &ctx);
        ApplyFifoFigures(&ctx);
        EXPECT_EQ(PortCountOfModel(row.model), row.ports);
        EXPECT_EQ(g_UartKind, row.kind);
        EXPECT_EQ(g_UartClock, row.clock);
        EXPECT_EQ(ctx.boardModel, row.model);
        EXPECT_EQ(ctx.rxTriggerLevel, row.rxTrigger);
        EXPECT_EQ(ctx.txBurst, row.burst);
    }
    for (BoardModel unknown : {0, 17, 0xFFFF}) {
        ResetDriverState();
        PortContext ctx{};
        ApplyBoardModel(unknown, 0, &ctx);
        EXPECT_EQ(PortCountOfModel(unknown), 0);
        EXPECT_EQ(g_UartKind, 0);
        EXPECT_EQ(g_UartClock, 0u);
    }
    ResetDriverState();
}

// A PCI layout and the board (by number) the scan must take, or the message.
struct ScanLayout {
    const char* what;
    std::function<void(sim::Machine&)> build;
    int taken;  // board number expected to be brought up, -1 for none
    const char* message;
};

TEST(PciScan, FindsTheRightBoardInOrder) {
    const char* none = "There is no Quillmar board in the system.\n";
    const char* other = "Supplied IRQ is not attached to any Quillmar board.\n";
    auto board = [](sim::Machine& m, uint32_t bus, uint32_t dev, uint32_t fn, uint32_t irq) {
        sim::BoardConfig c;
        c.model = 3;
        c.bus = bus;
        c.device = dev;
        c.function = fn;
        c.irq = irq;
        c.deviceId = static_cast<uint16_t>(0x1000 + dev);  // any device ID will do
        return m.addBoard(c);
    };
    const ScanLayout layouts[] = {
        {"empty machine", [](sim::Machine&) {}, -1, none},
        {"one board on the line", [&](sim::Machine& m) { board(m, 0, 4, 0, 5); }, 0, ""},
        {"board on another line", [&](sim::Machine& m) { board(m, 0, 4, 0, 9); }, -1, other},
        {"empty function 0 hides the device",
         [&](sim::Machine& m) { board(m, 0, 4, 1, 5); }, -1, none},
        {"empty function 3 hides functions 4 to 7",
         [&](sim::Machine& m) {
             m.addFunction(0, 4, 0, 0x8086, 1, 0x8086, 1, 11);
             board(m, 0, 4, 4, 5);
         }, -1, none},
        {"multi-function device with the board at function 2",
         [&](sim::Machine& m) {
             m.addFunction(0, 4, 0, 0x8086, 1, 0x8086, 1, 11);
             m.addFunction(0, 4, 1, 0x11B0, 1, 0x1234, 1, 5);  // the bridge chip on another card
             board(m, 0, 4, 2, 5);
         }, 0, ""},
        {"bridge vendor with a foreign subsystem vendor is no board",
         [&](sim::Machine& m) { m.addFunction(0, 2, 0, 0x11B0, 0x9050, 0x10B5, 1, 5); }, -1, none},
        {"two boards on the line: the lower slot wins",
         [&](sim::Machine& m) {
             board(m, 0, 9, 0, 5);
             board(m, 0, 3, 0, 5);
         }, 1, ""},
        {"a board on another line before ours",
         [&](sim::Machine& m) {
             board(m, 0, 1, 0, 7);
             board(m, 0, 6, 0, 5);
         }, 1, ""},
        {"board on a later bus",
         [&](sim::Machine& m) {
             m.addBuses(3);
             board(m, 2, 0, 0, 5);
         }, 0, ""},
    };
    for (const auto& l : layouts) {
        SCOPED_TRACE(l.what);
        rig::Rig r;
        l.build(*r.machine);
        r.bringUp(5);
        std::string console = host::TakeConsole();
        if (l.taken < 0) {
            EXPECT_EQ(console, l.message);
            EXPECT_EQ(g_IntStatusPort, 0u);
        } else {
            EXPECT_EQ(console.find("Quillmar board"), std::string::npos) << console;
            EXPECT_EQ(g_IntStatusPort, r.machine->board(l.taken).uartBase + 0x4C);
            EXPECT_NE(g_InterruptHandle, nullptr);
        }
    }
}

TEST(BringUp, OpensEveryGateKeepingOtherBitsAndTouchesOnlyGrantedPorts) {
    sim::MachineOptions o = rig::Rig::manual();
    o.translationOffset = 0x4000;  // the driver must use translated addresses only
    rig::Rig r(o);
    sim::BoardConfig c;
    c.model = 6;  // 4 ports
    c.options = 0x5A;
    r.machine->addBoard(c);
    r.machine->board(0).gate = 0xA0;
    r.bringUp(5);
    EXPECT_EQ(r.machine->board(0).gate, 0xAF);
    EXPECT_EQ(r.machine->board(0).mirror, 0xAF);
    EXPECT_EQ(g_LocalIoBase, r.machine->board(0).localBase);
    for (uint8_t n = 0; n < 4; ++n) {
        ASSERT_NE(g_Ports[n], nullptr);
        EXPECT_EQ(g_Ports[n]->ioBase, r.machine->board(0).uartBase + 8u * n);
        EXPECT_EQ(g_Ports[n]->boardOptions, 0x5A);
        EXPECT_EQ(r.machine->uart(0, n).ier(), 0);
    }
    // Open and configure a port: kind 4 also drives the transceiver bits.
    OpenPort(1);
    LineSettings s{115200, 'n', 1, 8, 0, 0, 0x13, 0x11, 0x07, 0};
    EXPECT_EQ(SetLineSettings(1, reinterpret_cast<const uint8_t*>(&s)), 0);
    ClosePort(1);
    std::set<uint32_t> allowed = {r.machine->board(0).uartBase + 0x74,
                                  r.machine->board(0).localBase + 0x6C,
                                  r.machine->board(0).localBase + 0x70};
    for (const auto& a : host::StrayPortAccesses()) {
        EXPECT_TRUE(allowed.count(a.port)) << std::hex << "stray access at 0x" << a.port;
    }
    std::string console = host::TakeConsole();
    EXPECT_NE(console.find("\\RtDevice\\Quillmar\\Serial3 driver loaded\n"), std::string::npos);
}

TEST(BringUp, GateBitForFirstAndLastOrdinalKeepsTheOthers) {
    rig::Rig r;
    sim::BoardConfig c;
    c.model = 1;
    r.machine->addBoard(c);
    g_BridgeIoBase = r.machine->board(0).bridgeBase;
    PortContext ctx{};
    ctx.ioBase = r.machine->board(0).uartBase + 8;
    struct GateCase {
        uint8_t before, ordinal, enable, after;
    };
    const GateCase cases[] = {
        {0x00, 1, 1, 0x01}, {0x7E, 1, 1, 0x7F}, {0xFF, 1, 0, 0xFE},
        {0x00, 8, 1, 0x80}, {0x7F, 8, 1, 0xFF}, {0xFF, 8, 0, 0x7F},
    };
    for (const auto& g : cases) {
        r.machine->board(0).gate = g.before;
        SetPortInterruptGate(&ctx, g.ordinal, g.enable);
        EXPECT_EQ(r.machine->board(0).gate, g.after);
        EXPECT_EQ(r.machine->board(0).mirror, g.after);
    }
}

struct FaultCase {
    const char* what;
    host::Service service;
    int nth;
    const char* message;
    int portsReady;  // ports whose gate the bring-up opened
    bool attached;
};

TEST(BringUp, EveryFailurePrintsItsMessage) {
    using S = host::Service;
    const FaultCase cases[] = {
        {"BAR1 translation", S::TranslateBusAddress, 1, "RtTranslateBusAddress failed for BAR1\n", 0, false},
        {"status register window", S::EnablePortIo, 1, "RtEnablePortIo failed for InterruptStatus\n", 0, false},
        {"BAR0 translation", S::TranslateBusAddress, 2, "RtTranslateBusAddress failed for BAR0\n", 0, false},
        {"bridge window", S::EnablePortIo, 2, "RtEnablePortIo failed for V3Base\n", 0, false},
        {"first UART window", S::EnablePortIo, 3, "RtEnablePortIo failed for UART\n", 0, true},
        {"third UART window", S::EnablePortIo, 5, "RtEnablePortIo failed for UART\n", 2, true},
        {"second context", S::AllocateLockedMemory, 4, "", 1, true},  // context, channel, name copy, context
        {"second UART translation", S::TranslateBusAddress, 4, "", 1, true},
        {"first section", S::CreateSharedMemory, 1,
         "Failed to register Quillmar driver (error=183).\nDriver by this name is already loaded.\n", 1, true},
        // A port whose registration failed keeps its usable window: its gate opens too.
        {"a semaphore", S::CreateSemaphore, 2, "Failed to register Quillmar driver (error=3).\n", 1, true},
        {"the server thread", S::CreateThread, 1, "Failed to register Quillmar driver (error=3).\n", 1, true},
        {"the attachment", S::AttachInterrupt, 1, "RtAttachInterruptVectorEx failed 57\n", 4, false},
    };
    for (const auto& f : cases) {
        SCOPED_TRACE(f.what);
        rig::Rig r;
        sim::BoardConfig c;
        c.model = 6;
        r.machine->addBoard(c);
        host::FailCall(f.service, f.nth);
        r.bringUp(5);
        std::string console = host::TakeConsole();
        // Only the failure's own lines, apart from the ports that did load.
        std::string rest;
        std::istringstream in(console);
        for (std::string line; std::getline(in, line);) {
            if (line.find("driver loaded") == std::string::npos) rest += line + "\n";
        }
        EXPECT_EQ(rest, f.message);
        int open = 0;
        for (int n = 0; n < 4; ++n) open += (r.machine->board(0).gate >> n) & 1;
        EXPECT_EQ(open, f.portsReady);
        EXPECT_EQ(g_InterruptHandle != nullptr, f.attached);
    }
}

TEST(BringUp, UnknownModelTakesTheBoardWithoutPorts) {
    rig::Rig r;
    sim::BoardConfig c;
    c.model = 17;
    r.machine->addBoard(c);
    r.bringUp(5);
    EXPECT_EQ(host::TakeConsole(), "");
    EXPECT_EQ(g_PortCount, 0);
    EXPECT_EQ(g_Ports[0], nullptr);
    EXPECT_NE(g_InterruptHandle, nullptr);
}

TEST(Shutdown, WithoutAnInterruptReleasesTheChannelsAtOnce) {
    rig::Rig r;
    sim::BoardConfig c;
    c.model = 3;
    r.machine->addBoard(c);
    host::FailCall(host::Service::AttachInterrupt);
    r.bringUp(5);
    ASSERT_EQ(g_InterruptHandle, nullptr);
    auto t0 = std::chrono::steady_clock::now();
    ShutdownBoard();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_EQ(g_Channels[0], nullptr);
    EXPECT_EQ(g_Ports[1], nullptr);
    EXPECT_EQ(r.machine->board(0).gate, 0) << "gates closed at tear-down";
}

TEST(Shutdown, FailedReleaseEndsTheProcessWithCodeOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            rig::Rig r;
            sim::BoardConfig c;
            c.model = 3;
            r.machine->addBoard(c);
            r.bringUp(5);
            host::CaptureConsole(false);
            host::FailCall(host::Service::ReleaseInterrupt);
            ShutdownBoard();
        },
        ::testing::ExitedWithCode(1), "");
}

}  // namespace
