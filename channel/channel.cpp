// Named request channels and their server threads.
#include "channel/channel.h"

#include <cstring>

namespace {

thread_local DeviceChannel* t_channel = nullptr;

// Block fields are shared with other processes: every access is one
// volatile load or store, so a value is read exactly once where it is used.
void StoreU32(uint8_t* block, uint32_t offset, uint32_t value) {
    volatile uint8_t* p = block + offset;
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

// The 32-bit address fields hold tokens on a 64-bit host: the low half of
// the server's address, written for clients to see, never translated back.
uint32_t AddressToken(const void* p) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p));
}

// The fields only the server writes are put back with every reply, so a
// client that scribbled over them misleads nobody after it.
void RestoreServerFields(DeviceChannel* channel) {
    StoreU32(channel->block, kBlockDataCapacity, channel->dataCapacity);
    StoreU32(channel->block, kBlockNamePtr, AddressToken(channel->nameCopy));
    channel->block[kBlockNameLength] = static_cast<uint8_t>(channel->nameLength);
    if (channel->opened) channel->block[kBlockPortNumber] = channel->ownPort;
}

void SetSuffix(DeviceChannel* channel, const char* suffix) {
    char* end = channel->nameBuffer + channel->nameLength;
    if (suffix) {
        end[0] = suffix[0];
        end[1] = suffix[1];
        end[2] = suffix[2];
        end[3] = 0;
    } else {
        end[0] = 0;
    }
}

}  // namespace

DeviceChannel* CurrentChannel() { return t_channel; }
void SetCurrentChannel(DeviceChannel* channel) { t_channel = channel; }

void CopyBytes(void* destination, const void* source, int32_t count) {
    auto* d = static_cast<volatile uint8_t*>(destination);
    auto* s = static_cast<const volatile uint8_t*>(source);
    for (int32_t i = 0; i < count; ++i) d[i] = s[i];
}

namespace {

// How far a registration got, for undoing it in the reverse order.
enum RegistrationStage {
    kHaveRecord,
    kHaveSection,
    kHaveNameCopy,
    kHaveRequestSemaphore,
    kHaveReplySemaphore,
    kHaveMutex,
    kHaveThread,
};

// Releases, newest first, what a failed registration made; then sets the
// failure's last error.
DeviceChannel* FailRegistration(DeviceChannel* channel, RegistrationStage stage, RtHandle thread,
                                uint32_t error) {
    if (stage >= kHaveThread) RtCloseHandle(thread);  // still suspended: it never runs
    if (stage >= kHaveMutex) RtCloseHandle(channel->mutex);
    if (stage >= kHaveReplySemaphore) RtCloseHandle(channel->replySemaphore);
    if (stage >= kHaveRequestSemaphore) RtCloseHandle(channel->requestSemaphore);
    if (stage >= kHaveSection) RtCloseHandle(channel->sharedMemory);
    if (stage >= kHaveNameCopy) RtFreeLockedMemory(channel->nameCopy);
    RtFreeLockedMemory(channel);
    SetLastError(error);
    return nullptr;
}

}  // namespace

