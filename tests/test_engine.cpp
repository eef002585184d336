// The serial engine against the simulated board, one register access at a
// time: the sequences where order matters are compared as traces.
#include <gtest/gtest.h>

#include <cstring>

#include "rig.h"

namespace {

// A board brought up without its interrupt attached: the tests call the
// interrupt routines themselves.
class Engine : public ::testing::Test {
protected:
    void make(int model) {
        r.reset();
        r = std::make_unique<rig::Rig>();
        sim::BoardConfig c;
        c.model = model;
        r->machine->addBoard(c);
        ASSERT_EQ(r->machine->wire(0, 0, "null-modem:0.1"), "");
        host::FailCall(host::Service::AttachInterrupt);
        r->bringUp(5);
        host::TakeConsole();
        ctx = g_Ports[0];
    }
    void SetUp() override { make(4); }
    void TearDown() override { r.reset(); }

    sim::Uart& uart(int p = 0) { return r->machine->uart(0, p); }
    uint32_t io(int p = 0) { return g_Ports[p]->ioBase; }

    // Trace as "W2=C7" / "R5" relative to port 0's UART, "L6C" for the
    // local registers.
    void trace() { r->machine->setTrace(true); }
    std::vector<std::string> taken() {
        std::vector<std::string> out;
        for (const auto& e : r->machine->takeTrace()) {
            char text[32];
            uint32_t base = io(0);
            if (e.port >= base && e.port < base + 8) {
                if (e.write) snprintf(text, sizeof text, "W%u=%02X", e.port - base, e.value);
                else snprintf(text, sizeof text, "R%u", e.port - base);
            } else if (e.port >= g_LocalIoBase && e.port < g_LocalIoBase + 256) {
                snprintf(text, sizeof text, "%cL%02X", e.write ? 'W' : 'R', e.port - g_LocalIoBase);
            } else {
                snprintf(text, sizeof text, "%c@%X", e.write ? 'W' : 'R', e.port);
            }
            out.push_back(text);
        }
        r->machine->setTrace(false);
        return out;
    }
    uint8_t lcr() { return RtReadPortUchar(io() + kUartLcr); }
    void writeEfr(uint8_t v) {
        uint8_t saved = lcr();
        RtWritePortUchar(io() + kUartLcr, 0xBF);
        RtWritePortUchar(io() + kUartEfr, v);
        RtWritePortUchar(io() + kUartLcr, saved);
    }

