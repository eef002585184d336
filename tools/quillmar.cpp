// quillmar: the command line for Quillmar ports served by quillmard.
#include <fcntl.h>
#include <fmt/core.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <sys/stat.h>
#include <cerrno>
#include <cstring>
#include <cmath>
#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "client/client.h"
#include "platform/names.h"
#include "client/machine_info.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Failure {
    std::string message;
};

[[noreturn]] void Fail(const std::string& message) { throw Failure{message}; }

std::string g_namespace = "default";

// PORT as the user wrote it, for messages.
struct Target {
    std::string spelled;
    std::unique_ptr<qm::Port> port;
};

Target AttachPort(const std::string& spelled) {
    qm::Status st;
    std::string why;
    auto port = qm::Port::Attach(spelled, g_namespace, &st, &why);
    if (!port) {
        if (st == qm::Status::NoSuchPort) {
            Fail(fmt::format("{}: no such port (quillmar list shows the ports)", spelled));
        }
        Fail(why);
    }
    return {spelled, std::move(port)};
}

// Turns a failed request into its one-line message.
void Check(const Target& t, qm::Status s, const char* doing) {
    switch (s) {
        case qm::Status::Ok: return;
        case qm::Status::NotConfigured:
            Fail(fmt::format("{} is not configured: run quillmar config {}", t.spelled, t.spelled));
        case qm::Status::Timeout:
            Fail(fmt::format("{}: the driver did not answer while {} (is quillmard busy or stopped?)",
                             t.spelled, doing));
        case qm::Status::NoDriver: Fail(fmt::format("{}: the driver has gone away", t.spelled));
        case qm::Status::NoReply:
            Fail(fmt::format("{}: the driver took the request but did not answer while {} (is "
                             "quillmard stopped or frozen?)",
                             t.spelled, doing));
        case qm::Status::Busy:
            Fail(fmt::format("{}: another client kept the port busy while {} (close the other "
                             "program using it)",
                             t.spelled, doing));
        case qm::Status::Restarted:
            Fail(fmt::format("{}: the driver restarted while {}: run the command again", t.spelled,
                             doing));
        case qm::Status::Damaged:
            Fail(fmt::format("{}: the port's shared objects were damaged by another process: "
                             "restart quillmard to serve it again",
                             t.spelled));
        default: Fail(fmt::format("{}: {} failed: {}", t.spelled, doing, qm::StatusText(s)));
    }
}

const qm::PortInfo* FindInfo(const std::vector<qm::MachineInfo>& infos, const std::string& device) {
    for (const auto& m : infos) {
        for (const auto& p : m.ports) {
            if (p.device == device) return &p;
        }
    }
    return nullptr;
}

// ---- progress ---------------------------------------------------------------

class Progress {
public:
    Progress(const char* verb, size_t total) : verb_(verb), total_(total), start_(Clock::now()) {
        show_ = isatty(STDERR_FILENO);
    }
    void update(size_t done, bool force = false) {
        if (!show_) return;
        auto now = Clock::now();
        if (!force && now - last_ < std::chrono::milliseconds(200)) return;
        last_ = now;
        double secs = std::chrono::duration<double>(now - start_).count();
        double rate = secs > 0 ? done / secs : 0;
        std::string left = "--:--";
        if (total_ && rate > 0) {
            int s = static_cast<int>((total_ - done) / rate);
            left = fmt::format("{}:{:02}", s / 60, s % 60);
        }
        int width = 30;
        int filled = total_ ? static_cast<int>(width * static_cast<double>(done) / total_) : 0;
        fmt::print(stderr, "\r{} [{}{}] {} / {} bytes  {:.1f} kB/s  {} left ", verb_,
                   std::string(filled, '#'), std::string(width - filled, ' '), done,
                   total_ ? std::to_string(total_) : "?", rate / 1000.0, left);
    }
    void finish(size_t done) {
        if (!show_) return;
        update(done, true);
        fmt::print(stderr, "\n");
    }

private:
    const char* verb_;
    size_t total_;
    Clock::time_point start_, last_;
    bool show_;
};

// ---- subcommands -----------------------------------------------------------

