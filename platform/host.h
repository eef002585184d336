// Host side of the platform layer: what the launcher and the tests control.
//
// The driver never includes this header. It connects the platform services
// of rtapi.h to a simulated machine, and gives tests their levers: fault
// injection, console capture, the record of port accesses outside granted
// windows, and a reset between cases.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace host {

// What the platform needs from the machine it runs on. The simulated
// machine (sim/) implements it; every call is thread-safe.
class HostMachine {
public:
    virtual ~HostMachine() = default;
    virtual uint8_t ioRead8(uint32_t port) = 0;
    virtual void ioWrite8(uint32_t port, uint8_t value) = 0;
    virtual uint16_t ioRead16(uint32_t port) = 0;
    // RtGetBusDataByOffset semantics: 0 no such bus, 2 empty slot, else length.
    virtual uint32_t pciConfigRead(uint32_t bus, uint32_t slot, void* buffer, uint32_t offset,
                                   uint32_t length) = 0;
    // Bus I/O address to host I/O address.
    virtual bool translateIo(uint32_t bus, uint64_t busAddress, uint64_t* hostAddress) = 0;
    // Blocks until the line is asserted (true) or `cancelled` is set and
    // wakeIrqWaiters() called (false). The level is tested under the
    // machine's lock before every wait, so no assertion is missed.
    virtual bool waitIrq(uint32_t irq, const std::atomic<bool>* cancelled) = 0;
    virtual bool irqLevel(uint32_t irq) = 0;
    virtual void wakeIrqWaiters() = 0;
    // A line the platform gave up on (stuck asserted) is masked: waitIrq no
    // longer sees it.
    virtual void maskIrq(uint32_t irq) = 0;
};

void InstallMachine(HostMachine* machine);

// Services that tests can make fail.
enum class Service {
    AllocateLockedMemory,
    TranslateBusAddress,
    EnablePortIo,
    DisablePortIo,
    CreateSharedMemory,
    CreateSemaphore,
    CreateMutex,
    ReleaseSemaphore,
    ReleaseMutex,
    WaitForSingleObject,
    CloseHandle,
    CreateThread,
    SetThreadPriority,
    AttachInterrupt,
    ReleaseInterrupt,
    Count
};
// The nth call (1 = the next one) of the service from now on fails, once.
void FailCall(Service service, int nth = 1);
void ClearFaults();

// Port accesses outside every window granted with RtEnablePortIo.
struct StrayAccess {
    uint32_t port;
    bool write;
};
std::vector<StrayAccess> StrayPortAccesses();
uint64_t PortIoCalls();

// Console output goes to stdout (RtPrintf, RtWprintf) and stderr
// (OutputDebugStringA) unless captured.
void CaptureConsole(bool on);
std::string TakeConsole();

// Called by ExitProcess with the exit code before the process ends, so the
// launcher can stop the machine's threads.
void SetExitHook(std::function<void(uint32_t)> hook);

// Called once, when a thread first suspends itself for good (the driver's
// main thread parking after its bring-up).
void SetParkHook(std::function<void()> hook);

// The command line that RtGetWideArguments hands to the run-time start-up,
// converted from UTF-8 to UTF-16.
void SetArguments(const std::vector<std::string>& arguments);

// Real-time scheduling for threads given a priority (off by default).
void SetRealtime(bool on);

// Runs interrupt threads on this CPU (-1: anywhere). Placing them on the
// CPU of the thread that raises the simulated interrupts turns each
// delivery into a wake-up on the same CPU instead of one across CPUs.
void SetInterruptCpu(int cpu);

// Keeps named objects of parallel runs apart (see names.h).
void SetNamespace(const std::string& ns);
const std::string& Namespace();

// Consecutive service runs after which a line that stays asserted is masked.
void SetStuckIrqLimit(uint32_t runs);

// Back to a fresh process for the next test: windows, faults, counters and
// captured console text are dropped. Interrupts must have been released.
void Reset();

}  // namespace host