    std::unique_ptr<rig::Rig> r;
    PortContext* ctx = nullptr;
};

using Trace = std::vector<std::string>;

TEST_F(Engine, ResetFifosKind3Sequence) {
    make(1);
    trace();
    DisableProcessorInterrupts();
    ResetFifos(ctx);
    EnableProcessorInterrupts();
    EXPECT_EQ(taken(), (Trace{"W2=00", "R0", "R5", "R0", "W2=C7", "R0", "R5"}));
    EXPECT_EQ(ctx->fcrRxTriggerBits, 0xC0u);
    EXPECT_EQ(ctx->fcrTxTriggerBits, 0u);
}

TEST_F(Engine, ResetFifosKind4ProgramsTheTriggerTable) {
    writeEfr(0x5A);
    uint8_t fctrBefore = 0x08;
    RtWritePortUchar(io() + kUartLcr, 0xBF);
    RtWritePortUchar(io() + kUartFctr, fctrBefore);
    RtWritePortUchar(io() + kUartLcr, 0x03);
    ctx->settings.xonChar = 0x11;
    ctx->settings.xoffChar = 0x13;
    trace();
    DisableProcessorInterrupts();
    ResetFifos(ctx);
    EnableProcessorInterrupts();
    EXPECT_EQ(taken(), (Trace{"W2=00", "R0", "R5", "R0", "W2=07", "R0", "R5",
                              "R3", "W3=BF", "R2", "W4=11", "W5=11", "W6=13", "W7=13", "W2=5A",
                              "R1", "W1=30", "W0=7C", "W1=B8", "W0=10", "W3=03"}));
    EXPECT_EQ(uart().trgRx(), 124);
    EXPECT_EQ(uart().trgTx(), 16);
    EXPECT_EQ(uart().efr(), 0x5A) << "written back unchanged";
}

TEST_F(Engine, EnhancedFlowBitsAndLcrRestored) {
    RtWritePortUchar(io() + kUartLcr, 0x43);  // break on, 8N1
    writeEfr(0xDA);
    DisableProcessorInterrupts();
    SetEnhancedFlow(ctx, 0x10, 0x18, 0x11, 0x13);
    EXPECT_EQ(uart().efr(), 0xD2);
    EXPECT_EQ(uart().xon1(), 0x11);
    EXPECT_EQ(uart().xoff2(), 0x13);
    EXPECT_EQ(lcr(), 0x43);
    DisableAutoFlow(ctx);
    EXPECT_EQ(uart().efr(), 0x12);
    EXPECT_EQ(lcr(), 0x43);
    ProgramEnhancedFifo(ctx, 0x10, 0x10, 0, 0);
    EXPECT_EQ(lcr(), 0x43);
    SetRs485Mode(ctx, 1);
    EXPECT_EQ(lcr(), 0x43);
    ResetFifos(ctx);
    EXPECT_EQ(lcr(), 0x43);
    EnableProcessorInterrupts();
}

TEST_F(Engine, Rs485ModesChangeOnlyThePortsOwnBits) {
    struct ModeCase {
        uint8_t mode;
        bool fctrBit3, bit6C, bit70;
    };
    const ModeCase cases[] = {{2, true, true, false}, {3, true, true, true}, {0, false, false, true},
                              {7, false, false, true}};
    PortContext* port2 = g_Ports[2];
    for (const auto& m : cases) {
        SCOPED_TRACE(static_cast<int>(m.mode));
        sim::Board& b = r->machine->board(0);
        b.local6C = 0x5A & ~0x04;
        b.local70 = 0xA5 | 0x04;
        RtWritePortUchar(port2->ioBase + kUartLcr, 0xBF);
        RtWritePortUchar(port2->ioBase + kUartFctr, 0x30);
        RtWritePortUchar(port2->ioBase + kUartLcr, 0x03);
        if (!m.bit6C) b.local6C |= 0x04;  // so that a clear shows
        port2->interfaceMode = m.mode;
        DisableProcessorInterrupts();
        SetRs485Mode(port2, 3);
        EnableProcessorInterrupts();
        EXPECT_EQ((b.local6C >> 2) & 1, m.bit6C);
        EXPECT_EQ((b.local70 >> 2) & 1, m.bit70);
        EXPECT_EQ(b.local6C & ~0x04, 0x5A & ~0x04) << "other ports' bits kept";
        EXPECT_EQ(b.local70 & ~0x04, 0xA5 & ~0x04);
        EXPECT_EQ((r->machine->uart(0, 2).fctr() & 0x08) != 0, m.fctrBit3);
        // A later FIFO reprogramming keeps the direction-control bit.
        DisableProcessorInterrupts();
        ProgramEnhancedFifo(port2, 0, 0, 0, 0);
        EnableProcessorInterrupts();
        EXPECT_EQ((r->machine->uart(0, 2).fctr() & 0x08) != 0, m.fctrBit3);
    }
}

TEST(Divisor, TableForEveryClock) {
    struct D {
        uint32_t clock;
        int32_t baud;
        int16_t divisor;
    };
    const D cases[] = {
        {14745600, 9600, 96},   {14745600, 115200, 8}, {14745600, 921600, 1},
        {14745600, 110, 8378},  {14745600, 56000, -1}, {22118400, 9600, 144},
        {22118400, 115200, 12}, {22118400, 460800, 3}, {22118400, 921600, -1},
        {20000000, 9600, 130},  {20000000, 38400, 32}, {20000000, 57600, -1},
        {20000000, 1200, 1041}, {16240000, 9600, 105}, {16240000, 1000000, 1},
        {19692800, 57600, 21},  {19692800, 9600, 128}, {14745600, 0, -1},
        {14745600, -9600, -1},  {14745600, 1000000000, -1},  // 16 x baud overflows
        {14745600, 29, 31779},  // the lowest rate whose divisor fits 15 bits
        {14745600, 28, -1},     // would need 32914: refused, not wrapped
        {14745600, 14, -1},     // would have wrapped to 292 (a wrong speed)
    };
    for (const auto& c : cases) {
        int16_t d = 0;
        ComputeDivisor(c.clock, c.baud, &d);
        EXPECT_EQ(d, c.divisor) << c.clock << " Hz, " << c.baud << " bit/s";
    }
}

LineSettings Settings(int32_t baud, char parity, uint8_t stop, uint8_t data, uint8_t handshake = 0,
                      uint32_t soft = 0) {
    LineSettings s{};
    s.baudRate = baud;
    s.parity = parity;
    s.stopBits = stop;
    s.dataBits = data;
    s.softwareFlow = soft;
    s.xoffChar = 0x13;
    s.xonChar = 0x11;
    s.handshake = handshake;
    return s;
}

uint16_t Apply(uint8_t port, const LineSettings& s) {
    return SetLineSettings(port, reinterpret_cast<const uint8_t*>(&s));
}

TEST_F(Engine, FramingToLcrAndRejectedRecords) {
    struct F {
        LineSettings s;
        uint16_t result;
        uint8_t lcr;
    };
    OpenPort(0);
    const F cases[] = {
        {Settings(9600, 'n', 1, 8), 0, 0x03},
        {Settings(9600, 'e', 2, 7), 0, 0x1E},
        {Settings(9600, 's', 3, 5), 0, 0x3C},
        {Settings(9600, 'o', 1, 6), 0, 0x09},
        {Settings(9600, 'm', 1, 8), 0, 0x2B},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Apply(0, c.s), c.result);
        EXPECT_EQ(lcr(), c.lcr);
        EXPECT_EQ(ctx->lcrShadow, c.lcr);
    }
    // Each rejected framing leaves the new divisor programmed, the old framing.
    const LineSettings rejected[] = {Settings(115200, 'E', 1, 8), Settings(115200, 'n', 1, 9),
                                     Settings(115200, 'n', 0, 8), Settings(115200, 'n', 2, 5),
                                     Settings(115200, 'n', 3, 8)};
    for (const auto& s : rejected) {
        Apply(0, Settings(9600, 'm', 1, 8));
        EXPECT_EQ(Apply(0, s), kErrorInvalidParameter);
        EXPECT_EQ(uart().divisor(), 8) << "115200 at 14745600 Hz";
        EXPECT_EQ(lcr(), 0x2B);
        EXPECT_EQ(ctx->settings.baudRate, 115200) << "the rejected record is stored";
    }
    // A rate it cannot make changes neither divisor nor framing.
    Apply(0, Settings(9600, 'n', 1, 8));
    EXPECT_EQ(Apply(0, Settings(56000, 'n', 1, 8)), kErrorInvalidParameter);
    EXPECT_EQ(uart().divisor(), 96);
}