int List() {
    std::string denied;
    if (!qm::CanEnterNamespace(g_namespace, &denied)) Fail(denied);
    auto infos = qm::ReadMachineInfo(g_namespace);
    if (infos.empty()) {
        Fail(fmt::format("no driver is running in namespace '{}' (start quillmard)", g_namespace));
    }
    fmt::print("{:<30} {:>6}  {:<7} {:>6} {:>10} {:>6}  {}\n", "DEVICE", "NUMBER", "BOARD", "MODEL",
               "CLOCK", "HOLDS", "LINE");
    for (const auto& m : infos) {
        for (const auto& p : m.ports) {
            qm::Status st;
            std::string why;
            bool live = qm::Port::Attach(p.device, g_namespace, &st, &why) != nullptr;
            fmt::print("{:<30} {:>6}  {:<7} {:>6} {:>10} {:>6}  {}{}{}\n", p.device, p.number,
                       fmt::format("{}.{}", p.board, p.index), p.model, p.clockHz, p.holds, p.line,
                       p.dropped ? fmt::format(" ({} dropped at the far end)", p.dropped) : "",
                       live ? "" : " (not answering)");
        }
    }
    return 0;
}

uint8_t ParseChar(const std::string& text) {
    if (text.size() == 1) return static_cast<uint8_t>(text[0]);
    try {
        size_t used = 0;
        unsigned long v = std::stoul(text, &used, 0);
        if (used == text.size() && v <= 255) return static_cast<uint8_t>(v);
    } catch (...) {
    }
    Fail(fmt::format("'{}' is not a character: give one character or a number such as 0x11", text));
}

int Config(const std::string& spelled, const std::string& text, bool rtscts, bool xonxoff, bool dtr,
           const std::string& xon, const std::string& xoff, bool lowerDtr, bool lowerRts) {
    std::string why;
    auto settings = qm::ParseLineSettings(text, &why);
    if (!settings) Fail(why);
    if (rtscts) settings->handshake |= qm::kHandshakeRts | qm::kHandshakeCts;
    if (dtr) settings->handshake |= qm::kHandshakeDtr;
    if (xonxoff) settings->softwareFlow = 1;
    if (!xon.empty()) settings->xonChar = ParseChar(xon);
    if (!xoff.empty()) settings->xoffChar = ParseChar(xoff);
    Target t = AttachPort(spelled);
    // Checked before anything is sent: a rejected record would still
    // replace the port's settings and reset its FIFOs.
    auto infos = qm::ReadMachineInfo(g_namespace);
    const qm::PortInfo* info = FindInfo(infos, t.port->device());
    if (info && !qm::CheckRate(info->clockHz, settings->baudRate, &why)) Fail(why);
    Check(t, t.port->open(), "opening the port");
    bool accepted = false;
    Check(t, t.port->setLineSettings(*settings, &accepted), "applying the settings");
    if (!accepted) Fail(fmt::format("{}: the driver refused {}", spelled, text));
    // As opening a Linux serial port does, DTR and RTS go up, unless asked
    // to stay down. (Automatic RTS still drops it while the FIFO is full.)
    if (!lowerDtr) Check(t, t.port->setDtr(true), "raising DTR");
    else Check(t, t.port->setDtr(false), "lowering DTR");
    if (!lowerRts) Check(t, t.port->setRts(true), "raising RTS");
    else Check(t, t.port->setRts(false), "lowering RTS");
    std::string flow = rtscts ? " rtscts" : "";
    if (xonxoff) flow += " xonxoff";
    if (dtr) flow += " dtr";
    std::string rate;
    if (info) {
        double actual = qm::EffectiveRate(info->clockHz, settings->baudRate);
        double error = (actual - settings->baudRate) * 100.0 / settings->baudRate;
        rate = std::fabs(error) < 0.005
                   ? fmt::format("; exactly {} bit/s", settings->baudRate)
                   : fmt::format("; {:.0f} bit/s ({:+.2f}%)", actual, error);
    }
    fmt::print("{}: {}{}, DTR {}, RTS {}{}\n", spelled, text, flow, lowerDtr ? "off" : "on",
               lowerRts ? "off" : "on", rate);
    return 0;
}

