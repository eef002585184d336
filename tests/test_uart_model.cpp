// Register-level tests of the simulated UART, with no driver code: the
// machine's clock is driven by hand, ports are wired as the tests need.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "sim/machine.h"

namespace {

constexpr int DATA = 0, IER = 1, IIR = 2, FCR = 2, LCR = 3, MCR = 4, LSR = 5, MSR = 6, SPR = 7;
constexpr uint64_t kMs = 1000000;

// Two UARTs of one board on a null-modem cable, time in hand.
class UartPair : public ::testing::Test {
protected:
    void make(int model, const std::string& line = "null-modem:0.1") {
        sim::MachineOptions o;
        o.manualClock = true;
        m = std::make_unique<sim::Machine>(o);
        sim::BoardConfig c;
        c.model = model;
        m->addBoard(c);
        ASSERT_EQ(m->wire(0, 0, line), "");
    }
    void SetUp() override { make(4); }

    uint32_t reg(int port, int offset) { return m->board(0).uartBase + 8u * port + offset; }
    void out(int port, int offset, uint8_t v) { m->ioWrite8(reg(port, offset), v); }
    uint8_t in(int port, int offset) { return m->ioRead8(reg(port, offset)); }
    void at(uint64_t ns) { m->advanceTo(ns); }
    uint64_t now() { return m->now(); }

    // Baud from divisor, framing from LCR, FIFOs on.
    void setup(int port, uint16_t divisor, uint8_t lcr = 0x03, uint8_t fcr = 0x07) {
        out(port, LCR, 0x80);
        out(port, DATA, static_cast<uint8_t>(divisor));
        out(port, IER, static_cast<uint8_t>(divisor >> 8));
        out(port, LCR, lcr);
        out(port, FCR, fcr);
    }
    void enhanced(int port, int offset, uint8_t v) {
        uint8_t lcr = in(port, LCR);
        out(port, LCR, 0xBF);
        out(port, offset, v);
        out(port, LCR, lcr);
    }

    // XON1 0x11, XOFF1 0x13, the programmed trigger table with a receive
    // trigger of 8, and EFR.
    void flowSetup(int port, uint8_t efr) {
        uint8_t lcr = in(port, LCR);
        out(port, LCR, 0xBF);
        out(port, 4, 0x11);
        out(port, 6, 0x13);
        out(port, 1, 0x30);
        out(port, 0, 8);
        out(port, 2, efr);
        out(port, LCR, lcr);
    }