TEST_F(Engine, LineSettingsFlowControlAndInterruptsOn) {
    OpenPort(0);
    EXPECT_EQ(r->machine->board(0).gate & 1, 0) << "open closes the gate";
    EXPECT_EQ(uart().divisor(), 96) << "open programs 9600 bit/s";
    EXPECT_EQ(Apply(0, Settings(115200, 'n', 1, 8, 0x03)), 0);
    EXPECT_EQ(uart().efr() & 0xDA, 0xD0) << "auto-CTS, auto-RTS, enhanced; no software flow";
    EXPECT_EQ(uart().mcr() & 0x0B, 0x0A) << "RTS raised, OUT2 on, DTR untouched";
    EXPECT_EQ(uart().ier(), 0x0F);
    EXPECT_EQ(r->machine->board(0).gate & 1, 1);
    EXPECT_EQ(Apply(0, Settings(115200, 'n', 1, 8, 0x04, 256)), 0);
    EXPECT_EQ(uart().efr() & 0xDA, 0x1A) << "auto flow off, software flow on (256 counts as on)";
    EXPECT_EQ(uart().mcr() & 0x03, 0x03) << "a clear handshake bit never lowers its line";
}

TEST_F(Engine, OpenAndCloseStates) {
    OpenPort(0);
    Apply(0, Settings(9600, 'n', 1, 8, 0x07));
    for (uint8_t hs : {0x00, 0x01, 0x04, 0x05}) {
        SCOPED_TRACE(static_cast<int>(hs));
        SetDtr(ctx);
        SetRts(ctx);
        ctx->settings.handshake = hs;
        ClosePort(0);
        EXPECT_EQ((uart().mcr() & kMcrRts) != 0, !(hs & 0x01));
        EXPECT_EQ((uart().mcr() & kMcrDtr) != 0, !(hs & 0x04));
        EXPECT_EQ(uart().mcr() & kMcrOut2, 0);
        EXPECT_EQ(uart().ier(), 0);
        EXPECT_EQ(uart().efr(), 0);
        EXPECT_EQ(uart().fcr() & 1, 0) << "FIFOs off";
        EXPECT_EQ(r->machine->board(0).gate & 1, 0);
    }
    ctx->txActive = 1;
    OpenPort(0);
    EXPECT_EQ(ctx->txActive.load(), 0u);
    EXPECT_EQ(lcr(), 0x03);
}