// The modem lines, line errors and bytes waiting, as they change: one
// line redrawn in place on a terminal, a line per change otherwise.
int Watch(const std::string& spelled, double seconds) {
    Target t = AttachPort(spelled);
    bool tty = isatty(STDOUT_FILENO);
    auto onOff = [](bool b) { return b ? "on " : "off"; };
    std::string last;
    auto start = Clock::now();
    for (;;) {
        uint8_t msr = 0, mcr = 0, errors = 0;
        uint32_t waiting = 0;
        Check(t, t.port->modemStatus(&msr), "reading the modem status");
        Check(t, t.port->modemControl(&mcr), "reading the modem control");
        Check(t, t.port->lineErrors(&errors), "reading the line errors");
        Check(t, t.port->rxCount(&waiting), "reading the receive count");
        std::string line = fmt::format(
            "CTS {} DSR {} RI {} DCD {} | DTR {} RTS {} | errors: {} | waiting: {}",
            onOff(msr & qm::kMsrCts), onOff(msr & qm::kMsrDsr), onOff(msr & qm::kMsrRi),
            onOff(msr & qm::kMsrDcd), onOff(mcr & qm::kMcrDtr), onOff(mcr & qm::kMcrRts),
            qm::DescribeLineErrors(errors), waiting);
        if (line != last) {
            if (tty) {
                fmt::print("\r{}\x1b[K", line);
            } else {
                fmt::print("{}\n", line);
            }
            std::fflush(stdout);
            last = line;
        }
        if (seconds > 0 && Clock::now() - start >= std::chrono::duration<double>(seconds)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (tty) fmt::print("\n");
    return 0;
}

int StatusCmd(const std::string& spelled, bool raw) {
    Target t = AttachPort(spelled);
    uint8_t msr = 0, mcr = 0, errors = 0, lsr = 0;
    uint32_t waiting = 0;
    Check(t, t.port->modemStatus(&msr), "reading the modem status");
    Check(t, t.port->modemControl(&mcr), "reading the modem control");
    Check(t, t.port->lineErrors(&errors), "reading the line errors");
    Check(t, t.port->rxCount(&waiting), "reading the receive count");
    auto onOff = [](bool b) { return b ? "on " : "off"; };
    fmt::print("{}\n", t.port->device());
    fmt::print("  inputs:  CTS {}  DSR {}  RI {}  DCD {}\n", onOff(msr & qm::kMsrCts),
               onOff(msr & qm::kMsrDsr), onOff(msr & qm::kMsrRi), onOff(msr & qm::kMsrDcd));
    fmt::print("  outputs: DTR {}  RTS {}\n", onOff(mcr & qm::kMcrDtr), onOff(mcr & qm::kMcrRts));
    fmt::print("  line errors since start: {}\n", qm::DescribeLineErrors(errors));
    fmt::print("  bytes waiting: {}\n", waiting);
    auto infos = qm::ReadMachineInfo(g_namespace);
    if (const qm::PortInfo* info = FindInfo(infos, t.port->device())) {
        // The simulated line's own counts, refreshed by quillmard each second.
        fmt::print("  line held for the port's service: {} times\n", info->holds);
        fmt::print("  dropped at the far end: {}\n", info->dropped);
    }
    if (raw) {
        Check(t, t.port->lineStatus(&lsr), "reading the line status");
        fmt::print("  LSR: 0x{:02X}\n", lsr);
    }
    return 0;
}

int Line(const std::string& what, const std::string& spelled, const std::string& state) {
    bool on = state == "on";
    if (!on && state != "off") Fail(fmt::format("expected on or off, got '{}'", state));
    Target t = AttachPort(spelled);
    qm::Status s = what == "rts" ? t.port->setRts(on)
                   : what == "dtr" ? t.port->setDtr(on)
                                   : t.port->setBreak(on);
    Check(t, s, ("setting " + what).c_str());
    return 0;
}

int Send(const std::string& spelled, const std::string& file, uint32_t timeoutMs, bool drain) {
    // Any readable file, FIFO or device, streamed in bounded memory.
    int fd = file == "-" ? STDIN_FILENO : open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) Fail(fmt::format("cannot read {}: {}", file, std::strerror(errno)));
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        Fail(fmt::format("{} is a directory: give a file to send", file));
    }
    size_t total = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? static_cast<size_t>(st.st_size) : 0;
    Target t = AttachPort(spelled);
    Progress progress("send", total);
    size_t done = 0;
    std::vector<uint8_t> buf(64 * 1024);
    for (;;) {
        ssize_t n = read(fd, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) Fail(fmt::format("cannot read {}: {}", file, std::strerror(errno)));
        if (n == 0) break;
        size_t chunk = 0;
        qm::Status s = t.port->writeAll(buf.data(), static_cast<size_t>(n), timeoutMs, &chunk,
                                        [&](size_t sent) { progress.update(done + sent); },
                                        qm::Port::Drain::NoWait);
        if (s == qm::Status::Timeout) {
            progress.finish(done + chunk);
            Fail(fmt::format("{}: nothing moved for {} ms after {} bytes: {}", spelled, timeoutMs,
                             done + chunk, t.port->holdReason()));
        }
        Check(t, s, "writing");
        done += static_cast<size_t>(n);
    }
    if (fd != STDIN_FILENO) close(fd);
    progress.finish(done);
    if (drain) {
        // The bytes are in the driver: wait until they have left the port,
        // so that whatever runs next (a config, a close) cuts nothing off.
        std::string why;
        qm::Status s = t.port->drain(timeoutMs, &why);
        if (s == qm::Status::Timeout) {
            Fail(fmt::format("{}: all {} bytes handed to the driver, but they did not leave the port: {}",
                             spelled, done, why));
        }
        Check(t, s, "waiting for the bytes to leave");
    }
    return 0;
}

