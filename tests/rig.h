// Test rig: a fresh simulated machine installed under the host platform,
// the driver's process-wide state back at load values, console captured.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "channel/channel.h"
#include "platform/host.h"
#include "platform/ipc.h"
#include "serial/port.h"
#include "sim/machine.h"
#include "startup/startup.h"

namespace rig {

// Waits for a condition with a bounded deadline.
inline bool WaitFor(const std::function<bool()>& done, int timeoutMs = 5000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

inline std::string UniqueNamespace(const std::string& tag) {
    static int serial = 0;
    return "t" + std::to_string(getpid()) + "-" + tag + "-" + std::to_string(serial++);
}

// The four named objects of one device, opened the way any other process
// opens them, for tests that speak to a channel byte by byte.
struct PortObjects {
    explicit PortObjects(const std::string& device) {
        const std::string& ns = host::Namespace();
        ok = ipc::Open(ns, device + ".sm", ipc::Kind::Section, &section) == ipc::Status::Ok &&
             ipc::Open(ns, device + ".s1", ipc::Kind::Semaphore, &s1) == ipc::Status::Ok &&
             ipc::Open(ns, device + ".s2", ipc::Kind::Semaphore, &s2) == ipc::Status::Ok &&
             ipc::Open(ns, device, ipc::Kind::Mutex, &mutex) == ipc::Status::Ok;
    }
    ~PortObjects() {
        ipc::Close(&mutex);
        ipc::Close(&s2);
        ipc::Close(&s1);
        ipc::Close(&section);
    }
    PortObjects(const PortObjects&) = delete;
    PortObjects& operator=(const PortObjects&) = delete;
    uint8_t* block() { return static_cast<uint8_t*>(section.payload); }
    uint32_t u32(uint32_t off) {
        uint32_t v;
        std::memcpy(&v, block() + off, 4);
        return v;
    }
    void put32(uint32_t off, uint32_t v) { std::memcpy(block() + off, &v, 4); }

    bool ok = false;
    ipc::Object section, s1, s2, mutex;
};

class Rig {
public:
    explicit Rig(sim::MachineOptions options = manual()) {
        ResetDriverState();
        host::Reset();
        host::SetNamespace(UniqueNamespace("rig"));
        host::CaptureConsole(true);
        machine = std::make_unique<sim::Machine>(options);
        host::InstallMachine(machine.get());
    }
    ~Rig() { teardown(); }

    static sim::MachineOptions manual() {
        sim::MachineOptions o;
        o.manualClock = true;
        return o;
    }
    static sim::MachineOptions realtime(bool fast) {
        sim::MachineOptions o;
        o.fast = fast;
        return o;
    }

    // Releases what the driver holds without the tear-down's 3 s pause.
    void teardown() {
        if (!machine) return;
        if (g_InterruptHandle) {
            RtReleaseInterruptVector(g_InterruptHandle);
            g_InterruptHandle = nullptr;
        }
        for (auto& c : g_Channels) {
            if (c) UnregisterDevice(c);
            c = nullptr;
        }
        machine->stop();
        ResetDriverState();
        host::InstallMachine(nullptr);
        machine.reset();
        host::CaptureConsole(false);
    }

    // Driver-side bring-up with -Q irq.
    void bringUp(uint8_t irq, uint8_t shared = 0, uint8_t nameBase = 0) {
        g_IrqLine = irq;
        g_IrqShared = shared;
        g_PortNameBase = nameBase;
        FindBoard();
    }

    uint32_t uartReg(int board, int port, int offset) {
        return machine->board(board).uartBase + 8u * static_cast<uint32_t>(port) +
               static_cast<uint32_t>(offset);
    }

    std::unique_ptr<sim::Machine> machine;
};

}  // namespace rig