    std::unique_ptr<sim::Machine> m;
};

TEST_F(UartPair, RegistersReadBackThroughTheirBanks) {
    out(0, LCR, 0x80);
    out(0, DATA, 0x60);
    out(0, IER, 0x01);
    EXPECT_EQ(in(0, DATA), 0x60) << "DLL with DLAB set";
    EXPECT_EQ(in(0, IER), 0x01) << "DLM with DLAB set";
    out(0, LCR, 0xBF);
    out(0, 2, 0xD0);   // EFR
    out(0, 4, 0x11);   // XON1
    out(0, 6, 0x13);   // XOFF1
    out(0, 1, 0x30);   // FCTR
    EXPECT_EQ(in(0, 2), 0xD0);
    EXPECT_EQ(in(0, 4), 0x11);
    EXPECT_EQ(in(0, 6), 0x13);
    EXPECT_EQ(in(0, 1), 0x30);
    out(0, LCR, 0x1B);
    EXPECT_EQ(in(0, LCR), 0x1B);
    out(0, MCR, 0x0B);
    EXPECT_EQ(in(0, MCR), 0x0B);
    out(0, SPR, 0x5A);
    EXPECT_EQ(in(0, SPR), 0x5A);
    EXPECT_EQ(m->uart(0, 0).divisor(), 0x0160);
    EXPECT_EQ(m->uart(0, 0).efr(), 0xD0);
}

TEST_F(UartPair, ByteCrossesTheCableInOneCharacterTime) {
    setup(0, 96);  // 9600 bit/s at 14745600 Hz: 10 bits = 1.0417 ms
    setup(1, 96);
    uint64_t t0 = now();
    out(0, DATA, 0x41);
    at(t0 + 1 * kMs);
    EXPECT_EQ(in(1, LSR) & 0x01, 0) << "arrived before a whole character time";
    at(t0 + 1 * kMs + 100000);
    ASSERT_EQ(in(1, LSR) & 0x01, 0x01) << "not there after 1.1 ms";
    EXPECT_EQ(in(1, DATA), 0x41);
}

TEST_F(UartPair, TransmitterEmptyRaisedOnIerEdgeAndClearedByIirOrThr) {
    setup(0, 1);
    EXPECT_EQ(in(0, IIR), 0xC1) << "FIFO bits set, nothing pending";
    out(0, IER, 0x0F);
    EXPECT_EQ(in(0, IIR), 0xC2) << "0 -> 1 edge of ETBEI with an empty FIFO";
    EXPECT_EQ(in(0, IIR), 0xC1) << "reading IIR cleared it";
    out(0, IER, 0x00);
    out(0, IER, 0x0F);
    EXPECT_EQ(in(0, IIR) & 0x0F, 0x02) << "the restart the driver relies on";
    out(0, IER, 0x00);
    out(0, IER, 0x0F);
    out(0, DATA, 0x55);  // moves on into the shift register at once
    out(0, DATA, 0x56);  // stays in the FIFO
    EXPECT_NE(in(0, IIR) & 0x0F, 0x02) << "writing THR cleared it";
}

TEST_F(UartPair, WriteIntoFullTransmitFifoIsLostAndCounted) {
    make(1, "none");  // kind 3: 64-byte FIFO
    setup(0, 144, 0x03, 0xC7);
    for (int i = 0; i < 65; ++i) out(0, DATA, static_cast<uint8_t>(i));  // 1 shifting + 64 held
    EXPECT_EQ(m->uart(0, 0).txLost(), 0u);
    out(0, DATA, 0xEE);
    EXPECT_EQ(m->uart(0, 0).txLost(), 1u);
    EXPECT_EQ(m->uart(0, 0).txLevel(), 64);
}

TEST_F(UartPair, ReceiveTriggerAndCharacterTimeout) {
    make(1);
    setup(0, 1, 0x03, 0xC7);  // 1382400 bit/s: fast enough to send 60 bytes quickly
    setup(1, 1, 0x03, 0xC7);  // kind 3, receive trigger 56
    out(1, IER, 0x01);
    for (int i = 0; i < 3; ++i) out(0, DATA, static_cast<uint8_t>(i));
    uint64_t charNs = static_cast<uint64_t>(m->uart(0, 1).charNs());
    at(now() + 4 * charNs);  // all three have arrived
    EXPECT_EQ(in(1, IIR), 0xC1) << "below trigger, no time-out yet";
    at(now() + 3 * charNs);
    EXPECT_EQ(in(1, IIR), 0xC1) << "silence shorter than four character times";
    at(now() + 2 * charNs);
    EXPECT_EQ(in(1, IIR), 0xCC) << "character time-out";
    in(1, DATA);
    EXPECT_EQ(in(1, IIR), 0xC1) << "reading RBR clears the time-out";
    for (int i = 0; i < 60; ++i) out(0, DATA, static_cast<uint8_t>(i));
    at(now() + 70 * charNs);
    EXPECT_EQ(in(1, IIR), 0xC4) << "received data at the trigger level";
}

TEST_F(UartPair, OverrunLosesTheNewByteAndClearsOnLsrRead) {
    make(1, "loopback");
    setup(0, 1, 0x03, 0xC7);
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 40; ++i) out(0, DATA, static_cast<uint8_t>(i));
        at(now() + 50 * static_cast<uint64_t>(m->uart(0, 0).charNs()));
    }
    EXPECT_EQ(m->uart(0, 0).rxLevel(), 64);
    EXPECT_EQ(m->uart(0, 0).rxOverruns(), 16u);
    EXPECT_EQ(in(0, LSR) & 0x02, 0x02);
    EXPECT_EQ(in(0, LSR) & 0x02, 0x00) << "overrun clears on read";
    EXPECT_EQ(in(0, DATA), 0) << "the FIFO kept the oldest bytes";
}

