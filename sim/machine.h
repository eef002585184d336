// The simulated PCI machine: buses with type-0 configuration headers, the
// serial boards of the family with their I/O windows and UARTs, IRQ lines,
// foreign interrupt sources, the machine's clock and the line backends.
//
// Board register map (I/O addresses relative to each window):
//   bridge window (BAR0 - 1, 256 bytes): +0x14 local base (16 bit, the host
//     address of the local window), +0xC0 port interrupt enable (one gate
//     bit per port)
//   UART window (BAR1 - 1, 256 bytes): +8n UART of port n, +0x4C read:
//     interrupt status, write: enable mirror; +0x74 board options byte
//   local window (256 bytes): +0x6C, +0x70 transceiver control, a bit per port
// The status register has bit n set while port n's UART has an interrupt
// pending and its gate bit is open; the board drives its IRQ line while
// the status register is non-zero.
//
// One lock guards the whole machine. Every register access first brings
// the UARTs' time up to "now"; a scheduler thread (real-time clock only)
// wakes for the next event any UART or backend has.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/host.h"
#include "sim/uart.h"

namespace sim {

class Backend;
class IoThread;

// Hardware facts of a board model: how many UARTs, which kind, what clock.
struct ModelHardware {
    int ports;
    int kind;
    uint32_t clockHz;
};
// Known for models 1..16; other subsystem IDs get 8 kind-4 UARTs at 14745600 Hz.
ModelHardware HardwareOfModel(int model);

struct BoardConfig {
    int model = 4;          // PCI subsystem ID
    uint32_t irq = 5;       // interrupt line in the configuration header
    uint32_t bus = 0;
    uint32_t device = 0;
    uint32_t function = 0;
    uint8_t options = 0;    // board options byte
    uint16_t deviceId = 0x9050;
    uint16_t vendorId = 0x11B0;
    uint16_t subsystemVendorId = 0x12C4;
};

struct Board {
    BoardConfig config;
    ModelHardware hw;
    uint32_t bridgeBase = 0;  // host I/O addresses of the three windows
    uint32_t uartBase = 0;
    uint32_t localBase = 0;
    std::vector<std::unique_ptr<Uart>> uarts;
    uint8_t gate = 0;         // port interrupt enable
    uint8_t mirror = 0;       // last value written to the enable mirror
    uint8_t local6C = 0;
    uint8_t local70 = 0;
    uint8_t pending = 0;      // bit n: UART n's interrupt output, as last seen
    uint8_t status() const;
};

struct MachineOptions {
    bool fast = false;          // UARTs move characters without line timing
    bool manualClock = false;   // time advances only through advanceTo()
    uint32_t translationOffset = 0;  // host I/O address = bus address + offset
    // No input hold (Uart::holdsInput): host scheduling delays then turn
    // into overruns, for latency studies.
    bool strictTime = false;
    // Scheduler thread at real-time priority when the process may.
    bool realtime = false;
};

class Machine : public host::HostMachine {
public:
    explicit Machine(MachineOptions options = {});
    ~Machine() override;
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // --- topology (before start) ---
    void addBuses(uint32_t count);  // buses 0..count-1 exist
    // A PCI function with the given identity and no I/O of ours.
    void addFunction(uint32_t bus, uint32_t device, uint32_t function, uint16_t vendorId,
                     uint16_t deviceId, uint16_t subsystemVendorId, uint16_t subsystemId,
                     uint8_t interruptLine);
    // A board of the family; returns its number (0, 1, ...).
    int addBoard(const BoardConfig& config);
    size_t boardCount() const { return boards_.size(); }

    // Wires port P of board B to WHAT (see lines.h); "" on success, else
    // the reason it was refused.
    std::string wire(int board, int port, const std::string& what);
    std::string describeLine(int board, int port) const;
    // Line trouble on port P of board B every periodMs: a byte with a
    // parity error, one with a framing error, or a break ("parity",
    // "framing", "break"). "" on success, else the reason.
    std::string injectEvery(int board, int port, const std::string& kind, uint32_t periodMs);

    // --- running ---
    void start();  // scheduler and I/O threads (real-time clock)
    // The scheduler thread (which raises the interrupts) runs on this CPU
    // (-1: anywhere); call before start().
    void setSchedulerCpu(int cpu) { schedulerCpu_ = cpu; }
    void stop();
    void advanceTo(uint64_t ns);  // manual clock
    uint64_t now() const;
    bool fast() const { return options_.fast; }

    // A source outside the boards driving an IRQ line.
    void setForeignIrq(uint32_t irq, bool asserted);

