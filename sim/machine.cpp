#include "sim/machine.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "sim/lines.h"

namespace sim {

namespace {

// Window offsets.
constexpr uint32_t kBridgeLocalBase = 0x14;
constexpr uint32_t kBridgeGate = 0xC0;
constexpr uint32_t kUartStatus = 0x4C;  // read: interrupt status; write: enable mirror
constexpr uint32_t kUartOptions = 0x74;
constexpr uint32_t kLocal6C = 0x6C;
constexpr uint32_t kLocal70 = 0x70;

// Bus addresses of board k's windows: bridge, UARTs, local registers.
constexpr uint32_t kFirstWindow = 0x1000;
constexpr uint32_t kBoardStride = 0x400;

void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

ModelHardware HardwareOfModel(int model) {
    // What is fitted on each model of the family: UART count, kind, clock.
    static const ModelHardware kModels[17] = {
        {8, 4, 14745600},                                          // (unknown model)
        {8, 3, 22118400}, {4, 3, 22118400}, {2, 3, 22118400},      // 1-3
        {8, 4, 14745600}, {8, 4, 14745600}, {4, 4, 14745600},      // 4-6
        {4, 4, 14745600}, {2, 5, 14745600}, {8, 4, 14745600},      // 7-9
        {8, 4, 14745600}, {8, 4, 14745600}, {2, 4, 20000000},      // 10-12
        {2, 5, 14745600}, {8, 4, 14745600}, {8, 4, 19692800},      // 13-15
        {8, 4, 16240000},                                          // 16
    };
    return (model >= 1 && model <= 16) ? kModels[model] : kModels[0];
}

uint8_t Board::status() const {
    uint8_t s = 0;
    for (size_t n = 0; n < uarts.size(); ++n) {
        if ((gate >> n) & 1 && uarts[n]->irq()) s |= static_cast<uint8_t>(1u << n);
    }
    return s;
}

Machine::Machine(MachineOptions options)
    : options_(options), epoch_(std::chrono::steady_clock::now()) {
    buses_.resize(1);
    io_ = std::make_unique<IoThread>(this);
}

Machine::~Machine() {
    stop();
    io_.reset();
    backends_.clear();
}

IoThread& Machine::io() { return *io_; }

void Machine::addBuses(uint32_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (buses_.size() < count) buses_.resize(count);
}

Machine::Function& Machine::functionAt(uint32_t bus, uint32_t device, uint32_t function) {
    if (buses_.size() <= bus) buses_.resize(bus + 1);
    auto& slot = buses_[bus][device & 31][function & 7];
    if (!slot) slot.emplace();
    return *slot;
}

void Machine::addFunction(uint32_t bus, uint32_t device, uint32_t function, uint16_t vendorId,
                          uint16_t deviceId, uint16_t subsystemVendorId, uint16_t subsystemId,
                          uint8_t interruptLine) {
    std::lock_guard<std::mutex> lock(mutex_);
    Function& f = functionAt(bus, device, function);
    f.config.fill(0);
    Put16(&f.config[0x00], vendorId);
    Put16(&f.config[0x02], deviceId);
    Put16(&f.config[0x2C], subsystemVendorId);
    Put16(&f.config[0x2E], subsystemId);
    f.config[0x3C] = interruptLine;
    f.config[0x3D] = 1;  // INTA#
}

int Machine::addBoard(const BoardConfig& config) {
    auto b = std::make_unique<Board>();
    b->config = config;
    b->hw = HardwareOfModel(config.model);
    int index = static_cast<int>(boards_.size());
    uint32_t busBase = kFirstWindow + kBoardStride * static_cast<uint32_t>(index);
    b->bridgeBase = busBase + options_.translationOffset;
    b->uartBase = busBase + 0x100 + options_.translationOffset;
    b->localBase = busBase + 0x200 + options_.translationOffset;
    for (int n = 0; n < b->hw.ports; ++n) {
        b->uarts.push_back(std::make_unique<Uart>(b->hw.kind, b->hw.clockHz));
        b->uarts.back()->setFastMode(options_.fast);
    }
    addFunction(config.bus, config.device, config.function, config.vendorId, config.deviceId,
                config.subsystemVendorId, static_cast<uint16_t>(config.model),
                static_cast<uint8_t>(config.irq));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Function& f = functionAt(config.bus, config.device, config.function);
        Put32(&f.config[0x10], busBase | 1);            // BAR0: bridge window, I/O
        Put32(&f.config[0x14], (busBase + 0x100) | 1);  // BAR1: UARTs, I/O
        uint32_t line = config.irq & 0xFF;
        if (std::find(irqInUse_.begin(), irqInUse_.end(), line) == irqInUse_.end()) irqInUse_.push_back(line);
        boards_.push_back(std::move(b));
        wired_.emplace_back(boards_.back()->uarts.size(), false);
        farEnd_.emplace_back(boards_.back()->uarts.size(), nullptr);
        lineNames_.emplace_back(boards_.back()->uarts.size(), "none");
        for (size_t n = 0; n < boards_.back()->uarts.size(); ++n) {
            auto& u = boards_.back()->uarts[n];
            u->setIndex(all_.size());
            all_.push_back(u.get());
            boardOf_.push_back(boards_.back().get());
            bitOf_.push_back(static_cast<uint8_t>(1u << n));
            next_.push_back(kNever);
            sig_.push_back(kNever);
            u->setHoldPolicy(!options_.strictTime);
            addBackendLocked(MakeNoLine(u.get(), 0));
        }
        refreshAllLocked();
    }
    return index;
}

std::string Machine::wire(int board, int port, const std::string& what) {
    auto valid = [&](int b, int p) {
        return b >= 0 && static_cast<size_t>(b) < boards_.size() && p >= 0 &&
               static_cast<size_t>(p) < boards_[static_cast<size_t>(b)]->uarts.size();
    };
    auto name = [](int b, int p) { return std::to_string(b) + "." + std::to_string(p); };
    if (!valid(board, port)) return "there is no port " + name(board, port);
    std::lock_guard<std::mutex> lock(mutex_);
    auto& w = wired_[static_cast<size_t>(board)];
    if (w[static_cast<size_t>(port)]) return "port " + name(board, port) + " is wired twice";
    Uart* u = &uart(board, port);
    uint64_t t = now();
    std::unique_ptr<Backend> backend;
    if (what == "none") {
        backend = MakeNoLine(u, t);
    } else if (what == "loopback") {
        backend = MakeLoopback(u, t);
    } else if (what.rfind("null-modem:", 0) == 0) {
        std::string peer = what.substr(11);
        int pb = -1, pp = -1;
        if (sscanf(peer.c_str(), "%d.%d", &pb, &pp) != 2 || !valid(pb, pp)) {
            return "there is no port " + peer + " to connect to";
        }
        if (pb == board && pp == port) return "a null-modem cable needs two different ports";
        if (wired_[static_cast<size_t>(pb)][static_cast<size_t>(pp)]) {
            return "port " + peer + " is wired twice";
        }
        backend = MakeNullModem(u, &uart(pb, pp), name(board, port), peer, t);
        wired_[static_cast<size_t>(pb)][static_cast<size_t>(pp)] = true;
        lineNames_[static_cast<size_t>(pb)][static_cast<size_t>(pp)] =
            "null-modem:" + name(board, port);
    } else {
        std::string error;
        backend = MakeFdLine(this, u, what, t, &error);
        if (!backend) return error;
    }
    w[static_cast<size_t>(port)] = true;
    lineNames_[static_cast<size_t>(board)][static_cast<size_t>(port)] = backend->describe();
    if (what.rfind("null-modem:", 0) == 0) {
        lineNames_[static_cast<size_t>(board)][static_cast<size_t>(port)] = what;
    }
    farEnd_[static_cast<size_t>(board)][static_cast<size_t>(port)] = backend.get();
    addBackendLocked(std::move(backend));
    refreshAllLocked();
    return "";
}

uint64_t Machine::inputHolds(int board, int port) {
    std::lock_guard<std::mutex> lock(mutex_);
    return uart(board, port).inputHolds();
}

uint64_t Machine::droppedAtFarEnd(int board, int port) {
    std::lock_guard<std::mutex> lock(mutex_);
    Backend* b = farEnd_.at(static_cast<size_t>(board)).at(static_cast<size_t>(port));
    return b ? b->dropped() : 0;
}

namespace {

// A source of line trouble at a fixed period, as a noisy cable gives.
class Injector : public Backend {
public:
    Injector(Uart* u, int kind, uint64_t periodNs, uint64_t now)
        : u_(u), kind_(kind), period_(periodNs), next_(now + periodNs) {}
    uint64_t nextEvent() const override { return next_; }
    bool step(uint64_t now) override {
        if (next_ > now) return false;
        u_->injectReceived(next_, kind_ == 2 ? 0x00 : 0x55, kind_ == 0, kind_ >= 1, kind_ == 2);
        next_ += period_;
        return true;
    }
    std::string describe() const override { return "injector"; }
    bool hasEvents() const override { return true; }

private:
    Uart* u_;
    int kind_;  // 0 parity, 1 framing, 2 break
    uint64_t period_, next_;
};

}  // namespace

std::string Machine::injectEvery(int board, int port, const std::string& kind, uint32_t periodMs) {
    if (board < 0 || static_cast<size_t>(board) >= boards_.size() || port < 0 ||
        static_cast<size_t>(port) >= boards_[static_cast<size_t>(board)]->uarts.size()) {
        return "there is no port " + std::to_string(board) + "." + std::to_string(port);
    }
    int k = kind == "parity" ? 0 : kind == "framing" ? 1 : kind == "break" ? 2 : -1;
    if (k < 0) return "unknown kind '" + kind + "' (parity, framing, break)";
    if (periodMs == 0) return "the period must be at least 1 ms";
    std::lock_guard<std::mutex> lock(mutex_);
    addBackendLocked(std::make_unique<Injector>(&uart(board, port), k, periodMs * 1000000ull, now()));
    return "";
}

std::string Machine::describeLine(int board, int port) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lineNames_.at(static_cast<size_t>(board)).at(static_cast<size_t>(port));
}