int Recv(const std::string& spelled, const std::string& file, long long bytes, uint32_t idleMs,
         uint32_t timeoutMs) {
    Target t = AttachPort(spelled);
    FILE* out = file == "-" ? stdout : fopen(file.c_str(), "wb");
    if (!out) Fail(fmt::format("cannot write {}", file));
    Progress progress("recv", bytes > 0 ? static_cast<size_t>(bytes) : 0);
    size_t done = 0;
    std::vector<uint8_t> buf(8192);
    auto lastData = Clock::now();
    for (;;) {
        if (bytes > 0 && done >= static_cast<size_t>(bytes)) break;
        uint32_t want = 8192;
        if (bytes > 0) want = static_cast<uint32_t>(std::min<long long>(8192, bytes - static_cast<long long>(done)));
        uint32_t got = 0;
        qm::Status s = t.port->read(buf.data(), want, 50, &got);
        if (s == qm::Status::Timeout) {
            auto quiet = Clock::now() - lastData;
            if (done > 0 && bytes <= 0 && quiet > std::chrono::milliseconds(idleMs)) break;
            if (quiet > std::chrono::milliseconds(timeoutMs)) {
                progress.finish(done);
                if (out != stdout) fclose(out);
                Fail(fmt::format("{}: timed out: {} bytes received, nothing more for {} ms", spelled,
                                 done, timeoutMs));
            }
            continue;
        }
        Check(t, s, "reading");
        if (fwrite(buf.data(), 1, got, out) != got || fflush(out) != 0) {
            Fail(fmt::format("cannot write {}: {} ({} bytes received)", file, std::strerror(errno),
                             done + got));
        }
        done += got;
        lastData = Clock::now();
        progress.update(done);
    }
    progress.finish(done);
    if (out != stdout) fclose(out);
    else fflush(stdout);
    return 0;
}

// Standard input to the port, the port to standard output, binary-safe.
int Pipe(const std::string& spelled, uint32_t idleMs) {
    Target t = AttachPort(spelled);
    uint8_t probe;
    Check(t, t.port->lineErrors(&probe), "checking the port");
    std::atomic<bool> inputDone{false};
    std::atomic<bool> failed{false};
    std::string error;
    std::thread writer([&] {
        std::vector<uint8_t> buf(8192);
        for (;;) {
            ssize_t n = read(STDIN_FILENO, buf.data(), buf.size());
            if (n <= 0) break;
            if (t.port->writeAll(buf.data(), static_cast<size_t>(n), 10000, nullptr, nullptr,
                                 qm::Port::Drain::NoWait) != qm::Status::Ok) {
                failed = true;
                break;
            }
        }
        inputDone = true;
    });
    std::vector<uint8_t> buf(8192);
    auto lastData = Clock::now();
    while (!failed) {
        uint32_t got = 0;
        qm::Status s = t.port->read(buf.data(), static_cast<uint32_t>(buf.size()), 20, &got);
        if (s == qm::Status::Ok) {
            if (write(STDOUT_FILENO, buf.data(), got) < 0) break;
            lastData = Clock::now();
        } else if (s != qm::Status::Timeout) {
            failed = true;
        } else if (inputDone && Clock::now() - lastData > std::chrono::milliseconds(idleMs)) {
            break;
        }
    }
    writer.join();
    if (failed) Fail(fmt::format("{}: the port stopped answering", spelled));
    return 0;
}

class RawTerminal {
public:
    RawTerminal() {
        active_ = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved_) == 0;
        if (!active_) return;
        termios raw = saved_;
        cfmakeraw(&raw);
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    }
    ~RawTerminal() {
        if (active_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
    }

private:
    termios saved_{};
    bool active_ = false;
};

