// Bytes end to end inside one process: clients on the request channels,
// the server threads, the interrupt thread and the paced UARTs of a
// null-modem pair, all at once (also the ThreadSanitizer suite).
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "client/client.h"
#include "rig.h"

namespace {

class Streaming : public ::testing::Test {
protected:
    void make(int model, bool fast, bool strictTime = false) {
        sim::MachineOptions o = rig::Rig::realtime(fast);
        o.strictTime = strictTime;
        r = std::make_unique<rig::Rig>(o);
        sim::BoardConfig c;
        c.model = model;
        r->machine->addBoard(c);
        ASSERT_EQ(r->machine->wire(0, 0, "null-modem:0.1"), "");
        r->machine->start();
        r->bringUp(5);
        ASSERT_NE(g_InterruptHandle, nullptr);
        for (int p = 0; p < 2; ++p) {
            qm::Status st;
            std::string why;
            port[p] = qm::Port::Attach(std::to_string(p), host::Namespace(), &st, &why);
            ASSERT_TRUE(port[p]) << why;
            ASSERT_EQ(port[p]->open(), qm::Status::Ok);
        }
    }
    void TearDown() override {
        port[0].reset();
        port[1].reset();
        r.reset();
    }
    void configure(int p, const char* text, uint8_t handshake = 0, uint32_t soft = 0) {
        std::string why;
        auto s = qm::ParseLineSettings(text, &why);
        ASSERT_TRUE(s) << why;
        s->handshake = handshake;
        s->softwareFlow = soft;
        bool accepted = false;
        ASSERT_EQ(port[p]->setLineSettings(*s, &accepted), qm::Status::Ok);
        ASSERT_TRUE(accepted) << text;
    }
    // Reads until `n` bytes came or nothing arrives for idleMs.
    std::vector<uint8_t> receive(int p, size_t n, uint32_t idleMs = 2000) {
        std::vector<uint8_t> got;
        uint8_t buf[8192];
        while (got.size() < n) {
            uint32_t k = 0;
            if (port[p]->read(buf, sizeof buf, idleMs, &k) != qm::Status::Ok) break;
            got.insert(got.end(), buf, buf + k);
        }
        return got;
    }
    static std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
        std::mt19937 rng(seed);
        std::vector<uint8_t> v(n);
        for (auto& b : v) b = static_cast<uint8_t>(rng());
        return v;
    }

    std::unique_ptr<rig::Rig> r;
    std::unique_ptr<qm::Port> port[2];
};

TEST_F(Streaming, NullModemCarriesBytesInOrderAtLowAndTopRate) {
    struct RateCase {
        const char* settings;
        size_t bytes;
        uint8_t handshake;
    };
    const RateCase cases[] = {{"9600,8N1", 300, 0}, {"921600,8N1", 48 * 1024, 0x03}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings);
        make(4, false);
        configure(0, c.settings, c.handshake);
        configure(1, c.settings, c.handshake);
        auto data = Pattern(c.bytes, 7);
        std::thread writer([&] { EXPECT_EQ(port[0]->writeAll(data.data(), data.size(), 5000), qm::Status::Ok); });
        auto got = receive(1, data.size());
        writer.join();
        EXPECT_EQ(got.size(), data.size());
        EXPECT_TRUE(got == data) << "bytes differ or arrived out of order";
        uint8_t errors = 0xFF;
        EXPECT_EQ(port[1]->lineErrors(&errors), qm::Status::Ok);
        EXPECT_EQ(errors, 0);
        TearDown();
    }
}

TEST_F(Streaming, AutoCtsHoldsAndReleasesTheSender) {
    make(4, false);
    // The receiver's automatic RTS keeps its FIFO safe from a slow
    // interrupt; its RTS output still follows the RTS command.
    configure(0, "115200,8N1", qm::kHandshakeCts);
    configure(1, "115200,8N1", qm::kHandshakeRts);
    ASSERT_EQ(port[1]->setRts(false), qm::Status::Ok);
    auto data = Pattern(500, 3);
    uint32_t taken = 0;
    ASSERT_EQ(port[0]->writeSome(data.data(), 500, &taken), qm::Status::Ok);
    uint8_t buf[64];
    uint32_t k = 0;
    EXPECT_EQ(port[1]->read(buf, sizeof buf, 200, &k), qm::Status::Timeout) << "held while CTS is low";
    ASSERT_EQ(port[1]->setRts(true), qm::Status::Ok);
    auto got = receive(1, 500);
    EXPECT_TRUE(got == data);
}