uint64_t Machine::clockNow() const {
    if (options_.manualClock) return manualNow_.load();
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now() - epoch_)
                                     .count());
}

uint64_t Machine::now() const { return clockNow(); }

void Machine::addBackendLocked(std::unique_ptr<Backend> backend) {
    if (backend->hasEvents()) eventBackends_.push_back(backend.get());
    backends_.push_back(std::move(backend));
}

void Machine::refreshLocked(const Uart* u) {
    if (!u) return;
    size_t i = u->index();
    Board* board = boardOf_[i];
    all_[i]->setInterruptRouted((board->gate & bitOf_[i]) != 0 && !irqMasked_[board->config.irq & 0xFF]);
    next_[i] = u->nextEvent();
    sig_[i] = u->nextSignificant();
    Board* b = boardOf_[i];
    b->pending = u->irq() ? static_cast<uint8_t>(b->pending | bitOf_[i])
                          : static_cast<uint8_t>(b->pending & ~bitOf_[i]);
}

// A UART changed: so may the one it sends to and the one feeding it.
void Machine::touchLocked(const Uart* u) {
    refreshLocked(u);
    refreshLocked(u->receiver());
    refreshLocked(u->feeder());
}

void Machine::refreshAllLocked() {
    for (const Uart* u : all_) refreshLocked(u);
    dirtyAll_ = false;
}