TEST_F(UartPair, InterruptPriorityLadderWithAllFourSourcesPending) {
    setup(1, 96);
    out(1, IER, 0x0F);  // transmitter empty pending from here on
    m->advanceTo(now() + kMs);
    {
        auto lock = m->lock();
        auto& u = m->uart(0, 1);
        u.injectReceived(m->now(), 0x7F, true, false, false);  // an error at the top
        for (uint8_t v = 1; v < 8; ++v) u.injectReceived(m->now(), v, false, false, false);
    }
    setup(0, 96);
    out(0, MCR, 0x02);  // the far RTS rises: a CTS change
    struct Step {
        uint8_t iir;
        const char* clearedBy;
        std::function<void()> clear;
    };
    const Step ladder[] = {
        {0xC6, "reading LSR", [&] { in(1, LSR); }},
        {0xC4, "reading below the trigger level", [&] { in(1, DATA); }},
        {0xC2, "reading IIR", [] {}},
        {0xC0, "reading MSR", [&] { in(1, MSR); }},
        {0xC1, "", [] {}},
    };
    for (const auto& step : ladder) {
        EXPECT_EQ(in(1, IIR), step.iir) << "then cleared by " << step.clearedBy;
        step.clear();
    }
}

TEST_F(UartPair, ErrorsShowOnlyWithTheirByteAtTheTop) {
    setup(1, 96);
    {
        auto lock = m->lock();
        auto& u = m->uart(0, 1);
        u.injectReceived(m->now(), 0x41, false, false, false);
        u.injectReceived(m->now(), 0x42, true, false, false);
        u.injectReceived(m->now(), 0x43, false, false, false);
        u.injectReceived(m->now(), 0x00, false, false, true);
    }
    // LSR before each read of RBR (data ready 01, parity 04, break 10,
    // error in FIFO 80), a second LSR read, then the byte that comes out.
    struct Row {
        uint8_t lsr, again, byte;
    };
    const Row rows[] = {
        {0x81, 0x81, 0x41},  // a clean byte on top, a bad one behind it
        {0x85, 0x81, 0x42},  // parity with its byte, cleared by the read
        {0x81, 0x81, 0x43},  // the break still waits behind
        {0x91, 0x81, 0x00},  // break with its zero byte
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(static_cast<int>(r.byte));
        EXPECT_EQ(in(1, LSR) & 0x9D, r.lsr);
        EXPECT_EQ(in(1, LSR) & 0x9D, r.again);
        EXPECT_EQ(in(1, DATA), r.byte);
    }
    EXPECT_EQ(in(1, LSR) & 0x9D, 0x00) << "no errored byte left: bit 7 clears";
}

TEST_F(UartPair, OverrunWithoutFifoShowsTheNewBytesErrors) {
    setup(1, 96, 0x03, 0x00);  // FIFOs off: one holding register
    {
        auto lock = m->lock();
        auto& u = m->uart(0, 1);
        u.injectReceived(m->now(), 0x11, true, false, false);
    }
    EXPECT_EQ(in(1, LSR) & 0x06, 0x04) << "the first byte's parity error";
    {
        auto lock = m->lock();
        m->uart(0, 1).injectReceived(m->now(), 0x22, false, true, false);
    }
    EXPECT_EQ(in(1, LSR) & 0x0E, 0x0A) << "overrun, and the new byte's framing error";
    EXPECT_EQ(in(1, DATA), 0x22);
}

