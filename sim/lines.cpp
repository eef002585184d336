#include "sim/lines.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>

#include "sim/machine.h"

namespace sim {

namespace {

class NoLine : public Backend, public LineEnd {
public:
    NoLine(Uart* u, uint64_t now) {
        u->connect(this);
        u->setModemInputs(now, false, false, false, false);
    }
    void charOut(uint64_t, const LineChar&) override {}
    void modemOut(uint64_t, bool, bool) override {}
    std::string describe() const override { return "none"; }
};

class Loopback : public Backend, public LineEnd {
public:
    Loopback(Uart* u, uint64_t now) : u_(u) {
        u->connect(this);
        u->setFeeder(u);
        modemOut(now, u->rtsOut(), u->dtrOut());
    }
    void charOut(uint64_t t, const LineChar& c) override { u_->receive(t, c); }
    void modemOut(uint64_t t, bool rts, bool dtr) override {
        u_->setModemInputs(t, rts, dtr, dtr, dtr);
    }
    bool canAccept() override { return u_->rxHasRoom(); }
    const Uart* receiverUart() const override { return u_; }
    std::string describe() const override { return "loopback"; }

private:
    Uart* u_;
};

class NullModem : public Backend {
public:
    NullModem(Uart* a, Uart* b, std::string aName, std::string bName, uint64_t now)
        : ab_(b), ba_(a), aName_(std::move(aName)), bName_(std::move(bName)) {
        a->connect(&ab_);
        b->connect(&ba_);
        a->setFeeder(b);
        b->setFeeder(a);
        ab_.modemOut(now, a->rtsOut(), a->dtrOut());
        ba_.modemOut(now, b->rtsOut(), b->dtrOut());
    }
    std::string describe() const override { return "null-modem:" + aName_ + "-" + bName_; }

private:
    // One direction of the cable: what leaves one UART reaches the other.
    struct End : LineEnd {
        explicit End(Uart* to) : to(to) {}
        void charOut(uint64_t t, const LineChar& c) override { to->receive(t, c); }
        void modemOut(uint64_t t, bool rts, bool dtr) override {
            to->setModemInputs(t, rts, dtr, false, dtr);
        }
        bool canAccept() override { return to->rxHasRoom(); }
        const Uart* receiverUart() const override { return to; }
        Uart* to;
    };
    End ab_, ba_;
    std::string aName_, bName_;
};

constexpr size_t kBufferLimit = 64 * 1024;
// Bytes waiting for a far end's reader at which its CTS goes off, and at
// which it comes back.
constexpr size_t kPushBackHigh = 16 * 1024;
constexpr size_t kPushBackLow = 4 * 1024;

bool SetNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

// A line whose far end is a file descriptor: a pty master or a socket.
class FdLine : public Backend, public LineEnd {
public:
    FdLine(Machine* m, Uart* u) : m_(m), u_(u) {}
    ~FdLine() override {
        if (fd_ >= 0) close(fd_);
        if (listenFd_ >= 0) close(listenFd_);
        if (ptySlave_ >= 0) close(ptySlave_);
        if (!link_.empty()) unlink(link_.c_str());
        if (!unixPath_.empty() && listenFd_ >= 0) unlink(unixPath_.c_str());
    }

    bool open(const std::string& what, uint64_t now, std::string* error) {
        auto colon = what.find(':');
        std::string kind = what.substr(0, colon);
        std::string arg = colon == std::string::npos ? "" : what.substr(colon + 1);
        bool ok = false;
        if (kind == "pty") ok = openPty(arg, error);
        else if (kind == "tcp-listen") ok = listenTcp(arg, error);
        else if (kind == "tcp") ok = connectTcp(arg, error);
        else if (kind == "unix-listen") ok = listenUnix(arg, error);
        else if (kind == "unix") ok = connectUnix(arg, error);
        else *error = "unknown line kind '" + kind + "'";
        if (!ok) return false;
        describe_ = what;
        u_->connect(this);
        farReady(now);
        return true;
    }

    const std::string& ptyPath() const { return ptyPath_; }

