// The device request channel: a named shared-memory request block, two
// named semaphores and a named mutex per device, a server thread that
// hands each request to a dispatch routine; and the serial command
// dispatcher.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/rtapi.h"

// ---- RequestBlock: byte offsets in the shared section (little-endian) -----
enum : uint32_t {
    kBlockDataCapacity = 0,  // u32, server at registration
    kBlockNamePtr = 4,       // u32 token of the server's name copy (never followed)
    kBlockNameLength = 8,    // u8
    kBlockCommand = 16,      // u32, client (and the stop code)
    kBlockPortNumber = 20,   // u8, server on command 1
    kBlockDataPtr = 24,      // u32 token of the server's address of data
    kBlockLength = 28,       // u32, client
    kBlockResultCount = 32,  // u32, server
    kBlockStatus = 36,       // u32, server
    kBlockData = 40,         // dataCapacity bytes
    kBlockHeaderBytes = 44,  // the section is data size + 44 bytes long
};

enum : uint32_t {
    CommandOpen = 1,
    CommandClose = 2,
    CommandRead = 3,
    CommandWrite = 4,
    CommandSetLineSettings = 6,
    CommandSetRts = 7,
    CommandClearRts = 8,
    CommandSetDtr = 9,
    CommandClearDtr = 10,
    CommandGetModemStatus = 11,
    CommandGetLineStatus = 12,
    CommandGetModemControl = 13,
    CommandSetBreak = 14,
    CommandClearBreak = 15,
    CommandGetLineErrors = 16,
    CommandGetRxCount = 17,
    CommandStop = 0x7FFFFFFF,
};

// Status of a request the dispatcher refuses because a client-written field
// is out of range (it touches no port then).
constexpr uint32_t kStatusInvalidRequest = kErrorInvalidParameter;
// Status of a code outside the command table.
constexpr uint32_t kStatusUnknownCommand = kErrorInvalidFunction;

// Dispatch routine: the address of the block's namePtr field (block + 4);
// every field lies at its block offset less 4.
typedef uint32_t (*DispatchRoutine)(uint8_t* request);

// Server-side record of one registered device; one allocation of locked
// memory holds it and the trailing name buffer.
struct DeviceChannel {
    RtHandle sharedMemory;
    RtHandle mutex;
    RtHandle requestSemaphore;
    RtHandle replySemaphore;
    DispatchRoutine dispatch;
    uint8_t* block;            // the server's mapping of the RequestBlock
    char* nameBuffer;          // name length + 4 bytes, right after this record
    // Server-private state, out of every client's reach:
    char* nameCopy;            // the device name, exactly nameLength bytes
    uint32_t nameLength;
    uint32_t dataCapacity;
    std::atomic<uint32_t> stopRequested;  // set by UnregisterDevice only
    std::atomic<uint32_t> serverStopped;  // set by the server as its last act
    uint32_t opened;           // a command 1 has bound the channel to its port
    uint8_t ownPort;           // the port that command 1 resolved
    // "Driver name ... does not exist." at most once a second per channel.
    uint32_t unknownNameTick;
    uint32_t unknownNameSuppressed;
};

DeviceChannel* RegisterDevice(const char* name, DispatchRoutine dispatch, uint32_t stackSize,
                              int32_t priority, uint32_t dataSize);
int32_t UnregisterDevice(DeviceChannel* channel);
uint32_t DeviceServerThread(void* channel);
void CopyBytes(void* destination, const void* source, int32_t count);

// The channel whose server thread is running the current dispatch.
DeviceChannel* CurrentChannel();
// Binds the calling thread to a channel (the server thread does it first).
void SetCurrentChannel(DeviceChannel* channel);

// How often a waiting server thread looks at its stop flag by itself.
constexpr uint32_t kServerWakeMs = 100;

// ---- dispatcher ---------------------------------------------------------------
struct PortNameEntry {
    char path[100];
    uint8_t portNumber;
};
extern PortNameEntry g_PortNames[8];

uint32_t DispatchRequest(uint8_t* request);