TEST_F(Streaming, XonXoffHoldsAndReleasesTheSender) {
    make(1, false);
    configure(0, "115200,8N1", 0x03, 1);
    configure(1, "115200,8N1", 0x03);
    uint8_t xoff = 0x13, xon = 0x11;
    uint32_t taken = 0;
    ASSERT_EQ(port[1]->writeSome(&xoff, 1, &taken), qm::Status::Ok);
    ASSERT_TRUE(rig::WaitFor([&] { auto l = r->machine->lock(); return r->machine->uart(0, 0).txHeldByXoff(); }));
    auto data = Pattern(300, 5);
    ASSERT_EQ(port[0]->writeSome(data.data(), 300, &taken), qm::Status::Ok);
    uint8_t buf[64];
    uint32_t k = 0;
    EXPECT_EQ(port[1]->read(buf, sizeof buf, 200, &k), qm::Status::Timeout) << "held by XOFF";
    ASSERT_EQ(port[1]->writeSome(&xon, 1, &taken), qm::Status::Ok);
    auto got = receive(1, 300);
    EXPECT_TRUE(got == data);
}

TEST_F(Streaming, ClearingABreakWhileSendingNeverLeavesTheLineInBreak) {
    make(4, false);
    configure(0, "115200,8N1");
    configure(1, "115200,8N1");
    auto data = Pattern(2000, 21);  // about 170 ms on the line
    uint32_t taken = 0;
    ASSERT_EQ(port[0]->writeSome(data.data(), 2000, &taken), qm::Status::Ok);
    ASSERT_EQ(port[0]->setBreak(true), qm::Status::Ok);
    ASSERT_EQ(port[0]->setBreak(false), qm::Status::Ok);
    auto l = r->machine->lock();
    EXPECT_FALSE(r->machine->uart(0, 0).breakOn()) << "the driver declined the clear while sending";
}

TEST_F(Streaming, FramingMismatchShowsInLineErrors) {
    make(4, false);
    configure(0, "9600,8N1");
    configure(1, "19200,8N1");
    auto data = Pattern(40, 9);
    ASSERT_EQ(port[0]->writeAll(data.data(), data.size(), 2000), qm::Status::Ok);
    receive(1, 100, 300);
    uint8_t errors = 0;
    EXPECT_EQ(port[1]->lineErrors(&errors), qm::Status::Ok);
    EXPECT_NE(errors & qm::kLsrFraming, 0) << "line errors " << qm::DescribeLineErrors(errors);
}

TEST_F(Streaming, FullReceiveRingRecordsOverflowAndKeepsTheUartDrained) {
    make(4, true);
    configure(0, "921600,8N1");
    configure(1, "921600,8N1");
    auto data = Pattern(kRingSize + 600, 11);
    ASSERT_EQ(port[0]->writeAll(data.data(), data.size(), 5000), qm::Status::Ok);
    uint32_t count = 0;
    ASSERT_TRUE(rig::WaitFor([&] { return port[1]->rxCount(&count) == qm::Status::Ok && count == kRingSize; }));
    ASSERT_TRUE(rig::WaitFor([&] {
        uint8_t e = 0;
        return port[1]->lineErrors(&e) == qm::Status::Ok && (e & qm::kLsrOverrun);
    }));
    ASSERT_TRUE(rig::WaitFor([&] { auto l = r->machine->lock(); return r->machine->uart(0, 1).rxLevel() == 0; }));
    auto got = receive(1, kRingSize, 300);
    ASSERT_EQ(got.size(), kRingSize);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin())) << "the first 8192 bytes kept";
}

TEST_F(Streaming, ALateReaderLosesNothingWithRtsCts) {
    // The sender outruns the receive ring by far; the reader comes only
    // once the whole chain is held (ring at its high mark, UART FIFO full,
    // RTS down, the sender's CTS off, its ring full).
    struct Case {
        const char* settings;
        size_t bytes;
    };
    for (const Case& c : {Case{"115200,8N1", 20000}, Case{"921600,8N1", 40000}}) {
        SCOPED_TRACE(c.settings);
        make(4, false);
        configure(0, c.settings, 0x03);
        configure(1, c.settings, 0x03);
        auto data = Pattern(c.bytes, 13);
        std::thread writer([&] {
            EXPECT_EQ(port[0]->writeAll(data.data(), data.size(), 20000), qm::Status::Ok);
        });
        ASSERT_TRUE(rig::WaitFor([&] { return g_Ports[1]->rxHeld != 0; }, 10000));
        ASSERT_TRUE(rig::WaitFor([&] {
            auto l = r->machine->lock();
            return !r->machine->uart(0, 1).rtsOut();
        }));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the reader is late
        auto got = receive(1, data.size());
        writer.join();
        EXPECT_EQ(got.size(), data.size());
        EXPECT_TRUE(got == data) << "bytes lost or out of order";
        uint8_t errors = 0xFF;
        EXPECT_EQ(port[1]->lineErrors(&errors), qm::Status::Ok);
        EXPECT_EQ(errors, 0) << qm::DescribeLineErrors(errors);
        TearDown();
    }
}

