// Host implementation of the platform services on Linux.
//
// Port I/O, PCI configuration and interrupt lines come from the installed
// HostMachine (the simulated PCI machine); named objects are the
// cross-process objects of ipc.h; threads are POSIX threads. The processor
// interrupt flag becomes one process-wide recursive lock, which the
// interrupt thread holds while it runs a service routine: a thread inside
// a disabled section therefore never sees a service routine run.
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "platform/host.h"
#include "platform/ipc.h"
#include "platform/rtapi.h"

namespace {

using host::Service;

host::HostMachine* g_machine = nullptr;
std::string g_namespace = "default";
bool g_realtime = false;
int g_interruptCpu = -1;
std::atomic<uint32_t> g_stuckLimit{10000};

// Fault injection: countdown per service; the call that brings it to 0 fails.
std::array<std::atomic<int>, static_cast<size_t>(Service::Count)> g_faults{};

bool Fails(Service s) {
    auto& c = g_faults[static_cast<size_t>(s)];
    int v = c.load();
    while (v > 0) {
        if (c.compare_exchange_weak(v, v - 1)) return v == 1;
    }
    return false;
}

// Granted I/O windows, one counter per port so that the check on every
// access is a single load.
std::array<std::atomic<uint16_t>, 65536> g_granted{};
std::mutex g_strayMutex;
std::vector<host::StrayAccess> g_strays;
std::atomic<uint64_t> g_ioCalls{0};

void CheckGranted(uint32_t port, bool write) {
    g_ioCalls.fetch_add(1, std::memory_order_relaxed);
    if (port < g_granted.size() && g_granted[port].load(std::memory_order_relaxed) != 0) return;
    std::lock_guard<std::mutex> lock(g_strayMutex);
    if (g_strays.size() < 4096) g_strays.push_back({port, write});
}

// Console.
std::mutex g_consoleMutex;
bool g_capture = false;
std::string g_captured;
std::function<void(uint32_t)> g_exitHook;
std::function<void()> g_parkHook;
std::once_flag g_parkOnce;

void ConsoleWrite(const std::string& text, FILE* stream) {
    std::lock_guard<std::mutex> lock(g_consoleMutex);
    if (g_capture) {
        g_captured += text;
        return;
    }
    fwrite(text.data(), 1, text.size(), stream);
    fflush(stream);
}

thread_local uint32_t t_lastError = 0;

std::recursive_mutex g_interruptSection;

// Handles.
enum class HandleType { Section, Semaphore, Mutex, Thread, Interrupt };

struct HandleObject {
    explicit HandleObject(HandleType t) : type(t) {}
    virtual ~HandleObject() = default;
    HandleType type;
};

std::mutex g_handleMutex;
std::unordered_set<HandleObject*> g_handles;

RtHandle Register(HandleObject* h) {
    std::lock_guard<std::mutex> lock(g_handleMutex);
    g_handles.insert(h);
    return h;
}

HandleObject* Lookup(RtHandle handle, HandleType type) {
    std::lock_guard<std::mutex> lock(g_handleMutex);
    auto* h = static_cast<HandleObject*>(handle);
    if (g_handles.count(h) == 0 || h->type != type) return nullptr;
    return h;
}

HandleObject* LookupAny(RtHandle handle) {
    std::lock_guard<std::mutex> lock(g_handleMutex);
    auto* h = static_cast<HandleObject*>(handle);
    return g_handles.count(h) ? h : nullptr;
}

bool Unregister(HandleObject* h) {
    std::lock_guard<std::mutex> lock(g_handleMutex);
    return g_handles.erase(h) == 1;
}

struct IpcHandle : HandleObject {
    using HandleObject::HandleObject;
    ipc::Object object;
    ~IpcHandle() override { ipc::Close(&object); }
};

// A thread: created suspended or running; a suspended thread whose handle
// is closed before it was ever resumed ends without running its routine.
struct ThreadState {
    std::mutex m;
    std::condition_variable cv;
    int suspendCount = 0;
    bool cancelled = false;
    bool started = false;
    RtThreadRoutine routine = nullptr;
    void* parameter = nullptr;
    pthread_t thread{};
    int priority = 0;
};

struct ThreadHandle : HandleObject {
    ThreadHandle() : HandleObject(HandleType::Thread) {}
    std::shared_ptr<ThreadState> state;
};

thread_local std::shared_ptr<ThreadState> t_self;

const RtHandle kCurrentThreadPseudoHandle = reinterpret_cast<RtHandle>(static_cast<intptr_t>(-2));

std::shared_ptr<ThreadState> SelfState() {
    if (!t_self) {
        t_self = std::make_shared<ThreadState>();
        t_self->started = true;
        t_self->thread = pthread_self();
    }
    return t_self;
}

void* ThreadTrampoline(void* arg) {
    auto* holder = static_cast<std::shared_ptr<ThreadState>*>(arg);
    std::shared_ptr<ThreadState> state = *holder;
    delete holder;
    {
        std::unique_lock<std::mutex> lock(state->m);
        state->cv.wait(lock, [&] { return state->suspendCount == 0 || state->cancelled; });
        if (state->cancelled && state->suspendCount > 0) return nullptr;
        state->started = true;
    }
    t_self = state;
    uint32_t code = state->routine(state->parameter);
    t_self.reset();
    return reinterpret_cast<void*>(static_cast<uintptr_t>(code));
}

void ApplyPriority(ThreadState* state) {
    if (!g_realtime) return;
    // RTX priorities 0..127 land on SCHED_FIFO 1..49: above ordinary work,
    // below the kernel's own real-time threads; the kernel's real-time
    // throttling keeps a runaway thread from starving the machine.
    sched_param sp{};
    sp.sched_priority = 1 + state->priority * 48 / 127;
    pthread_setschedparam(state->thread, SCHED_FIFO, &sp);
}

// Interrupt lines: one thread per IRQ runs every routine attached to it.
struct IrqLine;

struct InterruptHandle : HandleObject {
    InterruptHandle() : HandleObject(HandleType::Interrupt) {}
    IrqLine* line = nullptr;
    RtIsrRoutine routine = nullptr;
    void* context = nullptr;
    RtSharedCheckRoutine check = nullptr;
    bool shared = false;
};

struct IrqLine {
    uint32_t irq = 0;
    std::mutex m;  // held while attachments run; release waits for it
    std::vector<InterruptHandle*> attachments;
    std::atomic<bool> cancelled{false};
    std::thread thread;
    int priority = 0;
};

std::mutex g_irqMutex;
std::map<uint32_t, IrqLine*> g_irqLines;

void InterruptThread(IrqLine* line) {
    if (g_interruptCpu >= 0) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(g_interruptCpu, &set);
        pthread_setaffinity_np(pthread_self(), sizeof set, &set);
    }
    if (g_realtime) {
        sched_param sp{};
        sp.sched_priority = 1 + line->priority * 48 / 127;
        pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp);
    }
    // A line that stays asserted while every run repeats the very same
    // port accesses is stuck (a dead board, a source nobody clears); one
    // that stays asserted because new work keeps arriving is not.
    uint32_t stuckRuns = 0;
    uint64_t lastRunCalls = ~0ull;
    while (g_machine->waitIrq(line->irq, &line->cancelled)) {
        uint64_t before = g_ioCalls.load(std::memory_order_relaxed);
        {
            std::lock_guard<std::mutex> lock(line->m);
            std::lock_guard<std::recursive_mutex> section(g_interruptSection);
            for (InterruptHandle* a : line->attachments) {
                if (a->shared && a->check && a->check(a->context) != 2) continue;
                a->routine(a->context);
            }
        }
        uint64_t runCalls = g_ioCalls.load(std::memory_order_relaxed) - before;
        if (g_machine->irqLevel(line->irq) && runCalls == lastRunCalls) {
            if (++stuckRuns >= g_stuckLimit.load()) {
                // The line is reported before it is masked: whoever sees
                // the mask can rely on the report being out already.
                char text[128];
                snprintf(text, sizeof text,
                         "IRQ %u stays asserted after %u service runs; line masked\n", line->irq,
                         stuckRuns);
                ConsoleWrite(text, stdout);
                g_machine->maskIrq(line->irq);
                stuckRuns = 0;
            }
        } else {
            stuckRuns = 0;
        }
        lastRunCalls = runCalls;
    }
}