TEST_F(Engine, ModemAndBreakRoutines) {
    RtWritePortUchar(io() + kUartMcr, 0x08);
    SetDtr(ctx);
    EXPECT_EQ(uart().mcr(), 0x09);
    EXPECT_EQ(ctx->mcrShadow, 0x09);
    RtWritePortUchar(io() + kUartMcr, 0x0B);
    ClearRts(ctx);
    EXPECT_EQ(uart().mcr(), 0x09);
    RtWritePortUchar(io() + kUartLcr, 0x03);
    SetBreak(ctx);
    EXPECT_EQ(lcr(), 0x43);
    ctx->txActive = 1;
    trace();
    ClearBreak(ctx);
    EXPECT_EQ(taken(), Trace{}) << "declined while sending: no register touched";
    ctx->txActive = 0;
    trace();
    ClearBreak(ctx);
    EXPECT_EQ(taken(), (Trace{"R3", "W3=03", "W1=00", "W1=0F"}));
}

TEST_F(Engine, RingsWrapAndFillBothWays) {
    OpenPort(0);
    // Transmit ring: a write across the end, then a full ring.
    ctx->txWriteIndex = ctx->txReadIndex = 8190;
    ctx->txActive = 1;  // keep the interrupt side out of the way
    uint8_t src[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    uint32_t accepted = 0;
    EXPECT_EQ(WritePort(0, src, 4, &accepted), 0u);
    EXPECT_EQ(accepted, 4u);
    EXPECT_EQ(ctx->txData[8190], 1);
    EXPECT_EQ(ctx->txData[8191], 2);
    EXPECT_EQ(ctx->txData[0], 3);
    EXPECT_EQ(ctx->txWriteIndex, 2u);
    ctx->txCount = kRingSize - 4;
    EXPECT_EQ(WritePort(0, src, 10, &accepted), 0u);
    EXPECT_EQ(accepted, 4u) << "only the room there was";
    trace();
    EXPECT_EQ(WritePort(0, src, 10, &accepted), 2u);
    EXPECT_EQ(accepted, 0u);
    EXPECT_EQ(taken(), Trace{}) << "a full ring leaves IER alone";

    // Receive ring: a read across the end, more than held, and empty.
    ctx->rxReadIndex = 8190;
    ctx->rxData[8190] = 0xA1;
    ctx->rxData[8191] = 0xA2;
    ctx->rxData[0] = 0xA3;
    ctx->rxCount = 3;
    uint8_t dst[16] = {};
    uint32_t copied = 99;
    EXPECT_EQ(ReadPort(0, dst, 0, &copied), 0u);
    EXPECT_EQ(copied, 0u) << "a read of 0 takes nothing";
    EXPECT_EQ(ReadPort(0, dst, 16, &copied), 0u);
    EXPECT_EQ(copied, 3u);
    EXPECT_EQ(dst[0], 0xA1);
    EXPECT_EQ(dst[2], 0xA3);
    EXPECT_EQ(ctx->rxCount.load(), 0u);
    EXPECT_EQ(ReadPort(0, dst, 16, &copied), 0u);
    EXPECT_EQ(copied, 0u);
}

TEST_F(Engine, TransmitChunkSizesAndIdle) {
    struct C {
        uint32_t count, burst, readIndex;
        uint32_t leftAfter, activeAfter, sent;
    };
    const C cases[] = {{200, 112, 0, 88, 1, 112}, {5, 56, 0, 0, 0, 5}, {0, 112, 0, 0, 0, 0},
                       {4, 112, 8190, 0, 0, 4}};
    for (const auto& c : cases) {
        OpenPort(0);
        ctx->txBurst = c.burst;
        ctx->txCount = c.count;
        ctx->txReadIndex = c.readIndex;
        ctx->txActive = c.count ? 0 : 1;
        for (uint32_t i = 0; i < kRingSize; ++i) ctx->txData[i] = static_cast<uint8_t>(i);
        trace();
        TransmitChunk(0);
        auto t = taken();
        uint32_t thrWrites = 0;
        for (const auto& e : t) thrWrites += e.rfind("W0=", 0) == 0;
        EXPECT_EQ(thrWrites, c.sent);
        EXPECT_EQ(ctx->txCount.load(), c.leftAfter);
        EXPECT_EQ(ctx->txActive.load(), c.activeAfter);
        if (c.readIndex == 8190) {
            EXPECT_EQ(t, (Trace{"W0=FE", "W0=FF", "W0=00", "W0=01"}));
            EXPECT_EQ(ctx->txReadIndex, 2u);
        }
    }
    ctx->txBurst = 112;
}

TEST_F(Engine, ReceiveDrainFullRingDropsButEmptiesTheFifo) {
    OpenPort(0);
    Apply(0, Settings(9600, 'n', 1, 8));
    Apply(1, Settings(9600, 'n', 1, 8));
    ctx->rxCount = kRingSize - 1;
    ctx->rxWriteIndex = 8191;
    ctx->lineErrors = 0;
    {
        auto lock = r->machine->lock();
        for (uint8_t v : {0x31, 0x32, 0x33}) uart().injectReceived(r->machine->now(), v, false, false, false);
    }
    ReceiveDrain(0);
    EXPECT_EQ(ctx->rxCount.load(), kRingSize);
    EXPECT_EQ(ctx->rxData[8191], 0x31);
    EXPECT_EQ(ctx->rxWriteIndex, 0u);
    EXPECT_EQ(ctx->lineErrors.load(), kLsrOverrun);
    EXPECT_EQ(uart().rxLevel(), 0) << "every byte read, even the dropped ones";
}

TEST_F(Engine, ANearlyFullRingLeavesBytesInTheUartOnlyWhenItsFlowControlCanHold) {
    struct Case {
        const char* what;
        uint8_t handshake;
        uint32_t soft;
        bool holds;
    };
    const Case cases[] = {
        {"auto-RTS", kHandshakeRts | kHandshakeCts, 0, true},
        {"XON/XOFF in the UART", 0, 1, true},
        {"no flow control: drained, the ring drops", 0, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        OpenPort(0);
        Apply(0, Settings(9600, 'n', 1, 8, c.handshake, c.soft));
        ctx->rxCount = kRxHighWater;
        ctx->rxWriteIndex = kRxHighWater;
        {
            auto lock = r->machine->lock();
            for (uint8_t v = 0; v < 10; ++v) uart().injectReceived(r->machine->now(), v, false, false, false);
        }
        r->machine->advanceTo(r->machine->now() + 20000000);  // past the time-out
        ServicePort(0);
        if (c.holds) {
            EXPECT_EQ(uart().rxLevel(), 10) << "left in the UART";
            EXPECT_EQ(uart().ier() & kIerReceivedData, 0);
            EXPECT_EQ(ctx->rxCount.load(), kRxHighWater);
        } else {
            EXPECT_EQ(uart().rxLevel(), 0);
            EXPECT_EQ(ctx->rxCount.load(), kRxHighWater + 10);
            continue;
        }
        // The reader takes the ring down to the low mark: receiving resumes.
        static uint8_t sink[kRingSize];
        uint32_t got = 0;
        ReadPort(0, sink, kRxHighWater - kRxLowWater - 1, &got);
        EXPECT_EQ(uart().ier() & kIerReceivedData, 0) << "still above the low mark";
        ReadPort(0, sink, 1, &got);
        EXPECT_EQ(uart().ier(), kIerAll);
        ServicePort(0);
        EXPECT_EQ(uart().rxLevel(), 0);
        EXPECT_EQ(ctx->rxCount.load(), kRxLowWater + 10);
        EXPECT_EQ(ctx->rxData[kRxHighWater + 9], 9);
        // A transmit kick while held keeps received data off.
        ctx->rxCount = kRxHighWater;
        {
            auto lock = r->machine->lock();
            uart().injectReceived(r->machine->now(), 0x55, false, false, false);
        }
        ReceiveDrain(0);
        ASSERT_EQ(uart().ier() & kIerReceivedData, 0);
        uint32_t taken = 0;
        WritePort(0, reinterpret_cast<const uint8_t*>("x"), 1, &taken);
        EXPECT_EQ(uart().ier() & kIerReceivedData, 0);
    }
}

TEST_F(Engine, AStuckUartCostsOneBudgetPerInterruptRun) {
    OpenPort(0);
    Apply(0, Settings(9600, 'n', 1, 8));
    {
        auto lock = r->machine->lock();
        uart().forceStuckReceive(true);
    }
    RtReadPortUchar(io() + kUartSpr);  // the machine sees the UART again
    ASSERT_NE(r->machine->board(0).status() & 0x01, 0);
    for (int run = 0; run < 3; ++run) {
        uint64_t before = host::PortIoCalls();
        BoardIsr(&g_IntStatusPort);
        uint64_t spent = host::PortIoCalls() - before;
        EXPECT_LE(spent, kIsrAccessBudget + 2) << "run " << run;
        EXPECT_GE(spent, kIsrAccessBudget - 4) << "the same accesses every run";
    }
    {
        auto lock = r->machine->lock();
        uart().forceStuckReceive(false);
    }
}

TEST_F(Engine, ServiceRecordsLineErrorsOnlyFromErrorBits) {
    OpenPort(0);
    Apply(0, Settings(9600, 'n', 1, 8));
    ctx->lineErrors = 0;
    {
        auto lock = r->machine->lock();
        uart().injectReceived(r->machine->now(), 0x00, true, true, true);
    }
    // Line status comes first: parity, framing and break, then the byte.
    EXPECT_EQ(ServicePort(0), 1);
    EXPECT_EQ(ctx->lineErrors.load() & 0x1C, 0x1C);
    // Below the trigger level the byte waits for the character time-out.
    r->machine->advanceTo(r->machine->now() + 10000000);
    EXPECT_EQ(ServicePort(0), 1);
    EXPECT_EQ(ctx->rxCount.load(), 1u);
    EXPECT_EQ(ServicePort(0), 0) << "nothing pending any more";
}

TEST_F(Engine, BoardIsrServesLowestPortFirstAndStopsAtZero) {
    uint32_t zero = r->machine->board(0).uartBase + 0x4C;
    EXPECT_EQ(BoardIsr(nullptr), 1);
    EXPECT_EQ(host::TakeConsole(), "Isr context NULL\n");
    trace();
    EXPECT_EQ(BoardIsr(&zero), 1);
    auto t = taken();
    ASSERT_EQ(t.size(), 1u) << "status 0: no UART touched";
    for (uint8_t p : {2, 5}) {
        OpenPort(p);
        Apply(p, Settings(9600, 'n', 1, 8));  // transmitter-empty pending on both
    }
    EXPECT_EQ(r->machine->board(0).status() & 0x24, 0x24);
    EXPECT_EQ(BoardIsr(&g_IntStatusPort), 1);
    EXPECT_EQ(r->machine->board(0).status(), 0);
}

TEST_F(Engine, DeadBoardOrStuckUartCannotHoldTheInterruptThread) {
    // A board that reads all ones: every status bit set, every register 0xFF.
    uint32_t nowhere = 0xF000;
    auto t0 = std::chrono::steady_clock::now();
    BoardIsr(&nowhere);
    // A port whose data-ready never clears.
    uint32_t saved = ctx->ioBase;
    ctx->ioBase = nowhere;
    ReceiveDrain(0);
    EXPECT_LE(ctx->rxCount.load(), kMaxDrainBytes);
    ServicePort(0);
    ctx->ioBase = saved;
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
}

TEST(EngineNoContext, StatusBitOfAPortWithoutContextIsSkipped) {
    rig::Rig r;
    sim::BoardConfig c;
    c.model = 3;
    r.machine->addBoard(c);
    host::FailCall(host::Service::AttachInterrupt);
    host::FailCall(host::Service::AllocateLockedMemory, 4);  // port 1 gets no context
    r.bringUp(5);
    ASSERT_EQ(g_Ports[1], nullptr);
    // Port 1's UART asks for service through an open gate.
    uint32_t u1 = r.machine->board(0).uartBase + 8;
    RtWritePortUchar(u1 + kUartFcr, 0x07);
    RtWritePortUchar(u1 + kUartIer, 0x0F);
    r.machine->board(0).gate |= 0x02;
    ASSERT_EQ(r.machine->board(0).status(), 0x02);
    EXPECT_EQ(BoardIsr(&g_IntStatusPort), 1);
}

}  // namespace