    // LineEnd: what the UART sends.
    void charOut(uint64_t t, const LineChar& c) override {
        if (fd_ < 0 || connecting_ || outbox_.size() >= kBufferLimit) {
            ++dropped_;  // as a wire into nobody, or into a reader that never reads
            return;
        }
        bool wasEmpty = outbox_.empty();
        outbox_.push_back(static_cast<char>(c.value));
        // A far end that does not keep up pushes back the way a modem
        // would: CTS goes off, and with RTS/CTS the port's sender waits.
        if (outbox_.size() >= kPushBackHigh && !pushingBack_) {
            pushingBack_ = true;
            farReady(t);
        }
        if (wasEmpty) m_->io().wake();  // the I/O thread writes the rest as it comes
    }
    void modemOut(uint64_t t, bool, bool) override {
        if (nextDeliver_ < t) nextDeliver_ = t;
    }
    // Backend: paced delivery of received bytes to the UART.
    bool hasEvents() const override { return true; }
    uint64_t nextEvent() const override {
        if (inbox_.empty() || heldByRts()) return kNever;
        if (m_->fast() && !u_->rxHasRoom()) return kNever;
        // The port's full FIFO holds the line until its service comes.
        if (u_->holdsInput(nextDeliver_)) {
            u_->noteHold();
            held_ = true;
            return std::max(nextDeliver_, u_->inputHoldEnd());
        }
        return nextDeliver_;
    }
    uint64_t nextSignificant() const override {
        uint64_t t = nextEvent();
        if (t == kNever || m_->fast()) return t;
        int have = u_->rxLevel(), at = u_->rxTrigger();
        uint64_t k = have < at ? static_cast<uint64_t>(at - have) : 1;
        k = std::min<uint64_t>(k, inbox_.size());
        return t + (k - 1) * static_cast<uint64_t>(std::llround(u_->charNs()));
    }
    bool step(uint64_t now) override {
        if (nextEvent() > now) return false;
        uint64_t t = nextDeliver_;
        // After a hold the line goes on from when the service touched the
        // port (or the hold ran out), never from before.
        if (held_) {
            t = std::min(now, std::max(t, std::min(u_->lastAccess(), u_->inputHoldEnd())));
            held_ = false;
        }
        LineChar c = u_->frameFor(inbox_.front());
        c.value = inbox_.front();
        inbox_.pop_front();
        u_->receive(t, c);
        nextDeliver_ = t + (m_->fast() ? 0 : static_cast<uint64_t>(std::llround(u_->charNs())));
        if (inbox_.size() < kBufferLimit / 2) m_->io().wake();
        return true;
    }
    std::string describe() const override {
        return ptyPath_.empty() ? describe_ : describe_ + " " + ptyPath_;
    }
    uint64_t dropped() const override { return dropped_; }

    // IoThread side; called with the machine's lock held.
    void pollSet(pollfd* pfd, pollfd* lpfd, uint64_t now) {
        if (fd_ < 0 && connectTo_ && now >= retryAt_) startConnect(now);
        pfd->fd = fd_;
        pfd->events = 0;
        if (connecting_) {
            pfd->events = POLLOUT;
        } else if (fd_ >= 0) {
            if (inbox_.size() < kBufferLimit) pfd->events |= POLLIN;
            if (!outbox_.empty()) pfd->events |= POLLOUT;
        }
        lpfd->fd = listenFd_;
        lpfd->events = POLLIN;
    }
    void pollDone(short revents, short lrevents, uint64_t now) {
        if (listenFd_ >= 0 && (lrevents & POLLIN)) {
            int c = accept(listenFd_, nullptr, nullptr);
            if (c >= 0 && fd_ >= 0) {
                close(c);  // one peer at a time: a second is refused, not queued
            } else if (c >= 0) {
                SetNonBlocking(c);
                fd_ = c;
                outbox_.clear();  // nothing meant for an earlier client
                farReady(now);
                m_->uartChangedLocked(u_);
            }
        }
        if (fd_ < 0 || !revents) return;
        if (connecting_) {
            int err = 0;
            socklen_t len = sizeof err;
            getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
            if (err != 0 || (revents & (POLLERR | POLLHUP))) {
                disconnect(now);
                return;
            }
            connecting_ = false;
            backoffNs_ = kFirstRetryNs;
            outbox_.clear();
            farReady(now);
            m_->uartChangedLocked(u_);
            return;
        }
        if (revents & POLLIN) {
            char buf[4096];
            size_t room = kBufferLimit - inbox_.size();
            ssize_t n = read(fd_, buf, std::min(room, sizeof buf));
            if (n > 0) {
                if (inbox_.empty() && nextDeliver_ < now) nextDeliver_ = now;
                inbox_.insert(inbox_.end(), buf, buf + n);
                m_->changedLocked();
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                disconnect(now);
                return;
            }
        }
        if ((revents & POLLOUT) && !outbox_.empty()) {
            ssize_t n = write(fd_, outbox_.data(), outbox_.size());
            if (n > 0) outbox_.erase(0, static_cast<size_t>(n));
        }
        if (pushingBack_ && outbox_.size() <= kPushBackLow) {
            pushingBack_ = false;
            farReady(now);
            m_->uartChangedLocked(u_);  // a transmitter held by CTS goes on
        }
        if (revents & (POLLHUP | POLLERR)) {
            if (ptySlave_ < 0) disconnect(now);
        }
    }

private:
    bool heldByRts() const { return (u_->efr() & 0x40) && !u_->rtsOut(); }