TEST_F(UartPair, ModemDeltasInterruptAndClearOnRead) {
    setup(0, 96);
    setup(1, 96);
    out(1, IER, 0x08);
    in(1, MSR);
    out(0, MCR, 0x03);  // DTR and RTS on: the far end sees DSR, DCD and CTS
    EXPECT_EQ(in(1, IIR), 0xC0) << "modem status interrupt";
    uint8_t msr = in(1, MSR);
    EXPECT_EQ(msr & 0xB0, 0xB0) << "CTS, DSR, DCD active";
    EXPECT_EQ(msr & 0x0B, 0x0B) << "their delta bits";
    EXPECT_EQ(in(1, MSR) & 0x0F, 0) << "deltas clear on read";
    EXPECT_EQ(in(1, IIR), 0xC1);
}

TEST_F(UartPair, LoopbackWiresEachOutputToItsInputAndCutsTheLineOff) {
    setup(0, 96);
    setup(1, 96);
    struct Row {
        uint8_t mcr, msr;
        const char* what;
    };
    const Row rows[] = {
        {0x02, 0x10, "RTS to CTS"},
        {0x01, 0x20, "DTR to DSR"},
        {0x04, 0x40, "OUT1 to RI"},
        {0x08, 0x80, "OUT2 to DCD"},
    };
    for (const auto& r : rows) {
        out(1, MCR, 0x10 | r.mcr);
        EXPECT_EQ(in(1, MSR) & 0xF0, r.msr) << r.what;
        out(1, MCR, 0x10);
        EXPECT_EQ(in(1, MSR) & 0xF0, 0) << r.what;
    }
    out(1, MCR, 0x10 | 0x04);
    EXPECT_EQ(in(1, MSR) & 0x04, 0) << "no TERI on RI's leading edge";
    out(1, MCR, 0x10);
    EXPECT_EQ(in(1, MSR) & 0x04, 0x04) << "TERI on its trailing edge";
    // The far end's characters are cut off; the port's own come back.
    out(0, DATA, 0x55);
    out(1, DATA, 0x3C);
    at(now() + 2 * kMs);
    EXPECT_EQ(in(1, DATA), 0x3C);
    EXPECT_EQ(in(1, LSR) & 0x01, 0) << "only its own character arrived";
    EXPECT_EQ(m->uart(0, 1).lineLostInLoopback(), 1u);
    EXPECT_EQ(in(0, LSR) & 0x01, 0) << "nothing left on the external line";
    // A transmitter held by auto-CTS goes as soon as loopback raises CTS.
    out(1, MCR, 0x00);
    enhanced(1, 2, 0x90);  // auto-CTS; the far RTS is low
    out(1, DATA, 0x5A);
    at(now() + 2 * kMs);
    EXPECT_EQ(in(0, LSR) & 0x01, 0) << "held";
    out(1, MCR, 0x10 | 0x02);  // loopback, RTS on: CTS on inside the part
    at(now() + 2 * kMs);
    EXPECT_EQ(in(1, LSR) & 0x01, 0x01) << "sent and looped back";
    EXPECT_EQ(in(1, DATA), 0x5A);
}

TEST_F(UartPair, AutoCtsHoldsTheTransmitter) {
    setup(0, 96);
    setup(1, 96);
    enhanced(0, 2, 0x90);  // EFR: enhanced + auto-CTS; the far RTS is low
    out(0, DATA, 0x21);
    at(now() + 5 * kMs);
    EXPECT_EQ(in(1, LSR) & 0x01, 0) << "held while CTS is inactive";
    out(1, MCR, 0x02);  // far end raises RTS
    at(now() + 2 * kMs);
    ASSERT_EQ(in(1, LSR) & 0x01, 0x01);
    EXPECT_EQ(in(1, DATA), 0x21);
}