uint64_t Machine::nextEventLocked() const {
    uint64_t t = kNever;
    for (uint64_t n : next_) t = std::min(t, n);
    for (const Backend* be : eventBackends_) t = std::min(t, be->nextEvent());
    return t;
}

// Runs every event due by `now` across all UARTs and backends in time
// order, so a character reaches the far UART at the moment it was sent.
void Machine::settleLocked(uint64_t now) {
    if (dirtyAll_) refreshAllLocked();
    if (now < cachedNext_ && !options_.fast) return;
    for (int guard = 0; guard < 1000000; ++guard) {
        uint64_t best = kNever;
        size_t bu = all_.size();
        Backend* bb = nullptr;
        for (size_t i = 0; i < next_.size(); ++i) {
            if (next_[i] < best) {
                best = next_[i];
                bu = i;
            }
        }
        for (Backend* be : eventBackends_) {
            uint64_t t = be->nextEvent();
            if (t < best) {
                best = t;
                bb = be;
                bu = all_.size();
            }
        }
        if (best > now) {
            cachedNext_ = best;
            if (!options_.fast) return;
            // Unpaced: a transmitter waiting for room at the far end may go on.
            bool any = false;
            for (Uart* u : all_) {
                u->kick(now);
                refreshLocked(u);
                any = any || next_[u->index()] <= now;
            }
            if (!any) return;
            continue;
        }
        if (bb) {
            bb->step(now);
            refreshAllLocked();
        } else {
            all_[bu]->step(now);
            touchLocked(all_[bu]);
        }
    }
}

uint64_t Machine::nextSignificantLocked() const {
    uint64_t t = kNever;
    for (uint64_t n : sig_) t = std::min(t, n);
    for (const Backend* be : eventBackends_) t = std::min(t, be->nextSignificant());
    return t;
}