int Term(const std::string& spelled, char escapeLetter) {
    Target t = AttachPort(spelled);
    uint8_t probe;
    Check(t, t.port->lineErrors(&probe), "checking the port");
    const uint8_t escape = static_cast<uint8_t>(escapeLetter & 0x1F);
    fmt::print(stderr, "Terminal on {}: Ctrl-{} Ctrl-X leaves, Ctrl-{} h for help\r\n",
               t.port->device(), escapeLetter, escapeLetter);
    RawTerminal raw;
    bool rts = true, dtr = true, pendingEscape = false;
    std::vector<uint8_t> buf(8192);
    auto pause = std::chrono::microseconds(200);
    for (;;) {
        pollfd pfd{STDIN_FILENO, POLLIN, 0};
        int ready = poll(&pfd, 1, 0);
        if (ready > 0 && (pfd.revents & (POLLIN | POLLHUP))) {
            uint8_t keys[256];
            ssize_t n = read(STDIN_FILENO, keys, sizeof keys);
            if (n <= 0) return 0;
            std::vector<uint8_t> out;
            for (ssize_t i = 0; i < n; ++i) {
                uint8_t k = keys[i];
                if (!pendingEscape && k == escape) {
                    pendingEscape = true;
                    continue;
                }
                if (!pendingEscape) {
                    out.push_back(k);
                    continue;
                }
                pendingEscape = false;
                switch (k) {
                    case 0x18: case 'x': case 0x11: case 'q':
                        if (!out.empty()) t.port->writeAll(out.data(), out.size(), 2000);
                        fmt::print(stderr, "\r\nLeaving {}\r\n", t.port->device());
                        return 0;
                    case 'b': case 0x02:
                        Check(t, t.port->setBreak(true), "setting break");
                        std::this_thread::sleep_for(std::chrono::milliseconds(250));
                        Check(t, t.port->setBreak(false), "clearing break");
                        fmt::print(stderr, "\r\n*** break sent\r\n");
                        break;
                    case 'd': case 0x04:
                        dtr = !dtr;
                        Check(t, t.port->setDtr(dtr), "setting DTR");
                        fmt::print(stderr, "\r\n*** DTR {}\r\n", dtr ? "on" : "off");
                        break;
                    case 'r': case 0x12:
                        rts = !rts;
                        Check(t, t.port->setRts(rts), "setting RTS");
                        fmt::print(stderr, "\r\n*** RTS {}\r\n", rts ? "on" : "off");
                        break;
                    case 'h': case 0x08:
                        fmt::print(stderr,
                                   "\r\n*** Ctrl-{0} then: Ctrl-X leave, b break, d toggle DTR, "
                                   "r toggle RTS, Ctrl-{0} send Ctrl-{0}\r\n",
                                   escapeLetter);
                        break;
                    default:
                        if (k == escape) out.push_back(k);
                        break;
                }
            }
            if (!out.empty()) {
                Check(t, t.port->writeAll(out.data(), out.size(), 2000, nullptr, nullptr,
                                          qm::Port::Drain::NoWait),
                      "writing");
            }
        }
        uint32_t got = 0;
        Check(t, t.port->readSome(buf.data(), static_cast<uint32_t>(buf.size()), &got), "reading");
        if (got) {
            ssize_t w = write(STDOUT_FILENO, buf.data(), got);
            (void)w;
            pause = std::chrono::microseconds(200);
        } else {
            // Nothing either way: back off, at most 5 ms, never spin.
            pollfd idle{STDIN_FILENO, POLLIN, 0};
            poll(&idle, 1, static_cast<int>(std::max<long>(1, pause.count() / 1000)));
            pause = std::min(pause * 2, std::chrono::microseconds(5000));
        }
    }
}