RtHandle Attach(RtIsrRoutine routine, void* context, uint32_t priority, uint32_t irq, bool shared,
                RtSharedCheckRoutine check) {
    if (Fails(Service::AttachInterrupt) || !g_machine || !routine) {
        SetLastError(kErrorInvalidParameter);
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(g_irqMutex);
    IrqLine*& line = g_irqLines[irq];
    bool fresh = line == nullptr;
    if (fresh) {
        line = new IrqLine;
        line->irq = irq;
        line->priority = static_cast<int>(priority);
    }
    {
        std::lock_guard<std::mutex> ll(line->m);
        for (InterruptHandle* a : line->attachments) {
            if (!a->shared || !shared) {
                SetLastError(kErrorInvalidParameter);
                return nullptr;
            }
        }
    }
    auto* h = new InterruptHandle;
    h->line = line;
    h->routine = routine;
    h->context = context;
    h->check = check;
    h->shared = shared;
    {
        std::lock_guard<std::mutex> ll(line->m);
        line->attachments.push_back(h);
    }
    if (fresh) line->thread = std::thread(InterruptThread, line);
    return Register(h);
}

std::mutex g_argMutex;
std::vector<std::u16string> g_argStrings;
std::vector<std::vector<char16_t>> g_argBuffers;
std::vector<char16_t*> g_argVector;

std::u16string Utf8ToUtf16(const std::string& s) {
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        uint32_t cp;
        size_t n;
        if (c < 0x80) { cp = c; n = 1; }
        else if ((c >> 5) == 6 && i + 1 < s.size()) { cp = ((c & 0x1F) << 6) | (s[i + 1] & 0x3F); n = 2; }
        else if ((c >> 4) == 14 && i + 2 < s.size()) { cp = ((c & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F); n = 3; }
        else if ((c >> 3) == 30 && i + 3 < s.size()) { cp = ((c & 0x07) << 18) | ((s[i + 1] & 0x3F) << 12) | ((s[i + 2] & 0x3F) << 6) | (s[i + 3] & 0x3F); n = 4; }
        else { cp = 0xFFFD; n = 1; }
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) out.push_back(static_cast<char>(cp));
    else if (cp < 0x800) { out.push_back(static_cast<char>(0xC0 | (cp >> 6))); out.push_back(static_cast<char>(0x80 | (cp & 0x3F))); }
    else if (cp < 0x10000) { out.push_back(static_cast<char>(0xE0 | (cp >> 12))); out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F))); out.push_back(static_cast<char>(0x80 | (cp & 0x3F))); }
    else { out.push_back(static_cast<char>(0xF0 | (cp >> 18))); out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F))); out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F))); out.push_back(static_cast<char>(0x80 | (cp & 0x3F))); }
}

}  // namespace