void Machine::updateIrqsLocked() {
    bool rose = false;
    for (uint32_t i : irqInUse_) {
        bool level = irqForeign_[i];
        for (auto& b : boards_) {
            if (!level && (b->config.irq & 0xFF) == i && (b->pending & b->gate)) level = true;
        }
        if (level && !irqLevel_[i] && !irqMasked_[i]) {
            rose = true;
            irqRiseAt_[i] = clockNow();
        }
        irqLevel_[i] = level;
    }
    if (rose) irqCv_.notify_all();
}

void Machine::changedLocked() {
    if (dirtyAll_) refreshAllLocked();
    updateIrqsLocked();
    cachedNext_ = nextEventLocked();
    if (schedulerWaiting_ && nextSignificantLocked() < schedDeadline_) schedCv_.notify_one();
}

uint8_t Machine::readLocked(uint32_t port, uint64_t now) {
    for (auto& bp : boards_) {
        Board& b = *bp;
        if (port >= b.bridgeBase && port < b.bridgeBase + 256) {
            uint32_t off = port - b.bridgeBase;
            if (off == kBridgeGate) return b.gate;
            if (off == kBridgeLocalBase) return static_cast<uint8_t>(b.localBase);
            if (off == kBridgeLocalBase + 1) return static_cast<uint8_t>(b.localBase >> 8);
            return 0;
        }
        if (port >= b.uartBase && port < b.uartBase + 256) {
            uint32_t off = port - b.uartBase;
            if (off < 8 * b.uarts.size()) {
                Uart* u = b.uarts[off / 8].get();
                uint8_t v = u->read(static_cast<int>(off % 8), now);
                touchLocked(u);
                releaseFeederLocked(u, now);
                return v;
            }
            if (off == kUartStatus) return b.status();
            if (off == kUartOptions) return b.config.options;
            return 0xFF;
        }
        if (port >= b.localBase && port < b.localBase + 256) {
            uint32_t off = port - b.localBase;
            if (off == kLocal6C) return b.local6C;
            if (off == kLocal70) return b.local70;
            return 0;
        }
    }
    return 0xFF;  // nothing decodes the address: the bus floats high
}

void Machine::writeLocked(uint32_t port, uint8_t value, uint64_t now) {
    for (auto& bp : boards_) {
        Board& b = *bp;
        if (port >= b.bridgeBase && port < b.bridgeBase + 256) {
            if (port - b.bridgeBase == kBridgeGate) {
                b.gate = value;
                for (auto& u : b.uarts) refreshLocked(u.get());
            }
            return;
        }
        if (port >= b.uartBase && port < b.uartBase + 256) {
            uint32_t off = port - b.uartBase;
            if (off < 8 * b.uarts.size()) {
                Uart* u = b.uarts[off / 8].get();
                u->write(static_cast<int>(off % 8), value, now);
                touchLocked(u);
                releaseFeederLocked(u, now);
            } else if (off == kUartStatus) {
                b.mirror = value;
            }
            return;
        }
        if (port >= b.localBase && port < b.localBase + 256) {
            uint32_t off = port - b.localBase;
            if (off == kLocal6C) b.local6C = value;
            if (off == kLocal70) b.local70 = value;
            return;
        }
    }
}

// The service touched a receiver: a transmitter its full FIFO held goes on
// now (a held one has data and is not shifting; any other ignores it).
void Machine::releaseFeederLocked(Uart* u, uint64_t now) {
    const Uart* f = u->feeder();
    if (!f || options_.fast) return;
    Uart* feeder = all_[f->index()];
    feeder->kick(now);
    refreshLocked(feeder);
}

// Unpaced, an access may have made an event due at once (a character
// handed to an idle transmitter): run it before anyone looks. Paced, every
// event an access starts lies at least a character time ahead.
void Machine::afterAccessLocked() {
    if (options_.fast) {
        cachedNext_ = 0;
        settleLocked(now());
    }
    changedLocked();
}

uint8_t Machine::ioRead8(uint32_t port) {
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t t = now();
    settleLocked(t);
    uint8_t v = readLocked(port, t);
    if (tracing_) trace_.push_back({port, false, v});
    afterAccessLocked();
    return v;
}

void Machine::ioWrite8(uint32_t port, uint8_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t t = now();
    settleLocked(t);
    writeLocked(port, value, t);
    if (tracing_) trace_.push_back({port, true, value});
    afterAccessLocked();
}

uint16_t Machine::ioRead16(uint32_t port) {
    std::lock_guard<std::mutex> lock(mutex_);
    uint64_t t = now();
    settleLocked(t);
    uint16_t v = static_cast<uint16_t>(readLocked(port, t) | (readLocked(port + 1, t) << 8));
    changedLocked();
    return v;
}