    void disconnect(uint64_t now) {
        close(fd_);
        fd_ = -1;
        connecting_ = false;
        outbox_.clear();
        pushingBack_ = false;
        farReady(now);
        m_->uartChangedLocked(u_);
        if (connectTo_) {  // a lost or refused connection is tried again, backing off
            retryAt_ = now + backoffNs_;
            backoffNs_ = std::min(backoffNs_ * 2, kLastRetryNs);
        }
    }

    // A non-blocking connect; its outcome comes through poll.
    void startConnect(uint64_t now) {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (s < 0) {
            retryAt_ = now + kLastRetryNs;
            return;
        }
        int one = 1;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        fd_ = s;
        int rc = connect(s, reinterpret_cast<const sockaddr*>(&target_), sizeof target_);
        if (rc == 0) {
            connecting_ = false;
            backoffNs_ = kFirstRetryNs;
            farReady(now);
            m_->uartChangedLocked(u_);
        } else if (errno == EINPROGRESS) {
            connecting_ = true;
        } else {
            disconnect(now);
        }
    }

    // The port's modem inputs from this far end: a pty is always there; a
    // socket only while connected (CTS, DSR and DCD off without a peer);
    // CTS also off while the far end's reader lags.
    void farReady(uint64_t now) {
        bool present = (fd_ >= 0 && !connecting_) || ptySlave_ >= 0;
        u_->setModemInputs(now, present && !pushingBack_, present, false, present);
    }

    bool openPty(const std::string& link, std::string* error) {
        int master = -1, slave = -1;
        char name[256];
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
            *error = std::string("cannot open a pty: ") + strerror(errno);
            return false;
        }
        termios tio;
        tcgetattr(slave, &tio);
        cfmakeraw(&tio);
        tcsetattr(slave, TCSANOW, &tio);
        SetNonBlocking(master);
        fcntl(master, F_SETFD, FD_CLOEXEC);
        fcntl(slave, F_SETFD, FD_CLOEXEC);
        fd_ = master;
        ptySlave_ = slave;  // held open so the line outlives the programs using it
        ptyPath_ = name;
        if (!link.empty()) {
            unlink(link.c_str());
            if (symlink(name, link.c_str()) != 0) {
                *error = "cannot create symlink " + link + ": " + strerror(errno);
                return false;
            }
            link_ = link;
        }
        return true;
    }

    bool listenTcp(const std::string& port, std::string* error) {
        int p = atoi(port.c_str());
        if (p <= 0 || p > 65535) {
            *error = "bad TCP port '" + port + "'";
            return false;
        }
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(p));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s, 1) != 0) {
            *error = "cannot listen on 127.0.0.1:" + port + ": " + strerror(errno);
            close(s);
            return false;
        }
        SetNonBlocking(s);
        listenFd_ = s;
        return true;
    }

    // The far end may not be there yet, or may go away: the line keeps
    // trying, with the port's CTS, DSR and DCD off meanwhile.
    bool connectTcp(const std::string& hostPort, std::string* error) {
        auto colon = hostPort.rfind(':');
        if (colon == std::string::npos) {
            *error = "expected tcp:HOST:PORT";
            return false;
        }
        addrinfo hints{}, *res = nullptr;
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        if (getaddrinfo(hostPort.substr(0, colon).c_str(), hostPort.substr(colon + 1).c_str(),
                        &hints, &res) != 0 || !res) {
            *error = "cannot resolve " + hostPort;
            return false;
        }
        std::memcpy(&target_, res->ai_addr, sizeof target_);
        freeaddrinfo(res);
        connectTo_ = true;
        retryAt_ = 0;
        return true;
    }

    bool unixAddress(const std::string& path, sockaddr_un* a, std::string* error) {
        if (path.empty() || path.size() >= sizeof a->sun_path) {
            *error = "bad socket path '" + path + "'";
            return false;
        }
        *a = sockaddr_un{};
        a->sun_family = AF_UNIX;
        std::memcpy(a->sun_path, path.c_str(), path.size());
        return true;
    }

    bool listenUnix(const std::string& path, std::string* error) {
        sockaddr_un a;
        if (!unixAddress(path, &a, error)) return false;
        unlink(path.c_str());
        int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(s, 1) != 0) {
            *error = "cannot listen on " + path + ": " + strerror(errno);
            close(s);
            return false;
        }
        SetNonBlocking(s);
        listenFd_ = s;
        unixPath_ = path;
        return true;
    }

    bool connectUnix(const std::string& path, std::string* error) {
        sockaddr_un a;
        if (!unixAddress(path, &a, error)) return false;
        int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            *error = "cannot connect to " + path + ": " + strerror(errno);
            close(s);
            return false;
        }
        SetNonBlocking(s);
        fd_ = s;
        return true;
    }

    Machine* m_;
    Uart* u_;
    int fd_ = -1;
    int listenFd_ = -1;
    // tcp:HOST:PORT: where to connect, and when to try again.
    static constexpr uint64_t kFirstRetryNs = 50'000'000;
    static constexpr uint64_t kLastRetryNs = 1'000'000'000;
    bool connectTo_ = false;
    bool connecting_ = false;
    sockaddr_in target_{};
    uint64_t retryAt_ = 0;
    uint64_t backoffNs_ = kFirstRetryNs;
    int ptySlave_ = -1;
    std::string ptyPath_, link_, unixPath_, describe_;
    std::deque<uint8_t> inbox_;
    std::string outbox_;
    uint64_t nextDeliver_ = 0;
    uint64_t dropped_ = 0;
    bool pushingBack_ = false;
    mutable bool held_ = false;
};