// ---- host controls --------------------------------------------------------

namespace host {

void InstallMachine(HostMachine* machine) { g_machine = machine; }

void FailCall(Service service, int nth) { g_faults[static_cast<size_t>(service)].store(nth); }

void ClearFaults() {
    for (auto& f : g_faults) f.store(0);
}

std::vector<StrayAccess> StrayPortAccesses() {
    std::lock_guard<std::mutex> lock(g_strayMutex);
    return g_strays;
}

uint64_t PortIoCalls() { return g_ioCalls.load(); }

void CaptureConsole(bool on) {
    std::lock_guard<std::mutex> lock(g_consoleMutex);
    g_capture = on;
}

std::string TakeConsole() {
    std::lock_guard<std::mutex> lock(g_consoleMutex);
    std::string out;
    out.swap(g_captured);
    return out;
}

void SetExitHook(std::function<void(uint32_t)> hook) { g_exitHook = std::move(hook); }
void SetParkHook(std::function<void()> hook) { g_parkHook = std::move(hook); }

void SetArguments(const std::vector<std::string>& arguments) {
    std::lock_guard<std::mutex> lock(g_argMutex);
    g_argBuffers.clear();
    g_argVector.clear();
    for (const auto& a : arguments) {
        std::u16string w = Utf8ToUtf16(a);
        std::vector<char16_t> buf(w.begin(), w.end());
        buf.push_back(0);
        g_argBuffers.push_back(std::move(buf));
    }
    for (auto& b : g_argBuffers) g_argVector.push_back(b.data());
    g_argVector.push_back(nullptr);
}

void SetRealtime(bool on) { g_realtime = on; }
void SetInterruptCpu(int cpu) { g_interruptCpu = cpu; }

void SetNamespace(const std::string& ns) { g_namespace = ns.empty() ? "default" : ns; }
const std::string& Namespace() { return g_namespace; }

void SetStuckIrqLimit(uint32_t runs) { g_stuckLimit.store(runs); }

void Reset() {
    for (auto& g : g_granted) g.store(0, std::memory_order_relaxed);
    {
        std::lock_guard<std::mutex> lock(g_strayMutex);
        g_strays.clear();
    }
    ClearFaults();
    g_ioCalls.store(0);
    TakeConsole();
    t_lastError = 0;
}

}  // namespace host