uint32_t Machine::pciConfigRead(uint32_t bus, uint32_t slot, void* buffer, uint32_t offset,
                                uint32_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (bus >= buses_.size()) return 0;
    const auto& f = buses_[bus][slot & 31][(slot >> 5) & 7];
    auto* out = static_cast<uint8_t*>(buffer);
    if (!f) {
        std::memset(out, 0xFF, std::min<uint32_t>(length, 2));
        return 2;
    }
    if (offset >= 256) return 0;
    uint32_t n = std::min<uint32_t>(length, 256 - offset);
    std::memcpy(out, f->config.data() + offset, n);
    return n;
}

bool Machine::translateIo(uint32_t bus, uint64_t busAddress, uint64_t* hostAddress) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (bus >= buses_.size()) return false;
    *hostAddress = busAddress + options_.translationOffset;
    return true;
}

bool Machine::waitIrq(uint32_t irq, const std::atomic<bool>* cancelled) {
    std::unique_lock<std::mutex> lock(mutex_);
    irq &= 0xFF;
    while (true) {
        if (cancelled->load()) return false;
        if (options_.manualClock) settleLocked(now());
        updateIrqsLocked();
        if (irqLevel_[irq] && !irqMasked_[irq]) return true;
        irqCv_.wait(lock);
    }
}

bool Machine::irqLevel(uint32_t irq) {
    std::lock_guard<std::mutex> lock(mutex_);
    updateIrqsLocked();
    return irqLevel_[irq & 0xFF] && !irqMasked_[irq & 0xFF];
}

void Machine::wakeIrqWaiters() {
    std::lock_guard<std::mutex> lock(mutex_);
    irqCv_.notify_all();
}

void Machine::maskIrq(uint32_t irq) {
    std::lock_guard<std::mutex> lock(mutex_);
    irqMasked_[irq & 0xFF] = true;
    refreshAllLocked();  // its UARTs' interrupts no longer reach anyone: no hold
}

void Machine::setTrace(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    tracing_ = on;
    trace_.clear();
}

std::vector<Machine::IoEvent> Machine::takeTrace() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<IoEvent> out;
    out.swap(trace_);
    return out;
}

uint64_t Machine::lastIrqRise(uint32_t irq) {
    std::lock_guard<std::mutex> lock(mutex_);
    return irqRiseAt_[irq & 0xFF];
}

bool Machine::irqMasked(uint32_t irq) {
    std::lock_guard<std::mutex> lock(mutex_);
    return irqMasked_[irq & 0xFF];
}

void Machine::setForeignIrq(uint32_t irq, bool asserted) {
    std::lock_guard<std::mutex> lock(mutex_);
    irqForeign_[irq & 0xFF] = asserted;
    if (std::find(irqInUse_.begin(), irqInUse_.end(), irq & 0xFF) == irqInUse_.end()) {
        irqInUse_.push_back(irq & 0xFF);
    }
    updateIrqsLocked();
}

void Machine::advanceTo(uint64_t ns) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ns > manualNow_.load()) manualNow_.store(ns);
    settleLocked(manualNow_.load());
    updateIrqsLocked();
}

void Machine::start() {
    io_->start();
    if (options_.manualClock || scheduler_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = false;
    }
    scheduler_ = std::thread([this] { schedulerLoop(); });
}

void Machine::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        schedCv_.notify_all();
        irqCv_.notify_all();
    }
    if (scheduler_.joinable()) scheduler_.join();
    io_->stop();
}

void Machine::schedulerLoop() {
    if (schedulerCpu_ >= 0) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(schedulerCpu_, &set);
        pthread_setaffinity_np(pthread_self(), sizeof set, &set);
    }
    if (options_.realtime) {
        // As high as the interrupt thread: a line's events are its
        // interrupts. Refused without the privilege; then it runs as is.
        sched_param sp{};
        sp.sched_priority = 49;
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);
    }
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        settleLocked(now());
        updateIrqsLocked();
        // Wake only when something may show: characters in between are
        // settled, with their own timestamps, whenever anyone looks.
        uint64_t next = nextSignificantLocked();
        schedDeadline_ = next;
        schedulerWaiting_ = true;
        if (next == kNever) {
            schedCv_.wait(lock);
        } else {
            schedCv_.wait_until(lock, epoch_ + std::chrono::nanoseconds(next));
        }
        schedulerWaiting_ = false;
    }
}

}  // namespace sim