int Bench(const std::string& a, const std::string& b, double seconds, bool json) {
    Target ta = AttachPort(a), tb = AttachPort(b);
    uint8_t before[2] = {0, 0};
    Check(ta, ta.port->lineErrors(&before[0]), "checking the port");
    Check(tb, tb.port->lineErrors(&before[1]), "checking the port");
    // Drop whatever waits from before.
    for (Target* t : {&ta, &tb}) {
        uint8_t junk[8192];
        uint32_t got = 0;
        while (t->port->readSome(junk, sizeof junk, &got) == qm::Status::Ok && got) {
        }
    }
    struct Direction {
        std::string name;
        std::atomic<uint64_t> sent{0}, received{0}, gaps{0};
    };
    Direction dirs[2];
    dirs[0].name = a + " -> " + b;
    dirs[1].name = b + " -> " + a;
    std::atomic<bool> stop{false};
    auto writer = [&](qm::Port* p, Direction* d) {
        std::vector<uint8_t> buf(4096);
        uint64_t seq = 0;
        while (!stop) {
            for (auto& x : buf) x = static_cast<uint8_t>(seq++ * 7 + 3);
            seq -= buf.size();
            uint32_t taken = 0;
            if (p->writeSome(buf.data(), static_cast<uint32_t>(buf.size()), &taken) != qm::Status::Ok) break;
            seq += taken;
            d->sent += taken;
            if (!taken) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    auto reader = [&](qm::Port* p, Direction* d, std::atomic<bool>* done) {
        std::vector<uint8_t> buf(8192);
        uint64_t seq = 0;
        while (!*done) {
            uint32_t got = 0;
            if (p->read(buf.data(), static_cast<uint32_t>(buf.size()), 20, &got) == qm::Status::Ok) {
                for (uint32_t i = 0; i < got; ++i) {
                    if (buf[i] != static_cast<uint8_t>(seq * 7 + 3)) {
                        // Bytes went missing: pick the sequence up again
                        // from this byte (183 is 7's inverse mod 256).
                        d->gaps++;
                        seq = static_cast<uint8_t>((buf[i] - 3) * 183);
                    }
                    ++seq;
                }
                d->received += got;
            }
        }
    };
    std::atomic<bool> readersDone{false};
    auto start = Clock::now();
    std::thread w0(writer, ta.port.get(), &dirs[0]), w1(writer, tb.port.get(), &dirs[1]);
    std::thread r0(reader, tb.port.get(), &dirs[0], &readersDone), r1(reader, ta.port.get(), &dirs[1], &readersDone);
    // A line a second, so that a stall shows when it happens: each
    // direction's rate, the gaps so far, and how long each port's CTS was
    // off (sampled every 50 ms).
    auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    uint64_t lastReceived[2] = {0, 0};
    double ctsOffMs[2] = {0, 0};
    int second = 0;
    auto nextLine = start + std::chrono::seconds(1);
    while (Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        Target* ports[2] = {&ta, &tb};
        for (int i = 0; i < 2; ++i) {
            uint8_t msr = qm::kMsrCts;
            if (ports[i]->port->modemStatus(&msr) == qm::Status::Ok && !(msr & qm::kMsrCts)) {
                ctsOffMs[i] += 50;
            }
        }
        if (json || Clock::now() < nextLine) continue;
        ++second;
        nextLine += std::chrono::seconds(1);
        std::string text = fmt::format("{:>4} s", second);
        for (int i = 0; i < 2; ++i) {
            uint64_t now = dirs[i].received.load();
            text += fmt::format("  {}: {:6.1f} kB/s", dirs[i].name, (now - lastReceived[i]) / 1000.0);
            lastReceived[i] = now;
        }
        text += fmt::format("  gaps {}  CTS off {} ms / {} ms", dirs[0].gaps + dirs[1].gaps, ctsOffMs[0],
                            ctsOffMs[1]);
        fmt::print("{}\n", text);
        std::fflush(stdout);
    }
    stop = true;
    w0.join();
    w1.join();
    // Let what is in the rings and on the line arrive: until nothing more
    // has come for half a second (at a low rate the rings take seconds).
    auto drainStart = Clock::now();
    uint64_t seen = dirs[0].received + dirs[1].received;
    auto lastChange = Clock::now();
    while (Clock::now() - lastChange < std::chrono::milliseconds(500) &&
           Clock::now() - drainStart < std::chrono::seconds(30)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        uint64_t now = dirs[0].received + dirs[1].received;
        if (now != seen) {
            seen = now;
            lastChange = Clock::now();
        }
    }
    readersDone = true;
    r0.join();
    r1.join();
    // Over the time until the last byte came: the bytes still in the rings
    // when the writers stopped count at the rate the line carried them.
    double secs = std::chrono::duration<double>(lastChange - start).count();
    uint8_t after[2] = {0, 0};
    Check(ta, ta.port->lineErrors(&after[0]), "reading the line errors");
    Check(tb, tb.port->lineErrors(&after[1]), "reading the line errors");
    if (json) {
        std::string out = "{\"seconds\": " + fmt::format("{:.3f}", secs) + ", \"directions\": [";
        for (int i = 0; i < 2; ++i) {
            const auto& d = dirs[i];
            uint64_t lost = d.sent > d.received ? d.sent - d.received : 0;
            out += fmt::format(
                "{}{{\"from\": \"{}\", \"to\": \"{}\", \"sent\": {}, \"received\": {}, "
                "\"lost\": {}, \"gaps\": {}, \"kB_per_s\": {:.2f}, \"cts_off_ms\": {}}}",
                i ? ", " : "", i ? b : a, i ? a : b, d.sent.load(), d.received.load(), lost,
                d.gaps.load(), d.received / secs / 1000.0, ctsOffMs[i]);
        }
        out += fmt::format("], \"line_errors\": {{\"{}\": \"{}\", \"{}\": \"{}\"}}}}", a,
                           qm::DescribeLineErrors(after[0]), b, qm::DescribeLineErrors(after[1]));
        fmt::print("{}\n", out);
        return 0;
    }
    for (auto& d : dirs) {
        uint64_t lost = d.sent > d.received ? d.sent - d.received : 0;
        fmt::print("{}: {} bytes in {:.1f} s = {:.1f} kB/s, lost {} (in {} gaps)\n", d.name,
                   d.received.load(), secs, d.received / secs / 1000.0, lost, d.gaps.load());
    }
    fmt::print("line errors: {} {}, {} {}\n", a, qm::DescribeLineErrors(after[0]), b,
               qm::DescribeLineErrors(after[1]));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"quillmar: use the serial ports a running quillmard serves"};
    app.require_subcommand(1);
    app.footer(
        "\nPORT is a device path (\\RtDevice\\Quillmar\\Serial3) or its number (3).\n"
        "Every subcommand takes --namespace to reach a quillmard started with one.\n"
        "Examples:\n"
        "  quillmar list\n"
        "  quillmar config 0 115200,8N1 --rtscts\n"
        "  quillmar send 0 firmware.bin & quillmar recv 1 copy.bin --bytes 1048576\n"
        "  quillmar term 6\n");
    app.add_option("--namespace", g_namespace, "the namespace quillmard was started with")
        ->capture_default_str();
    app.fallthrough();

    std::string port, portB, settings, file, state, xon, xoff;
    bool rtscts = false, xonxoff = false, dtr = false, raw = false;
    long long bytes = 0;
    uint32_t idle = 2000, timeout = 10000;
    double seconds = 5;
    std::string escape = "A";

    auto* list = app.add_subcommand("list", "the ports a running driver serves");
    list->footer("\nExample: quillmar list --namespace test1");

    auto* watch = app.add_subcommand("watch", "show a port's modem lines, line errors and bytes waiting as they change");
    watch->add_option("PORT", port, "port")->required();
    double watchSeconds = 0;
    watch->add_option("--seconds", watchSeconds, "stop after this long (default: until Ctrl-C)");
    watch->footer("\nExamples:\n  quillmar watch 0                 (Ctrl-C ends it)\n"
                  "  quillmar watch 0 --seconds 5 > lines.log");

    auto* config = app.add_subcommand("config", "open a port and apply line settings");
    config->add_option("PORT", port, "port")->required();
    config->add_option("SETTINGS", settings, "RATE[,DPS], e.g. 115200,8N1 or 9600,7E2")->required();
    config->add_flag("--rtscts", rtscts, "hardware flow control (automatic RTS and CTS)");
    config->add_flag("--xonxoff", xonxoff, "in-UART XON/XOFF flow control both ways");
    config->add_flag("--dtr", dtr, "set the DTR handshake bit of the settings record");
    bool lowerDtr = false, lowerRts = false;
    config->add_flag("--lower-dtr", lowerDtr, "leave DTR off (opening raises DTR and RTS, as a Linux tty does)");
    config->add_flag("--lower-rts", lowerRts, "leave RTS off");
    config->add_option("--xon", xon, "XON character (default 0x11)");
    config->add_option("--xoff", xoff, "XOFF character (default 0x13)");
    config->footer("\nExamples:\n  quillmar config 0 115200,8N1\n  quillmar config 3 921600,8N1 --rtscts --dtr\n  quillmar config 2 9600,7E1 --xonxoff");

    auto* status = app.add_subcommand("status", "modem lines, line errors and bytes waiting");
    status->add_option("PORT", port, "port")->required();
    status->add_flag("--lsr", raw, "also read the raw line status register (clears its error bits)");
    status->footer("\nExample: quillmar status 1");

    CLI::App* lines[3];
    const char* names[3] = {"rts", "dtr", "break"};
    for (int i = 0; i < 3; ++i) {
        lines[i] = app.add_subcommand(names[i], fmt::format("set or clear {}", names[i]));
        lines[i]->add_option("PORT", port, "port")->required();
        lines[i]->add_option("STATE", state, "on or off")->required()->check(CLI::IsMember({"on", "off"}));
        lines[i]->footer(fmt::format("\nExample: quillmar {} 0 on", names[i]));
    }

    auto* send = app.add_subcommand("send", "send a file through a port");
    send->add_option("PORT", port, "port")->required();
    send->add_option("FILE", file, "file to send")->required();
    send->add_option("--timeout", timeout, "give up after this many ms without progress")->capture_default_str();
    bool noDrain = false;
    send->add_flag("--no-drain", noDrain,
                   "return once the driver holds every byte, not once they have left the port");
    send->footer("\nExamples:\n  quillmar send 0 image.bin\n  some-program | quillmar send 0 -");

    auto* recv = app.add_subcommand("recv", "receive from a port into a file");
    recv->add_option("PORT", port, "port")->required();
    recv->add_option("FILE", file, "file to write, - for standard output")->required();
    auto* bytesOpt = recv->add_option("--bytes", bytes, "stop after this many bytes");
    recv->add_option("--idle", idle, "stop after this many ms of silence once data came")
        ->capture_default_str()->excludes(bytesOpt);
    recv->add_option("--timeout", timeout, "give up after this many ms with nothing")->capture_default_str();
    recv->footer("\nExamples:\n  quillmar recv 1 copy.bin --bytes 1048576\n  quillmar recv 1 - --idle 500 | hexdump -C");

    auto* term = app.add_subcommand("term", "interactive terminal on a port");
    term->add_option("PORT", port, "port")->required();
    term->add_option("--escape", escape, "escape key letter (Ctrl-letter)")->capture_default_str();
    term->footer("\nCtrl-A Ctrl-X leaves; Ctrl-A b sends a break, d and r toggle DTR and RTS.\nExample: quillmar term 6");

    auto* pipe = app.add_subcommand("pipe", "standard input to a port, the port to standard output");
    pipe->add_option("PORT", port, "port")->required();
    pipe->add_option("--idle", idle, "after input ends, stop after this many ms of silence")->capture_default_str();
    pipe->footer("\nExample: printf 'AT\\r' | quillmar pipe 0 | od -c");

    auto* bench = app.add_subcommand("bench", "stream both ways between two ports and report");
    bench->add_option("PORT_A", port, "first port")->required();
    bench->add_option("PORT_B", portB, "second port")->required();
    bench->add_option("--seconds", seconds, "how long to stream")->capture_default_str();
    bool json = false;
    bench->add_flag("--json", json, "one JSON object at the end instead of the lines");
    bench->footer("\nExample: quillmar bench 0 1 --seconds 10");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }
    try {
        std::string why;
        if (!names::ValidNamespace(g_namespace, &why)) Fail("--namespace: " + why);
        if (bench->parsed() && !(std::isfinite(seconds) && seconds > 0 && seconds <= 86400)) {
            Fail(fmt::format("--seconds {}: give a number of seconds above 0 and at most 86400",
                             seconds));
        }
        if (list->parsed()) return List();
        if (config->parsed()) {
            return Config(port, settings, rtscts, xonxoff, dtr, xon, xoff, lowerDtr, lowerRts);
        }
        if (watch->parsed()) {
            if (!(std::isfinite(watchSeconds) && watchSeconds >= 0)) {
                Fail(fmt::format("--seconds {}: give a number of seconds, 0 for no end", watchSeconds));
            }
            return Watch(port, watchSeconds);
        }
        if (status->parsed()) return StatusCmd(port, raw);
        for (int i = 0; i < 3; ++i) {
            if (lines[i]->parsed()) return Line(names[i], port, state);
        }
        if (send->parsed()) return Send(port, file, timeout, !noDrain);
        if (recv->parsed()) return Recv(port, file, bytes, idle, timeout);
        if (term->parsed()) {
            if (escape.size() != 1 || !isalpha(static_cast<unsigned char>(escape[0]))) {
                Fail("--escape takes one letter");
            }
            return Term(port, static_cast<char>(toupper(escape[0])));
        }
        if (pipe->parsed()) return Pipe(port, idle);
        if (bench->parsed()) return Bench(port, portB, seconds, json);
    } catch (const Failure& f) {
        fmt::print(stderr, "quillmar: {}\n", f.message);
        return 1;
    }
    return 0;
}