// ---- port I/O ------------------------------------------------------------

uint8_t RtReadPortUchar(uint32_t port) {
    CheckGranted(port, false);
    return g_machine ? g_machine->ioRead8(port) : 0xFF;
}

void RtWritePortUchar(uint32_t port, uint8_t value) {
    CheckGranted(port, true);
    if (g_machine) g_machine->ioWrite8(port, value);
}

uint16_t RtReadPortUshort(uint32_t port) {
    CheckGranted(port, false);
    return g_machine ? g_machine->ioRead16(port) : 0xFFFF;
}

int32_t RtEnablePortIo(uint32_t firstPort, uint32_t count) {
    if (Fails(Service::EnablePortIo)) return 0;
    if (static_cast<uint64_t>(firstPort) + count > g_granted.size()) return 0;
    for (uint32_t p = firstPort; p < firstPort + count; ++p) g_granted[p].fetch_add(1);
    return 1;
}

int32_t RtDisablePortIo(uint32_t firstPort, uint32_t count) {
    if (Fails(Service::DisablePortIo)) return 0;
    if (static_cast<uint64_t>(firstPort) + count > g_granted.size()) return 0;
    for (uint32_t p = firstPort; p < firstPort + count; ++p) {
        uint16_t v = g_granted[p].load();
        while (v > 0 && !g_granted[p].compare_exchange_weak(v, static_cast<uint16_t>(v - 1))) {
        }
    }
    return 1;
}

// ---- PCI -------------------------------------------------------------------

uint32_t RtGetBusDataByOffset(uint32_t busDataType, uint32_t bus, uint32_t slot, void* buffer,
                              uint32_t offset, uint32_t length) {
    if (busDataType != kRtPciConfiguration || !g_machine) return 0;
    return g_machine->pciConfigRead(bus, slot, buffer, offset, length);
}

int32_t RtTranslateBusAddress(uint32_t interfaceType, uint32_t bus, BusAddress busAddress,
                              uint32_t* addressSpace, BusAddress* translated) {
    if (Fails(Service::TranslateBusAddress) || !g_machine || interfaceType != kRtInterfacePci ||
        !addressSpace || *addressSpace != 1 || !translated) {
        return 0;
    }
    uint64_t address = (static_cast<uint64_t>(static_cast<uint32_t>(busAddress.highPart)) << 32) |
                       busAddress.lowPart;
    uint64_t hostAddress = 0;
    if (!g_machine->translateIo(bus, address, &hostAddress)) return 0;
    translated->lowPart = static_cast<uint32_t>(hostAddress);
    translated->highPart = static_cast<int32_t>(hostAddress >> 32);
    return 1;
}

// ---- memory ------------------------------------------------------------------

namespace {
constexpr size_t kAllocHeader = 16;
}

void* RtAllocateLockedMemory(uint32_t size) {
    if (Fails(Service::AllocateLockedMemory)) return nullptr;
    auto* raw = static_cast<unsigned char*>(calloc(1, size + kAllocHeader));
    if (!raw) return nullptr;
    std::memcpy(raw, &size, sizeof size);
    // Locking may be refused to an unprivileged process; the memory is
    // still usable then, only pageable.
    mlock(raw, size + kAllocHeader);
    return raw + kAllocHeader;
}

int32_t RtFreeLockedMemory(void* memory) {
    if (!memory) return 0;
    unsigned char* raw = static_cast<unsigned char*>(memory) - kAllocHeader;
    uint32_t size;
    std::memcpy(&size, raw, sizeof size);
    munlock(raw, size + kAllocHeader);
    free(raw);
    return 1;
}

// ---- named objects -------------------------------------------------------