DeviceChannel* RegisterDevice(const char* name, DispatchRoutine dispatch, uint32_t stackSize,
                              int32_t priority, uint32_t dataSize) {
    uint32_t n = static_cast<uint32_t>(std::strlen(name));
    auto* channel = static_cast<DeviceChannel*>(
        RtAllocateLockedMemory(static_cast<uint32_t>(sizeof(DeviceChannel)) + n + 4));
    if (!channel) {
        SetLastError(kErrorNotEnoughMemory);
        return nullptr;
    }
    channel->nameBuffer = reinterpret_cast<char*>(channel + 1);
    channel->nameLength = n;
    channel->dataCapacity = dataSize;
    std::memcpy(channel->nameBuffer, name, n + 1);
    channel->dispatch = dispatch;

    SetSuffix(channel, ".sm");
    void* location = nullptr;
    channel->sharedMemory = RtCreateSharedMemoryA(kRtPageReadWrite, 0, dataSize + kBlockHeaderBytes,
                                                  channel->nameBuffer, &location);
    if (!channel->sharedMemory) {
        return FailRegistration(channel, kHaveRecord, nullptr, kErrorAlreadyExists);
    }
    channel->block = static_cast<uint8_t*>(location);

    channel->nameCopy = static_cast<char*>(RtAllocateLockedMemory(n ? n : 1));
    if (!channel->nameCopy) {
        return FailRegistration(channel, kHaveSection, nullptr, kErrorNotEnoughMemory);
    }
    CopyBytes(channel->nameCopy, name, static_cast<int32_t>(n));
    StoreU32(channel->block, kBlockNamePtr, AddressToken(channel->nameCopy));
    channel->block[kBlockNameLength] = static_cast<uint8_t>(n);
    StoreU32(channel->block, kBlockDataCapacity, dataSize);
    StoreU32(channel->block, kBlockStatus, 0);

    SetSuffix(channel, ".s1");
    channel->requestSemaphore = RtCreateSemaphoreA(nullptr, 0, 1, channel->nameBuffer);
    if (!channel->requestSemaphore) {
        return FailRegistration(channel, kHaveNameCopy, nullptr, kErrorPathNotFound);
    }
    SetSuffix(channel, ".s2");
    channel->replySemaphore = RtCreateSemaphoreA(nullptr, 0, 1, channel->nameBuffer);
    if (!channel->replySemaphore) {
        return FailRegistration(channel, kHaveRequestSemaphore, nullptr, kErrorPathNotFound);
    }
    SetSuffix(channel, nullptr);
    channel->mutex = RtCreateMutexA(nullptr, 0, channel->nameBuffer);
    if (!channel->mutex) {
        return FailRegistration(channel, kHaveReplySemaphore, nullptr, kErrorPathNotFound);
    }
    RtHandle thread = CreateThread(nullptr, stackSize, DeviceServerThread, channel,
                                   kRtCreateSuspended, nullptr);
    if (!thread) return FailRegistration(channel, kHaveMutex, nullptr, kErrorPathNotFound);
    if (!RtSetThreadPriority(thread, priority)) {
        return FailRegistration(channel, kHaveThread, thread, kErrorPathNotFound);
    }
    ResumeThread(thread);
    RtCloseHandle(thread);  // the thread is stopped through the stop request, not its handle
    return channel;
}

uint32_t DeviceServerThread(void* parameter) {
    auto* channel = static_cast<DeviceChannel*>(parameter);
    t_channel = channel;
    for (;;) {
        // The wait wakes now and then on its own: a client can zero the
        // request count in its block, but it cannot keep the thread from
        // seeing a stop.
        uint32_t waited = RtWaitForSingleObject(channel->requestSemaphore, kServerWakeMs);
        // Only UnregisterDevice stops the thread: a client that writes the
        // stop code gets the unknown-command status like any other code.
        if (channel->stopRequested.load(std::memory_order_acquire)) {
            // The stop mark is the last thing the thread touches: the
            // record is freed once UnregisterDevice has seen it.
            RtReleaseSemaphore(channel->replySemaphore, 1, nullptr);
            channel->serverStopped.store(1, std::memory_order_release);
            ExitThread(0);
        }
        if (waited == kRtWaitTimeout) continue;
        if (waited == kRtWaitFailed) {
            Sleep(kServerWakeMs);  // never spin on a wait that keeps failing
            continue;
        }
        StoreU32(channel->block, kBlockDataPtr, AddressToken(channel->block + kBlockData));
        uint32_t status = channel->dispatch(channel->block + kBlockNamePtr);
        // The request is consumed: a post with nothing new written finds
        // no command and changes nothing.
        StoreU32(channel->block, kBlockCommand, 0);
        RestoreServerFields(channel);
        StoreU32(channel->block, kBlockStatus, status);
        // A failed release means the reply is already signalled (a client
        // posted it out of turn); the thread serves on.
        RtReleaseSemaphore(channel->replySemaphore, 1, nullptr);
    }
}

int32_t UnregisterDevice(DeviceChannel* channel) {
    if (!channel) {
        SetLastError(kErrorInvalidHandle);
        return 0;
    }
    // The mutex lives in memory every client can write, so the server never
    // takes it: the stop is a server-private flag and one post. A post that
    // fails (a client left the count at its maximum) still wakes the
    // thread, and its periodic wake-up covers a count a client zeroed.
    channel->stopRequested.store(1, std::memory_order_release);
    StoreU32(channel->block, kBlockCommand, CommandStop);
    RtReleaseSemaphore(channel->requestSemaphore, 1, nullptr);
    // Nothing is released while the server thread can still run: it always
    // comes to its stop mark, since a dispatch is bounded.
    while (!channel->serverStopped.load(std::memory_order_acquire)) Sleep(1);
    bool ok = true;
    ok = RtCloseHandle(channel->mutex) && ok;
    ok = RtCloseHandle(channel->replySemaphore) && ok;
    ok = RtCloseHandle(channel->requestSemaphore) && ok;
    ok = RtCloseHandle(channel->sharedMemory) && ok;
    RtFreeLockedMemory(channel->nameCopy);
    ok = RtFreeLockedMemory(channel) && ok;
    return ok ? 1 : 0;
}