TEST_F(UartPair, AutoRtsDropsAtTriggerAndReturnsWhenDrained) {
    setup(0, 1);
    setup(1, 1);
    enhanced(1, 2, 0x50);  // receiver: enhanced + auto-RTS
    enhanced(1, 1, 0x30);  // programmed trigger table
    enhanced(1, 0, 8);     // TRG: receive trigger 8
    out(1, MCR, 0x02);
    enhanced(0, 2, 0x90);  // sender: auto-CTS
    for (int i = 0; i < 20; ++i) out(0, DATA, static_cast<uint8_t>(i));
    at(now() + 40 * static_cast<uint64_t>(m->uart(0, 0).charNs()));
    int level = m->uart(0, 1).rxLevel();
    EXPECT_GE(level, 8);
    EXPECT_LE(level, 10) << "the sender stopped within a character or two of the trigger";
    EXPECT_EQ(in(0, MSR) & 0x10, 0) << "sender sees CTS low";
    std::vector<uint8_t> got;
    for (int round = 0; round < 10 && got.size() < 20; ++round) {
        while (in(1, LSR) & 1) got.push_back(in(1, DATA));
        at(now() + 40 * static_cast<uint64_t>(m->uart(0, 0).charNs()));
    }
    ASSERT_EQ(got.size(), 20u) << "RTS returned as the FIFO drained, nothing lost";
    for (int i = 0; i < 20; ++i) EXPECT_EQ(got[i], i);
}

TEST_F(UartPair, InBandXonXoffHaltsAndResumesAndIsNotStored) {
    setup(0, 1);
    setup(1, 1);
    for (int p : {0, 1}) flowSetup(p, 0x1A);  // enhanced, transmit and receive XON1/XOFF1
    for (int i = 0; i < 30; ++i) out(0, DATA, static_cast<uint8_t>(0x40 + i));
    at(now() + 60 * static_cast<uint64_t>(m->uart(0, 0).charNs()));
    int level = m->uart(0, 1).rxLevel();
    EXPECT_GE(level, 8);
    EXPECT_LE(level, 11);
    EXPECT_TRUE(m->uart(0, 0).txHeldByXoff());
    EXPECT_EQ(m->uart(0, 0).rxLevel(), 0) << "XOFF was taken, not stored";
    std::vector<uint8_t> got;
    while (got.size() < 30) {
        while (in(1, LSR) & 1) got.push_back(in(1, DATA));
        at(now() + 20 * static_cast<uint64_t>(m->uart(0, 0).charNs()));
        if (now() > 1000 * kMs) break;
    }
    ASSERT_EQ(got.size(), 30u);
    for (int i = 0; i < 30; ++i) EXPECT_EQ(got[i], 0x40 + i);
}

TEST_F(UartPair, AFifoResetOrDisableLetsAHeldSenderGo) {
    struct Case {
        const char* what;
        uint8_t efr;  // receiver's flow control
        uint8_t fcr;  // what the receiver's driver writes
    };
    const Case cases[] = {
        {"auto-RTS, receive FIFO reset", 0x50, 0x03},
        {"auto-RTS, FIFOs disabled", 0x50, 0x00},
        {"XON/XOFF, receive FIFO reset", 0x1A, 0x03},
        {"XON/XOFF, FIFOs disabled", 0x1A, 0x00},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        make(4);
        setup(0, 1);
        setup(1, 1);
        flowSetup(0, 0x92);  // sender: auto-CTS, XON/XOFF recognised
        flowSetup(1, c.efr);
        out(1, MCR, 0x02);
        for (int i = 0; i < 20; ++i) out(0, DATA, static_cast<uint8_t>(0x40 + i));
        at(now() + 40 * static_cast<uint64_t>(m->uart(0, 0).charNs()));
        bool held = (in(0, MSR) & 0x10) == 0 || m->uart(0, 0).txHeldByXoff();
        ASSERT_TRUE(held) << "the sender is held by the receiver's full FIFO";
        out(1, FCR, c.fcr);
        EXPECT_TRUE(m->uart(0, 1).rtsOut()) << "RTS back up at once";
        // XON takes one character to arrive (the sender's next character
        // is then still on its way).
        at(now() + 3 * static_cast<uint64_t>(m->uart(0, 0).charNs()) / 2);
        EXPECT_FALSE(m->uart(0, 0).txHeldByXoff()) << "XON sent";
    }
}