RtHandle RtCreateSharedMemoryA(uint32_t protect, uint32_t sizeHigh, uint32_t sizeLow,
                               const char* name, void** location) {
    if (Fails(Service::CreateSharedMemory) || protect != kRtPageReadWrite || sizeHigh != 0 ||
        !name || !location) {
        SetLastError(kErrorInvalidParameter);
        return nullptr;
    }
    auto* h = new IpcHandle(HandleType::Section);
    ipc::Status st = ipc::CreateSection(g_namespace, name, sizeLow, &h->object);
    if (st != ipc::Status::Ok) {
        delete h;
        SetLastError(st == ipc::Status::Exists ? kErrorAlreadyExists : kErrorInvalidParameter);
        return nullptr;
    }
    *location = h->object.payload;
    return Register(h);
}

RtHandle RtCreateSemaphoreA(void*, int32_t initialCount, int32_t maximumCount, const char* name) {
    if (Fails(Service::CreateSemaphore) || !name || maximumCount <= 0 || initialCount < 0 ||
        initialCount > maximumCount) {
        SetLastError(kErrorInvalidParameter);
        return nullptr;
    }
    auto* h = new IpcHandle(HandleType::Semaphore);
    ipc::Status st = ipc::CreateSemaphore(g_namespace, name, initialCount, maximumCount, &h->object);
    if (st != ipc::Status::Ok) {
        delete h;
        SetLastError(st == ipc::Status::Exists ? kErrorAlreadyExists : kErrorInvalidParameter);
        return nullptr;
    }
    return Register(h);
}

RtHandle RtCreateMutexA(void*, int32_t initialOwner, const char* name) {
    if (Fails(Service::CreateMutex) || !name) {
        SetLastError(kErrorInvalidParameter);
        return nullptr;
    }
    auto* h = new IpcHandle(HandleType::Mutex);
    ipc::Status st = ipc::CreateMutex(g_namespace, name, initialOwner != 0, &h->object);
    if (st != ipc::Status::Ok) {
        delete h;
        SetLastError(st == ipc::Status::Exists ? kErrorAlreadyExists : kErrorInvalidParameter);
        return nullptr;
    }
    return Register(h);
}

namespace {

// A client that cut an object short took it away from its port: the
// mapping already carries on over private memory (ipc.h); here the name
// goes, so clients hear the port is gone rather than talk to a block
// nobody reads, and the console says what happened.
void ReportDamage() {
    for (const std::string& path : ipc::TakeDamageReports()) {
        unlink(path.c_str());
        ConsoleWrite("named object " + path +
                         " was cut short by another process; its port is no longer served "
                         "(restart the driver to serve it again)\n",
                     stdout);
    }
}

}  // namespace

uint32_t RtWaitForSingleObject(RtHandle handle, uint32_t milliseconds) {
    if (Fails(Service::WaitForSingleObject)) return kRtWaitFailed;
    HandleObject* h = LookupAny(handle);
    if (!h) {
        SetLastError(kErrorInvalidHandle);
        return kRtWaitFailed;
    }
    ipc::WaitResult r;
    if (h->type == HandleType::Semaphore) {
        r = ipc::SemaphoreWait(&static_cast<IpcHandle*>(h)->object, milliseconds);
    } else if (h->type == HandleType::Mutex) {
        r = ipc::MutexWait(&static_cast<IpcHandle*>(h)->object, milliseconds);
    } else {
        return kRtWaitFailed;
    }
    ReportDamage();
    switch (r) {
        case ipc::WaitResult::Signaled: return kRtWaitObject0;
        case ipc::WaitResult::Abandoned: return kRtWaitAbandoned;
        case ipc::WaitResult::Timeout: return kRtWaitTimeout;
        default: return kRtWaitFailed;
    }
}

int32_t RtReleaseSemaphore(RtHandle semaphore, int32_t releaseCount, int32_t* previousCount) {
    if (Fails(Service::ReleaseSemaphore)) return 0;
    auto* h = static_cast<IpcHandle*>(Lookup(semaphore, HandleType::Semaphore));
    if (!h) {
        SetLastError(kErrorInvalidHandle);
        return 0;
    }
    return ipc::SemaphoreRelease(&h->object, releaseCount, previousCount) ? 1 : 0;
}

int32_t RtReleaseMutex(RtHandle mutex) {
    if (Fails(Service::ReleaseMutex)) return 0;
    auto* h = static_cast<IpcHandle*>(Lookup(mutex, HandleType::Mutex));
    if (!h) {
        SetLastError(kErrorInvalidHandle);
        return 0;
    }
    return ipc::MutexRelease(&h->object) ? 1 : 0;
}

