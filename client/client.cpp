#include "client/client.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/names.h"

namespace qm {

namespace {

// Request block offsets and command codes of the protocol.
constexpr uint32_t kCommand = 16, kPortNumber = 20, kLength = 28, kResultCount = 32, kStatus = 36,
                   kData = 40, kHeader = 44;
enum : uint32_t {
    kOpen = 1, kClose = 2, kRead = 3, kWrite = 4, kSetLineSettings = 6, kSetRts = 7, kClearRts = 8,
    kSetDtr = 9, kClearDtr = 10, kGetModemStatus = 11, kGetLineStatus = 12, kGetModemControl = 13,
    kSetBreak = 14, kClearBreak = 15, kGetLineErrors = 16, kGetRxCount = 17,
};
// The status the driver gives a request on a channel no command 1 has bound.
constexpr uint32_t kStatusInvalid = 87;
constexpr uint32_t kDataCapacityOffset = 0;
// The largest data area a client accepts from a block.
constexpr uint32_t kMaxDataCapacity = 1u << 20;
// A byte of the block's reserved area that the server never reads or
// writes: clients mark in it that the last request's reply never came, so
// whoever takes the block next drops that late reply instead of taking it
// for its own.
constexpr uint32_t kReplyOwed = 9;
// How long a client waits for a reply still owed to an earlier request.
constexpr uint32_t kOwedReplyWaitMs = 500;

void Put32(volatile uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t Get32(const volatile uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool AnyDriverObjects(const std::string& ns) {
    std::string directory = names::NamespaceDirectory(ns);
    DIR* dir = opendir(directory.c_str());
    if (!dir) return false;
    bool found = false;
    while (dirent* e = readdir(dir)) {
        std::string n = e->d_name;
        // Leftovers of a driver that died do not count as a running one.
        if (n.size() > 3 && n.compare(n.size() - 3, 3, ".sm") == 0 &&
            ipc::IsLiveFile(directory + "/" + n)) {
            found = true;
            break;
        }
    }
    closedir(dir);
    return found;
}

std::string OwnerOf(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return "another user";
    passwd pw, *found = nullptr;
    char buffer[1024];
    if (getpwuid_r(st.st_uid, &pw, buffer, sizeof buffer, &found) == 0 && found) {
        return "user " + std::string(pw.pw_name);
    }
    return "uid " + std::to_string(st.st_uid);
}

}  // namespace

void LineSettings::toBytes(uint8_t out[16]) const {
    std::memset(out, 0, 16);
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(static_cast<uint32_t>(baudRate) >> (8 * i));
    out[4] = static_cast<uint8_t>(parity);
    out[5] = stopBits;
    out[6] = dataBits;
    for (int i = 0; i < 4; ++i) out[8 + i] = static_cast<uint8_t>(softwareFlow >> (8 * i));
    out[12] = xoffChar;
    out[13] = xonChar;
    out[14] = handshake;
}

const char* StatusText(Status s) {
    switch (s) {
        case Status::Ok: return "ok";
        case Status::NoDriver: return "no driver is running (start quillmard)";
        case Status::NoSuchPort: return "no such port";
        case Status::NotConfigured: return "not configured";
        case Status::Timeout: return "timed out";
        case Status::Refused: return "refused by the driver";
        case Status::NoReply: return "the driver did not answer in time (is quillmard stopped or frozen?)";
        case Status::Busy: return "another client keeps the port busy";
        case Status::Restarted: return "the driver restarted (attach to the port again)";
        case Status::PermissionDenied: return "permission denied";
        case Status::Damaged: return "the port's shared objects were damaged (restart quillmard to serve it again)";
    }
    return "?";
}

std::string DescribeLineErrors(uint8_t bits) {
    std::string out;
    auto add = [&](uint8_t bit, const char* word) {
        if (bits & bit) out += (out.empty() ? "" : " ") + std::string(word);
    };
    add(kLsrOverrun, "overrun");
    add(kLsrParity, "parity");
    add(kLsrFraming, "framing");
    add(kLsrBreak, "break");
    add(kLsrFifoError, "fifo-error");
    return out.empty() ? "none" : out;
}

bool CanEnterNamespace(const std::string& ns, std::string* why) {
    std::string directory = names::NamespaceDirectory(ns);
    if (access(directory.c_str(), R_OK | X_OK) == 0 || errno == ENOENT) return true;
    if (why) {
        *why = "permission denied: namespace '" + ns + "' (" + directory + ") belongs to " +
               OwnerOf(directory) +
               "; its quillmard must be started with --access group:GROUP or --access all to let "
               "you in";
    }
    return false;
}

std::string Port::DevicePath(const std::string& port) {
    if (!port.empty() && port[0] == '\\') return port;
    std::string number = port;
    if (number.rfind("Serial", 0) == 0) number = number.substr(6);
    return "\\RtDevice\\Quillmar\\Serial" + number;
}

std::unique_ptr<Port> Port::Attach(const std::string& port, const std::string& ns,
                                   Status* status, std::string* why) {
    std::unique_ptr<Port> p(new Port);
    p->ns_ = ns;
    p->device_ = DevicePath(port);
    auto fail = [&](Status s, const std::string& text) {
        *status = s;
        if (why) *why = text;
        return nullptr;
    };
    std::string directory = names::NamespaceDirectory(ns);
    std::string denied;
    if (!CanEnterNamespace(ns, &denied)) return fail(Status::PermissionDenied, denied);
    ipc::Status st = ipc::Open(ns, p->device_ + ".sm", ipc::Kind::Section, &p->section_);
    if (st == ipc::Status::Denied) {
        return fail(Status::PermissionDenied,
                    "permission denied: " + p->device_ + " in namespace '" + ns + "' belongs to " +
                        OwnerOf(names::HostObjectPath(ns, p->device_ + ".sm")));
    }
    if (st != ipc::Status::Ok || !ipc::IsLive(ns, p->device_ + ".sm")) {
        if (AnyDriverObjects(ns)) return fail(Status::NoSuchPort, p->device_ + ": no such port");
        return fail(Status::NoDriver, "no driver is running in namespace '" + ns + "' (start quillmard)");
    }
    // The block's size is checked against what it says of itself before
    // anything is written: a short section would be written past its end.
    uint32_t capacity = Get32(static_cast<volatile uint8_t*>(p->section_.payload) + kDataCapacityOffset);
    if (p->section_.payloadSize < kHeader || capacity < 16 || capacity > kMaxDataCapacity ||
        p->section_.payloadSize != static_cast<size_t>(capacity) + kHeader) {
        return fail(Status::Damaged,
                    p->device_ + ": its request block is " + std::to_string(p->section_.payloadSize) +
                        " bytes for a data area of " + std::to_string(capacity) +
                        ": damaged, or not a block of this driver (restart quillmard)");
    }
    p->dataCapacity_ = capacity;
    if (ipc::Open(ns, p->device_ + ".s1", ipc::Kind::Semaphore, &p->request_) != ipc::Status::Ok ||
        ipc::Open(ns, p->device_ + ".s2", ipc::Kind::Semaphore, &p->reply_) != ipc::Status::Ok ||
        ipc::Open(ns, p->device_, ipc::Kind::Mutex, &p->mutex_) != ipc::Status::Ok) {
        return fail(Status::Damaged, p->device_ +
                                         ": the port's objects are incomplete or damaged (restart "
                                         "quillmard to serve it again)");
    }
    *status = Status::Ok;
    return p;
}

Port::~Port() {
    ipc::Close(&mutex_);
    ipc::Close(&reply_);
    ipc::Close(&request_);
    ipc::Close(&section_);
}

// Why the driver stopped answering: gone, replaced by a new one, or still
// there (then `whenStillThere`).
Status Port::lost(Status whenStillThere) {
    if (!intact()) return Status::Damaged;
    if (!ipc::StillNamed(&section_)) {
        return ipc::IsLive(ns_, device_ + ".sm") ? Status::Restarted : Status::NoDriver;
    }
    return ipc::IsLive(ns_, device_ + ".sm") ? whenStillThere : Status::NoDriver;
}

// The objects still have the size they had at attach: a file cut short
// under a mapping would fault on the next access.
bool Port::intact() const {
    for (const ipc::Object* o : {&section_, &request_, &reply_, &mutex_}) {
        if (ipc::Damaged(o)) return false;
        struct stat st;
        if (fstat(o->fd, &st) != 0 || static_cast<size_t>(st.st_size) < o->mappingSize) return false;
    }
    return true;
}

Status Port::transact(uint32_t command, uint32_t length, const uint8_t* in, size_t inSize,
                      uint8_t* out, size_t outSize, uint32_t* resultCount) {
    auto* block = static_cast<volatile uint8_t*>(section_.payload);
    if (!intact()) return Status::Damaged;
    ipc::WaitResult w = ipc::MutexWait(&mutex_, requestTimeoutMs_);
    if (w == ipc::WaitResult::Timeout || w == ipc::WaitResult::Failed) return lost(Status::Busy);
    // A reply still owed to an earlier request (whose client died, or gave
    // up waiting) must not be taken for ours: let it arrive first.
    if (w == ipc::WaitResult::Abandoned || block[kReplyOwed] != 0) {
        ipc::SemaphoreWait(&reply_, kOwedReplyWaitMs);
        block[kReplyOwed] = 0;
    }
    // A reply signalled out of turn would answer our request with stale
    // results: drop any before asking.
    while (ipc::SemaphoreWait(&reply_, 0) == ipc::WaitResult::Signaled) {
    }
    Put32(block + kCommand, command);
    Put32(block + kLength, length);
    for (size_t i = 0; i < inSize; ++i) block[kData + i] = in[i];
    ipc::SemaphoreRelease(&request_, 1, nullptr);
    if (ipc::SemaphoreWait(&reply_, requestTimeoutMs_) != ipc::WaitResult::Signaled) {
        block[kReplyOwed] = 1;
        ipc::MutexRelease(&mutex_);
        return lost(Status::NoReply);
    }
    if (!intact()) {
        ipc::MutexRelease(&mutex_);
        return Status::Damaged;
    }
    uint32_t status = Get32(block + kStatus);
    uint32_t count = Get32(block + kResultCount);
    if (resultCount) *resultCount = count;
    // A read returns as many bytes as it reports, never more than asked.
    if (command == kRead) outSize = std::min<size_t>(outSize, count);
    outSize = std::min<size_t>(outSize, dataCapacity_);
    for (size_t i = 0; i < outSize; ++i) out[i] = block[kData + i];
    ipc::MutexRelease(&mutex_);
    if (status == kStatusInvalid && command != kOpen) return Status::NotConfigured;
    return status == 0 ? Status::Ok : Status::Refused;
}

Status Port::simple(uint32_t command) {
    return transact(command, 0, nullptr, 0, nullptr, 0, nullptr);
}

Status Port::query(uint32_t command, uint8_t* byte) {
    return transact(command, 0, nullptr, 0, byte, 1, nullptr);
}

Status Port::open() { return simple(kOpen); }
Status Port::close() { return simple(kClose); }
Status Port::setRts(bool on) { return simple(on ? kSetRts : kClearRts); }
Status Port::setDtr(bool on) { return simple(on ? kSetDtr : kClearDtr); }
Status Port::setBreak(bool on) {
    if (on) return simple(kSetBreak);
    // The driver declines to clear a break while its transmitter is busy
    // (and says nothing): clear once the transmitter has emptied, and once
    // more after it was seen empty again, so the line is never left at space.
    for (int round = 0; round < 2; ++round) {
        Status s = drain(2000);
        if (s != Status::Ok && s != Status::Timeout) return s;
        s = simple(kClearBreak);
        if (s != Status::Ok) return s;
    }
    return Status::Ok;
}
Status Port::modemStatus(uint8_t* msr) { return query(kGetModemStatus, msr); }
Status Port::lineStatus(uint8_t* lsr) { return query(kGetLineStatus, lsr); }
Status Port::modemControl(uint8_t* mcr) { return query(kGetModemControl, mcr); }
Status Port::lineErrors(uint8_t* bits) { return query(kGetLineErrors, bits); }

Status Port::rxCount(uint32_t* count) {
    uint8_t b[4];
    Status s = transact(kGetRxCount, 0, nullptr, 0, b, 4, nullptr);
    if (s == Status::Ok) *count = Get32(b);
    return s;
}

Status Port::setLineSettings(const LineSettings& settings, bool* accepted) {
    uint8_t record[16];
    settings.toBytes(record);
    uint32_t result = 0;
    Status s = transact(kSetLineSettings, 16, record, 16, nullptr, 0, &result);
    if (accepted) *accepted = s == Status::Ok && result == 1;
    return s;
}

Status Port::readSome(uint8_t* buffer, uint32_t max, uint32_t* got) {
    *got = 0;
    max = std::min(max, dataCapacity_);
    // Little came last time: give the line a millisecond to bring more
    // (the receive ring lasts 89 ms even at 921600 bit/s).
    if (lastReadBytes_ < 512) {
        auto next = lastRead_ + std::chrono::milliseconds(1);
        auto now = std::chrono::steady_clock::now();
        if (now < next) std::this_thread::sleep_for(next - now);
    }
    uint32_t count = 0;
    // The bytes are copied out under the mutex, inside transact.
    Status s = transact(kRead, max, nullptr, 0, buffer, max, &count);
    lastRead_ = std::chrono::steady_clock::now();
    if (s != Status::Ok) return s;
    *got = std::min(count, max);
    lastReadBytes_ = *got;
    return s;
}

Status Port::read(uint8_t* buffer, uint32_t max, uint32_t timeoutMs, uint32_t* got) {
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    auto pause = std::chrono::microseconds(100);
    *got = 0;
    max = std::min(max, dataCapacity_);
    for (;;) {
        uint32_t count = 0;
        Status s = readSome(buffer, max, &count);
        if (s != Status::Ok) return s;
        if (count > 0) {
            *got = count;
            return Status::Ok;
        }
        if (Clock::now() >= deadline) return Status::Timeout;
        // Never spin: readSome paces empty reads at 1 ms; a longer quiet
        // line backs off further, to at most 3 ms more.
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(3000));
    }
}

Status Port::writeSome(const uint8_t* data, uint32_t size, uint32_t* taken) {
    size = std::min(size, dataCapacity_);
    return transact(kWrite, size, data, size, nullptr, 0, taken);
}

std::string Port::holdReason() {
    uint8_t msr = 0;
    if (modemStatus(&msr) == Status::Ok && (msr & kMsrCts) == 0) {
        return "CTS is off: the far end is not taking data (RTS/CTS flow control holds the port)";
    }
    return "the port's transmitter is not draining (flow control held, XOFF received, or the line stopped)";
}

Status Port::drain(uint32_t timeoutMs, std::string* why) {
    using Clock = std::chrono::steady_clock;
    // Whatever the rate, the ring and the FIFO empty within this at 50 bit/s.
    const auto cap = std::chrono::seconds(1800);
    auto start = Clock::now();
    auto ctsOnLast = start;
    int emptyPolls = 0;
    for (;;) {
        uint8_t lsr = 0;
        Status s = lineStatus(&lsr);
        if (s != Status::Ok) return s;
        // TEMT alone can show between two refills of the FIFO: empty is
        // when it stays so for a few polls, longer than any refill takes.
        if (lsr & kLsrTxEmpty) {
            if (++emptyPolls >= 3) return Status::Ok;
        } else {
            emptyPolls = 0;
        }
        auto now = Clock::now();
        uint8_t msr = kMsrCts;
        if (emptyPolls == 0 && modemStatus(&msr) == Status::Ok && (msr & kMsrCts)) ctsOnLast = now;
        if (now - ctsOnLast > std::chrono::milliseconds(timeoutMs) || now - start > cap) {
            if (why) *why = holdReason();
            return Status::Timeout;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(emptyPolls ? 2 : 1));
    }
}

Status Port::writeAll(const uint8_t* data, size_t size, uint32_t timeoutMs, size_t* written,
                      const std::function<void(size_t)>& progress, Drain drainMode) {
    using Clock = std::chrono::steady_clock;
    size_t done = 0;
    auto lastProgress = Clock::now();
    auto pause = std::chrono::microseconds(100);
    while (done < size) {
        uint32_t taken = 0;
        Status s = writeSome(data + done, static_cast<uint32_t>(std::min<size_t>(size - done, dataCapacity_)), &taken);
        if (written) *written = done;
        if (s != Status::Ok) return s;
        if (taken > 0) {
            done += taken;
            if (progress) progress(done);
            lastProgress = Clock::now();
            pause = std::chrono::microseconds(100);
            continue;
        }
        if (Clock::now() - lastProgress > std::chrono::milliseconds(timeoutMs)) return Status::Timeout;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(2000));
    }
    if (written) *written = done;
    return drainMode == Drain::Wait ? drain(timeoutMs) : Status::Ok;
}

}  // namespace qm