TEST_F(UartPair, BreakReachesTheFarReceiverAsBreakInterrupt) {
    setup(0, 96);
    setup(1, 96);
    out(0, LCR, 0x43);
    at(now() + 3 * kMs);
    uint8_t lsr = in(1, LSR);
    EXPECT_EQ(lsr & 0x19, 0x19) << "data ready, framing, break";
    EXPECT_EQ(in(1, DATA), 0x00);
    out(0, LCR, 0x03);
}

struct MismatchCase {
    const char* what;
    uint16_t txDivisor;
    uint8_t txLcr;
    uint16_t rxDivisor;
    uint8_t rxLcr;
    uint8_t value;
    bool sameValue;
    uint8_t errorBits;  // LSR bits 2-3 expected set
};

TEST_F(UartPair, MismatchedLinesGiveWrongBytesAndErrors) {
    const MismatchCase cases[] = {
        {"matched 8N1", 96, 0x03, 96, 0x03, 0x5A, true, 0x00},
        {"rates 3 % apart still decode", 96, 0x03, 99, 0x03, 0x5A, true, 0x00},
        {"double rate at the receiver", 96, 0x03, 48, 0x03, 0xF0, false, 0x08},
        {"even parity expected, none sent", 96, 0x03, 96, 0x1B, 0x00, true, 0x04},
        {"matched 7E2", 96, 0x1E, 96, 0x1E, 0x35, true, 0x00},
        {"7 data bits sent, 8 expected: the stop bit reads as bit 7", 96, 0x02, 96, 0x03, 0x01, false, 0x00},
        {"8 data bits sent, 7 expected: a zero where the stop bit should be", 96, 0x03, 96, 0x02, 0x00, true, 0x08},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        make(4);
        setup(0, c.txDivisor, c.txLcr);
        setup(1, c.rxDivisor, c.rxLcr);
        out(0, DATA, c.value);
        at(now() + 5 * kMs);
        uint8_t lsr = in(1, LSR);
        ASSERT_EQ(lsr & 0x01, 0x01);
        EXPECT_EQ(lsr & 0x0C, c.errorBits);
        uint8_t v = in(1, DATA);
        if (c.sameValue) EXPECT_EQ(v, c.value);
        else EXPECT_NE(v, c.value);
    }
}

TEST_F(UartPair, Kind4ProgrammedTriggersAndTransmitInterruptAtSixteen) {
    make(4, "none");
    setup(0, 96);
    out(0, LCR, 0xBF);
    out(0, 1, 0x30);
    out(0, 0, 124);   // receive level
    out(0, 1, 0xB0);
    out(0, 0, 16);    // transmit level
    out(0, LCR, 0x03);
    EXPECT_EQ(m->uart(0, 0).rxTrigger(), 124);
    EXPECT_EQ(m->uart(0, 0).txTrigger(), 16);
    out(0, IER, 0x02);
    in(0, IIR);
    for (int i = 0; i < 60; ++i) out(0, DATA, 0x55);
    uint64_t charNs = static_cast<uint64_t>(m->uart(0, 0).charNs());
    at(now() + 40 * charNs);
    EXPECT_EQ(in(0, IIR) & 0x0F, 0x01) << "still above 16 held";
    at(now() + 5 * charNs);
    EXPECT_EQ(in(0, IIR) & 0x0F, 0x02) << "fell to 16 or fewer";
    EXPECT_LE(m->uart(0, 0).txLevel(), 16);
}

TEST_F(UartPair, AnyRegisterWritesNeverBreakTheModel) {
    std::mt19937 rng(12345);
    for (int i = 0; i < 200000; ++i) {
        int port = static_cast<int>(rng() % 2), off = static_cast<int>(rng() % 8);
        if (rng() % 3 == 0) in(port, off);
        else out(port, off, static_cast<uint8_t>(rng()));
        if (i % 64 == 0) at(now() + (rng() % 2000000));
        ASSERT_LE(m->uart(0, port).rxLevel(), m->uart(0, port).fifoSize());
        ASSERT_LE(m->uart(0, port).txLevel(), m->uart(0, port).fifoSize());
    }
}

}  // namespace