std::unique_ptr<Backend> MakeNoLine(Uart* u, uint64_t now) {
    return std::make_unique<NoLine>(u, now);
}

std::unique_ptr<Backend> MakeLoopback(Uart* u, uint64_t now) {
    return std::make_unique<Loopback>(u, now);
}

std::unique_ptr<Backend> MakeNullModem(Uart* a, Uart* b, const std::string& aName,
                                       const std::string& bName, uint64_t now) {
    return std::make_unique<NullModem>(a, b, aName, bName, now);
}

std::unique_ptr<Backend> MakeFdLine(Machine* m, Uart* u, const std::string& what, uint64_t now,
                                    std::string* error) {
    auto line = std::make_unique<FdLine>(m, u);
    if (!line->open(what, now, error)) return nullptr;
    m->io().add(line.get());
    return line;
}

IoThread::IoThread(Machine* m) : machine_(m) {
    if (pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) wakePipe_[0] = wakePipe_[1] = -1;
}

IoThread::~IoThread() {
    stop();
    if (wakePipe_[0] >= 0) close(wakePipe_[0]);
    if (wakePipe_[1] >= 0) close(wakePipe_[1]);
}

void IoThread::add(FdLine* line) { lines_.push_back(line); }

void IoThread::start() {
    if (running_ || lines_.empty()) return;
    running_ = true;
    thread_ = std::thread([this] { loop(); });
}

void IoThread::stop() {
    if (!running_) return;
    running_ = false;
    wake();
    if (thread_.joinable()) thread_.join();
}

void IoThread::wake() {
    if (wakePipe_[1] >= 0) {
        char c = 1;
        ssize_t n = write(wakePipe_[1], &c, 1);
        (void)n;
    }
}

void IoThread::loop() {
    // Two entries a line (its stream, its listener), then the wake pipe.
    std::vector<pollfd> fds(2 * lines_.size() + 1);
    while (true) {
        {
            std::lock_guard<std::mutex> lock(machine_->mutex());
            if (!running_) return;
            uint64_t now = machine_->now();
            for (size_t i = 0; i < lines_.size(); ++i) {
                lines_[i]->pollSet(&fds[2 * i], &fds[2 * i + 1], now);
            }
        }
        fds.back() = {wakePipe_[0], POLLIN, 0};
        // Short enough for a connection's retries to keep their pace.
        if (poll(fds.data(), fds.size(), 50) < 0 && errno != EINTR) return;
        if (fds.back().revents & POLLIN) {
            char buf[256];
            while (read(wakePipe_[0], buf, sizeof buf) > 0) {
            }
        }
        std::lock_guard<std::mutex> lock(machine_->mutex());
        if (!running_) return;
        uint64_t now = machine_->now();
        for (size_t i = 0; i < lines_.size(); ++i) {
            short data = fds[2 * i].fd >= 0 ? fds[2 * i].revents : 0;
            short listener = fds[2 * i + 1].fd >= 0 ? fds[2 * i + 1].revents : 0;
            if (data || listener) lines_[i]->pollDone(data, listener, now);
        }
    }
}

}  // namespace sim
