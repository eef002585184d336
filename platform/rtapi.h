// The real-time platform's services, as the driver calls them.
//
// The driver reaches hardware, memory, other processes and the console only
// through these calls. The host implementation (host.cpp) serves them on
// Linux over a simulated PCI machine; nothing in the driver knows which
// implementation it runs on.
#pragma once

#include <cstdint>
#include <cwchar>

typedef void* RtHandle;

// Physical or bus address as the platform passes it: two 32-bit halves.
struct BusAddress {
    uint32_t lowPart;
    int32_t highPart;
};

// Thread routine: one parameter, a 32-bit exit code.
typedef uint32_t (*RtThreadRoutine)(void* parameter);
// Interrupt service routine: the context given at attachment; the result
// is passed back to the platform.
typedef uint8_t (*RtIsrRoutine)(void* context);
// Shared-interrupt check: 2 runs the service routine, 0 passes it on.
typedef int32_t (*RtSharedCheckRoutine)(void* context);
// Start routine handed to _RtssAttachProcessW.
typedef int32_t (*RtStartRoutine)(uint32_t first, uint32_t second);

// Values the driver passes and tests.
enum : uint32_t {
    kRtPciConfiguration = 4,    // bus data type for RtGetBusDataByOffset
    kRtInterfacePci = 5,        // interface type for translation and attachment
    kRtPageReadWrite = 4,       // protection of shared memory
    kRtCreateSuspended = 4,     // CreateThread flag
    kRtInfinite = 0xFFFFFFFFu,  // wait without time-out
    kRtWaitObject0 = 0,         // wait satisfied
    kRtWaitAbandoned = 0x80,    // mutex acquired from an owner that died
    kRtWaitTimeout = 0x102,     // timed wait ran out
    kRtWaitFailed = 0xFFFFFFFFu,
};

// Windows error codes the driver sets or reports.
enum : uint32_t {
    kErrorPathNotFound = 3,
    kErrorInvalidHandle = 6,
    kErrorNotEnoughMemory = 8,
    kErrorInvalidParameter = 87,
    kErrorInvalidFunction = 120,  // "call not implemented"
    kErrorAlreadyExists = 183,
};

// Port I/O: one bus cycle per call, in program order.
uint8_t RtReadPortUchar(uint32_t port);
void RtWritePortUchar(uint32_t port, uint8_t value);
uint16_t RtReadPortUshort(uint32_t port);
// Grant or return a window of I/O ports; non-zero when granted.
int32_t RtEnablePortIo(uint32_t firstPort, uint32_t count);
int32_t RtDisablePortIo(uint32_t firstPort, uint32_t count);

// PCI configuration space: bytes read; 0 when the bus does not exist, 2
// (with vendor 0xFFFF) for an empty slot.
uint32_t RtGetBusDataByOffset(uint32_t busDataType, uint32_t bus, uint32_t slot, void* buffer,
                              uint32_t offset, uint32_t length);
// Bus address to host address; non-zero on success.
int32_t RtTranslateBusAddress(uint32_t interfaceType, uint32_t bus, BusAddress busAddress,
                              uint32_t* addressSpace, BusAddress* translated);

// Memory that is never paged out. Zero-filled on the host.
void* RtAllocateLockedMemory(uint32_t size);
int32_t RtFreeLockedMemory(void* memory);

// Named objects shared with other processes.
RtHandle RtCreateSharedMemoryA(uint32_t protect, uint32_t sizeHigh, uint32_t sizeLow,
                               const char* name, void** location);
RtHandle RtCreateSemaphoreA(void* attributes, int32_t initialCount, int32_t maximumCount,
                            const char* name);
RtHandle RtCreateMutexA(void* attributes, int32_t initialOwner, const char* name);
uint32_t RtWaitForSingleObject(RtHandle handle, uint32_t milliseconds);
int32_t RtReleaseSemaphore(RtHandle semaphore, int32_t releaseCount, int32_t* previousCount);
int32_t RtReleaseMutex(RtHandle mutex);
int32_t RtCloseHandle(RtHandle handle);

// Threads.
RtHandle CreateThread(void* attributes, uint32_t stackSize, RtThreadRoutine routine,
                      void* parameter, uint32_t creationFlags, uint32_t* threadId);
int32_t RtSetThreadPriority(RtHandle thread, int32_t priority);
uint32_t ResumeThread(RtHandle thread);
uint32_t SuspendThread(RtHandle thread);
[[noreturn]] void ExitThread(uint32_t exitCode);
RtHandle GetCurrentThread();

// Interrupts: a level-sensitive line served by one interrupt thread.
RtHandle RtAttachInterruptVector(void* attributes, uint32_t stackSize, RtIsrRoutine routine,
                                 void* context, uint32_t priority, uint32_t interfaceType,
                                 uint32_t bus, uint32_t busInterruptLevel,
                                 uint32_t busInterruptVector);
RtHandle RtAttachInterruptVectorEx(void* attributes, uint32_t stackSize, RtIsrRoutine routine,
                                   void* context, uint32_t priority, uint32_t interfaceType,
                                   uint32_t bus, uint32_t busInterruptLevel,
                                   uint32_t busInterruptVector, int32_t shared,
                                   uint32_t interruptMode, RtSharedCheckRoutine check);
int32_t RtReleaseInterruptVector(RtHandle interrupt);

// Processor interrupts off and on around short critical sections. Sections
// nest: an enable inside an outer section leaves interrupts disabled until
// the outer section ends. No interrupt service routine runs while any
// thread is inside a section.
void DisableProcessorInterrupts();
void EnableProcessorInterrupts();

// Console and debugger output.
void RtPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Wide format; %s takes a wide string, as on the target.
void RtWprintf(const wchar_t* format, ...);
void OutputDebugStringA(const char* text);

// Per-thread last error.
void SetLastError(uint32_t code);
uint32_t GetLastError();

void Sleep(uint32_t milliseconds);
// Milliseconds since an arbitrary start; wraps after about 49 days.
uint32_t GetTickCount();
[[noreturn]] void ExitProcess(uint32_t exitCode);

// Runs the start routine in the new process; its result goes back to the loader.
int32_t _RtssAttachProcessW(uint32_t firstWord, void* record, RtStartRoutine start);

// The process's command line as zero-terminated UTF-16 strings, set up by
// the run-time start-up before the start routine's arguments are narrowed.
void RtGetWideArguments(int32_t* count, char16_t*** vector);