int32_t RtCloseHandle(RtHandle handle) {
    if (Fails(Service::CloseHandle)) return 0;
    HandleObject* h = LookupAny(handle);
    if (!h || h->type == HandleType::Interrupt || !Unregister(h)) {
        SetLastError(kErrorInvalidHandle);
        return 0;
    }
    if (h->type == HandleType::Thread) {
        auto* t = static_cast<ThreadHandle*>(h);
        {
            std::lock_guard<std::mutex> lock(t->state->m);
            if (!t->state->started) t->state->cancelled = true;
        }
        t->state->cv.notify_all();
    }
    delete h;
    return 1;
}

// ---- threads ----------------------------------------------------------------

RtHandle CreateThread(void*, uint32_t stackSize, RtThreadRoutine routine, void* parameter,
                      uint32_t creationFlags, uint32_t* threadId) {
    if (Fails(Service::CreateThread) || !routine) return nullptr;
    auto state = std::make_shared<ThreadState>();
    state->routine = routine;
    state->parameter = parameter;
    state->suspendCount = (creationFlags & kRtCreateSuspended) ? 1 : 0;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stackSize) pthread_attr_setstacksize(&attr, std::max<size_t>(stackSize, PTHREAD_STACK_MIN));
    auto* holder = new std::shared_ptr<ThreadState>(state);
    int rc = pthread_create(&state->thread, &attr, ThreadTrampoline, holder);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete holder;
        return nullptr;
    }
    if (threadId) *threadId = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(state.get()));
    auto* h = new ThreadHandle;
    h->state = state;
    return Register(h);
}

int32_t RtSetThreadPriority(RtHandle thread, int32_t priority) {
    if (Fails(Service::SetThreadPriority)) return 0;
    std::shared_ptr<ThreadState> state;
    if (thread == kCurrentThreadPseudoHandle) {
        state = SelfState();
    } else {
        auto* h = static_cast<ThreadHandle*>(Lookup(thread, HandleType::Thread));
        if (!h) return 0;
        state = h->state;
    }
    if (priority < 0 || priority > 127) return 0;
    state->priority = priority;
    ApplyPriority(state.get());
    return 1;
}

uint32_t ResumeThread(RtHandle thread) {
    auto* h = static_cast<ThreadHandle*>(Lookup(thread, HandleType::Thread));
    if (!h) return 0xFFFFFFFFu;
    std::lock_guard<std::mutex> lock(h->state->m);
    uint32_t previous = static_cast<uint32_t>(h->state->suspendCount);
    if (h->state->suspendCount > 0) --h->state->suspendCount;
    h->state->cv.notify_all();
    return previous;
}

uint32_t SuspendThread(RtHandle thread) {
    // Only a thread's own suspension is supported: the host cannot stop
    // another thread at an arbitrary point.
    std::shared_ptr<ThreadState> self = SelfState();
    if (thread != kCurrentThreadPseudoHandle) {
        auto* h = static_cast<ThreadHandle*>(Lookup(thread, HandleType::Thread));
        if (!h || h->state != self) return 0xFFFFFFFFu;
    }
    if (g_parkHook) std::call_once(g_parkOnce, [] { g_parkHook(); });
    std::unique_lock<std::mutex> lock(self->m);
    uint32_t previous = static_cast<uint32_t>(self->suspendCount);
    ++self->suspendCount;
    self->cv.wait(lock, [&] { return self->suspendCount == 0; });
    return previous;
}

void ExitThread(uint32_t exitCode) {
    t_self.reset();
    pthread_exit(reinterpret_cast<void*>(static_cast<uintptr_t>(exitCode)));
}

RtHandle GetCurrentThread() { return kCurrentThreadPseudoHandle; }

// ---- interrupts ---------------------------------------------------------------

RtHandle RtAttachInterruptVector(void*, uint32_t, RtIsrRoutine routine, void* context,
                                 uint32_t priority, uint32_t interfaceType, uint32_t,
                                 uint32_t busInterruptLevel, uint32_t) {
    if (interfaceType != kRtInterfacePci) return nullptr;
    return Attach(routine, context, priority, busInterruptLevel, false, nullptr);
}