TEST_F(Streaming, ALateServiceHoldsTheLineUnlessTimeIsStrict) {
    // The interrupt service is kept out for 15 ms while 921600 bit/s arrive
    // without flow control: the receiving FIFO fills long before.
    for (bool strict : {false, true}) {
        SCOPED_TRACE(strict ? "strict time" : "holding");
        make(4, false, strict);
        configure(0, "921600,8N1");
        configure(1, "921600,8N1");
        auto data = Pattern(4000, 17);
        std::thread writer([&] {
            EXPECT_EQ(port[0]->writeAll(data.data(), data.size(), 5000), qm::Status::Ok);
        });
        ASSERT_TRUE(rig::WaitFor([&] {
            auto l = r->machine->lock();
            return r->machine->uart(0, 1).rxLevel() > 0;
        }));
        DisableProcessorInterrupts();
        // The late service: ten FIFOs' worth, and well inside the 50 ms hold
        // even when a busy host oversleeps.
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
        EnableProcessorInterrupts();
        auto got = receive(1, data.size(), 500);
        writer.join();
        uint8_t errors = 0;
        EXPECT_EQ(port[1]->lineErrors(&errors), qm::Status::Ok);
        if (strict) {
            EXPECT_LT(got.size(), data.size());
            EXPECT_NE(errors & qm::kLsrOverrun, 0) << "the overrun is reported";
            EXPECT_EQ(r->machine->inputHolds(0, 1), 0u);
        } else {
            EXPECT_TRUE(got == data) << got.size() << " of " << data.size() << " bytes; overruns "
                                     << r->machine->uart(0, 1).rxOverruns() << " holds "
                                     << r->machine->inputHolds(0, 1);
            EXPECT_EQ(errors, 0) << qm::DescribeLineErrors(errors);
            EXPECT_GE(r->machine->inputHolds(0, 1), 1u);
        }
        TearDown();
    }
}

// Both directions at once while the request side reconfigures and toggles
// break: ThreadSanitizer watches the rings, counts and txActive.
TEST_F(Streaming, BothWaysWhileReopeningAndTogglingBreak) {
    make(4, true);
    for (int round = 0; round < 2; ++round) {
        configure(0, "460800,8N1", 0x03);
        configure(1, "460800,8N1", 0x03);
        std::atomic<bool> stop{false};
        std::vector<std::thread> threads;
        for (int p = 0; p < 2; ++p) {
            threads.emplace_back([&, p] {
                auto data = Pattern(4096, static_cast<uint32_t>(p));
                while (!stop) {
                    uint32_t taken = 0;
                    port[p]->writeSome(data.data(), static_cast<uint32_t>(data.size()), &taken);
                    std::this_thread::sleep_for(std::chrono::microseconds(500));
                }
            });
        }
        for (int i = 0; i < 12; ++i) {
            uint8_t buf[8192];
            uint32_t k;
            port[1]->readSome(buf, sizeof buf, &k);
            port[0]->readSome(buf, sizeof buf, &k);
            port[i % 2]->setBreak(true);
            port[i % 2]->setBreak(false);
            configure(i % 2, i % 3 ? "460800,8N1" : "230400,7E1", 0x03);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        stop = true;
        for (auto& t : threads) t.join();
        ASSERT_EQ(port[0]->open(), qm::Status::Ok);
        ASSERT_EQ(port[1]->open(), qm::Status::Ok);
    }
    // After the storm, a clean transfer still works. (Unpaced, a sender
    // outruns any reader: stay within one receive ring.)
    configure(0, "460800,8N1", 0x03);
    configure(1, "460800,8N1", 0x03);
    receive(1, 1 << 20, 100);  // whatever was still in flight
    auto data = Pattern(8000, 99);
    std::thread writer([&] { port[0]->writeAll(data.data(), data.size(), 5000); });
    auto got = receive(1, data.size());
    writer.join();
    ASSERT_EQ(got.size(), data.size());
    auto diff = std::mismatch(got.begin(), got.end(), data.begin());
    EXPECT_TRUE(diff.first == got.end()) << "first difference at byte " << (diff.first - got.begin());
}

}  // namespace
