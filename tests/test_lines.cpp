// Line backends with real descriptors: a pty and a Unix socket as the far
// end of a simulated UART, driven at register level on the real clock.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <unistd.h>

#include "rig.h"

namespace {

constexpr int DATA = 0, LCR = 3, LSR = 5, MSR = 6, FCR = 2;

class Lines : public ::testing::Test {
protected:
    void SetUp() override {
        sim::MachineOptions o;
        m = std::make_unique<sim::Machine>(o);
        sim::BoardConfig c;
        c.model = 3;
        m->addBoard(c);
    }
    void TearDown() override { m.reset(); }
    uint32_t reg(int off) { return m->board(0).uartBase + off; }
    void program115200() {
        m->ioWrite8(reg(LCR), 0x80);
        m->ioWrite8(reg(DATA), 12);  // 115200 at 22118400 Hz
        m->ioWrite8(reg(1), 0);
        m->ioWrite8(reg(LCR), 0x03);
        m->ioWrite8(reg(FCR), 0xC7);
    }
    std::string readUart(size_t n) {
        std::string got;
        rig::WaitFor([&] {
            while (m->ioRead8(reg(LSR)) & 1) got.push_back(static_cast<char>(m->ioRead8(reg(DATA))));
            return got.size() >= n;
        });
        return got;
    }
    static std::string readFd(int fd, size_t n, int timeoutMs = 5000) {
        std::string got;
        rig::WaitFor([&] {
            char buf[256];
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 10) > 0) {
                ssize_t k = read(fd, buf, sizeof buf);
                if (k > 0) got.append(buf, static_cast<size_t>(k));
            }
            return got.size() >= n;
        }, timeoutMs);
        return got;
    }
    std::unique_ptr<sim::Machine> m;
};

TEST_F(Lines, PtyCarriesBytesBothWaysAndReadsAsAReadyCable) {
    std::string link = "/tmp/qm-test-pty-" + std::to_string(getpid());
    ASSERT_EQ(m->wire(0, 0, "pty:" + link), "");
    m->start();
    program115200();
    EXPECT_EQ(m->ioRead8(reg(MSR)) & 0xB0, 0xB0) << "CTS, DSR and DCD active";
    int fd = open(link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "ping", 4), 4);
    EXPECT_EQ(readUart(4), "ping");
    for (char c : std::string("pong")) m->ioWrite8(reg(DATA), static_cast<uint8_t>(c));
    EXPECT_EQ(readFd(fd, 4), "pong");
    close(fd);
    // The line outlives the program that used it.
    fd = open(link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "again", 5), 5);
    EXPECT_EQ(readUart(5), "again");
    close(fd);
}

TEST_F(Lines, UnixSocketListenerTakesAPeer) {
    std::string path = "/tmp/qm-test-sock-" + std::to_string(getpid());
    ASSERT_EQ(m->wire(0, 0, "unix-listen:" + path), "");
    m->start();
    program115200();
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    ASSERT_EQ(connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    // Dropped until the listener has taken the peer, so sent again until
    // one arrives (the first that does may follow a few dropped ones).
    ASSERT_TRUE(rig::WaitFor([&] {
        m->ioWrite8(reg(DATA), 'x');
        return readFd(s, 1, 50).rfind("x", 0) == 0;
    }));
    readFd(s, 64, 100);  // any further 'x' still on its way
    ASSERT_EQ(write(s, "hello", 5), 5);
    EXPECT_EQ(readUart(5), "hello");
    close(s);
}

// A free TCP port on the loopback interface.
int FreePort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

int ConnectTo(int port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// True once the peer closed the connection (read gives 0).
bool ClosedByPeer(int fd) {
    return rig::WaitFor([&] {
        char c;
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, 10) > 0 && read(fd, &c, 1) == 0;
    });
}

TEST_F(Lines, TcpListenerTakesOnePeerAtATimeAndShowsWhetherOneIsThere) {
    int port = FreePort();
    ASSERT_EQ(m->wire(0, 0, "tcp-listen:" + std::to_string(port)), "");
    m->start();
    program115200();
    EXPECT_EQ(m->ioRead8(reg(MSR)) & 0xB0, 0) << "no peer: CTS, DSR and DCD off";
    for (char c : std::string("lost")) m->ioWrite8(reg(DATA), static_cast<uint8_t>(c));
    ASSERT_TRUE(rig::WaitFor([&] { return (m->ioRead8(reg(LSR)) & 0x40) != 0; })) << "sent";
    int a = ConnectTo(port);
    ASSERT_GE(a, 0);
    EXPECT_TRUE(rig::WaitFor([&] { return (m->ioRead8(reg(MSR)) & 0xB0) == 0xB0; }));
    int b = ConnectTo(port);
    ASSERT_GE(b, 0);
    EXPECT_TRUE(ClosedByPeer(b)) << "a second peer is refused";
    close(b);
    m->ioWrite8(reg(DATA), 'x');
    EXPECT_EQ(readFd(a, 1), "x") << "only what was sent while it was there";
    close(a);
    EXPECT_TRUE(rig::WaitFor([&] { return (m->ioRead8(reg(MSR)) & 0xB0) == 0; }));
}

TEST_F(Lines, TcpConnectorKeepsTryingUntilTheFarEndIsThere) {
    int port = FreePort();
    ASSERT_EQ(m->wire(0, 0, "tcp:127.0.0.1:" + std::to_string(port)), "")
        << "nobody listening yet is not an error";
    m->start();
    program115200();
    EXPECT_EQ(m->ioRead8(reg(MSR)) & 0x10, 0);
    int l = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(l, 1), 0);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        pollfd p{l, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 5000), 1) << "the line connected";
        int c = accept(l, nullptr, nullptr);
        ASSERT_GE(c, 0);
        EXPECT_TRUE(rig::WaitFor([&] { return (m->ioRead8(reg(MSR)) & 0x10) != 0; }));
        ASSERT_EQ(write(c, "hi", 2), 2);
        EXPECT_EQ(readUart(2), "hi");
        close(c);  // lost: it connects again
        EXPECT_TRUE(rig::WaitFor([&] { return (m->ioRead8(reg(MSR)) & 0x10) == 0; }));
    }
    close(l);
}

TEST_F(Lines, WiringMistakesAreRefused) {
    EXPECT_NE(m->wire(0, 2, "loopback"), "") << "model 3 has two ports";
    EXPECT_EQ(m->wire(0, 0, "loopback"), "");
    EXPECT_NE(m->wire(0, 0, "none"), "") << "wired twice";
    EXPECT_NE(m->wire(0, 1, "null-modem:0.0"), "") << "its peer is taken";
    EXPECT_NE(m->wire(0, 1, "null-modem:0.1"), "");
    EXPECT_NE(m->wire(0, 1, "tcp:127.0.0.1"), "") << "no port";
    EXPECT_NE(m->wire(0, 1, "serial-cable"), "");
}

}  // namespace