RtHandle RtAttachInterruptVectorEx(void*, uint32_t, RtIsrRoutine routine, void* context,
                                   uint32_t priority, uint32_t interfaceType, uint32_t,
                                   uint32_t busInterruptLevel, uint32_t, int32_t shared,
                                   uint32_t interruptMode, RtSharedCheckRoutine check) {
    if (interfaceType != kRtInterfacePci || interruptMode != 0) return nullptr;
    return Attach(routine, context, priority, busInterruptLevel, shared != 0, check);
}

int32_t RtReleaseInterruptVector(RtHandle interrupt) {
    if (Fails(Service::ReleaseInterrupt)) return 0;
    auto* h = static_cast<InterruptHandle*>(Lookup(interrupt, HandleType::Interrupt));
    if (!h) return 0;
    Unregister(h);
    IrqLine* line = h->line;
    bool last;
    {
        std::lock_guard<std::mutex> lock(line->m);
        auto& v = line->attachments;
        v.erase(std::remove(v.begin(), v.end(), h), v.end());
        last = v.empty();
    }
    delete h;
    if (last) {
        {
            std::lock_guard<std::mutex> lock(g_irqMutex);
            g_irqLines.erase(line->irq);
        }
        line->cancelled.store(true);
        g_machine->wakeIrqWaiters();
        if (line->thread.joinable()) line->thread.join();
        delete line;
    }
    return 1;
}

void DisableProcessorInterrupts() { g_interruptSection.lock(); }
void EnableProcessorInterrupts() { g_interruptSection.unlock(); }

// ---- console ----------------------------------------------------------------

void RtPrintf(const char* format, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0) return;
    ConsoleWrite(std::string(buffer, std::min<size_t>(static_cast<size_t>(n), sizeof buffer - 1)),
                 stdout);
}

void RtWprintf(const wchar_t* format, ...) {
    // The target's wide %s takes a wide string; the host's takes a narrow
    // one, so every plain %s becomes %ls before formatting.
    std::wstring fmt;
    for (const wchar_t* p = format; *p; ++p) {
        fmt.push_back(*p);
        if (*p != L'%') continue;
        ++p;
        while (*p && std::wcschr(L"-+ #0123456789.", *p)) fmt.push_back(*p++);
        if (!*p) break;
        if (*p == L's') fmt += L"ls";
        else fmt.push_back(*p);
    }
    wchar_t buffer[1024];
    va_list args;
    va_start(args, format);
    int n = vswprintf(buffer, sizeof buffer / sizeof buffer[0], fmt.c_str(), args);
    va_end(args);
    if (n < 0) return;
    std::string out;
    for (int i = 0; i < n; ++i) AppendUtf8(out, static_cast<uint32_t>(buffer[i]));
    ConsoleWrite(out, stdout);
}

void OutputDebugStringA(const char* text) { ConsoleWrite(text ? text : "", stderr); }

void SetLastError(uint32_t code) { t_lastError = code; }
uint32_t GetLastError() { return t_lastError; }

void Sleep(uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

uint32_t GetTickCount() {
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

void ExitProcess(uint32_t exitCode) {
    if (g_exitHook) g_exitHook(exitCode);
    // As an operating system closes a process's handles when it ends, the
    // names of the objects it still holds go with it; the mappings stay
    // for whichever thread still runs until the very end.
    {
        std::lock_guard<std::mutex> lock(g_handleMutex);
        for (HandleObject* h : g_handles) {
            if (h->type == HandleType::Section || h->type == HandleType::Semaphore ||
                h->type == HandleType::Mutex) {
                ipc::Unname(&static_cast<IpcHandle*>(h)->object);
            }
        }
    }
    fflush(stdout);
    fflush(stderr);
    _exit(static_cast<int>(exitCode));
}

int32_t _RtssAttachProcessW(uint32_t, void*, RtStartRoutine start) { return start(0, 0); }

void RtGetWideArguments(int32_t* count, char16_t*** vector) {
    std::lock_guard<std::mutex> lock(g_argMutex);
    if (g_argVector.empty()) {
        g_argBuffers.assign(1, std::vector<char16_t>{u'q', 0});
        g_argVector = {g_argBuffers[0].data(), nullptr};
    }
    *count = static_cast<int32_t>(g_argVector.size() - 1);
    *vector = g_argVector.data();
}