    // Tests look at the hardware under the machine's lock.
    // (Whatever a test changes directly is looked at afresh.)
    std::unique_lock<std::mutex> lock() {
        std::unique_lock<std::mutex> l(mutex_);
        dirtyAll_ = true;
        return l;
    }
    Board& board(int i) { return *boards_.at(static_cast<size_t>(i)); }
    Uart& uart(int b, int p) { return *board(b).uarts.at(static_cast<size_t>(p)); }
    bool irqMasked(uint32_t irq);
    // Steady-clock time (ns since the epoch of now()) of the line's last
    // rising edge, for latency measurements.
    uint64_t lastIrqRise(uint32_t irq);

    // Register trace for tests: every port access in order.
    struct IoEvent {
        uint32_t port;
        bool write;
        uint8_t value;
    };
    void setTrace(bool on);
    std::vector<IoEvent> takeTrace();

    // For backends: called with the lock held after they change state.
    void changedLocked();
    // Holds of the line into a port so far (Uart::holdsInput), and bytes its
    // far end dropped (a pty or socket reader that did not keep up).
    uint64_t inputHolds(int board, int port);
    uint64_t droppedAtFarEnd(int board, int port);
    // The same after they changed a UART's inputs (its next events move).
    void uartChangedLocked(const Uart* u) {
        touchLocked(u);
        changedLocked();
    }
    std::mutex& mutex() { return mutex_; }
    IoThread& io();

    // --- host::HostMachine ---
    uint8_t ioRead8(uint32_t port) override;
    void ioWrite8(uint32_t port, uint8_t value) override;
    uint16_t ioRead16(uint32_t port) override;
    uint32_t pciConfigRead(uint32_t bus, uint32_t slot, void* buffer, uint32_t offset,
                           uint32_t length) override;
    bool translateIo(uint32_t bus, uint64_t busAddress, uint64_t* hostAddress) override;
    bool waitIrq(uint32_t irq, const std::atomic<bool>* cancelled) override;
    bool irqLevel(uint32_t irq) override;
    void wakeIrqWaiters() override;
    void maskIrq(uint32_t irq) override;

private:
    struct Function {
        std::array<uint8_t, 256> config{};
    };
    using Device = std::array<std::optional<Function>, 8>;
    using Bus = std::array<Device, 32>;

    uint64_t clockNow() const;
    void settleLocked(uint64_t now);
    void addBackendLocked(std::unique_ptr<Backend> backend);
    void refreshLocked(const Uart* u);
    void touchLocked(const Uart* u);
    void releaseFeederLocked(Uart* u, uint64_t now);
    void refreshAllLocked();
    void afterAccessLocked();
    void updateIrqsLocked();
    uint64_t nextEventLocked() const;
    uint64_t nextSignificantLocked() const;
    void schedulerLoop();
    Function& functionAt(uint32_t bus, uint32_t device, uint32_t function);
    uint8_t readLocked(uint32_t port, uint64_t now);
    void writeLocked(uint32_t port, uint8_t value, uint64_t now);

    MachineOptions options_;
    mutable std::mutex mutex_;
    std::vector<Bus> buses_;
    std::vector<std::unique_ptr<Board>> boards_;
    std::vector<std::unique_ptr<Backend>> backends_;
    std::vector<Backend*> eventBackends_;  // the ones that ever have events
    // Every UART, with its next event and next significant moment cached:
    // an access or event changes one UART and its cable peer, so only
    // those are recomputed, never a scan of the whole machine.
    std::vector<Uart*> all_;
    std::vector<Board*> boardOf_;  // by UART index
    std::vector<uint8_t> bitOf_;
    std::vector<uint64_t> next_, sig_;
    bool dirtyAll_ = false;
    std::vector<std::vector<bool>> wired_;
    std::vector<std::vector<Backend*>> farEnd_;
    std::vector<std::vector<std::string>> lineNames_;

    bool tracing_ = false;
    std::vector<IoEvent> trace_;

    // IRQ numbers some board or foreign source uses: the only lines whose
    // level is ever recomputed.
    std::vector<uint32_t> irqInUse_;
    // Earliest pending event of any UART or backend, as last computed; no
    // register access before it needs to look for due events.
    uint64_t cachedNext_ = 0;

    std::array<bool, 256> irqLevel_{};
    std::array<bool, 256> irqForeign_{};
    std::array<bool, 256> irqMasked_{};
    std::array<uint64_t, 256> irqRiseAt_{};
    std::condition_variable irqCv_;

    std::atomic<uint64_t> manualNow_{0};
    std::chrono::steady_clock::time_point epoch_;
    std::thread scheduler_;
    std::condition_variable schedCv_;
    uint64_t schedDeadline_ = kNever;
    bool schedulerWaiting_ = false;
    int schedulerCpu_ = -1;
    bool stopping_ = false;
    std::unique_ptr<IoThread> io_;
};

}  // namespace sim
