// The serial command dispatcher: one request on one port per call.
#include <cstring>

#include "channel/channel.h"
#include "serial/port.h"
#include "startup/startup.h"

PortNameEntry g_PortNames[8];

namespace {

constexpr uint32_t kNameBufferBytes = 100;

// Fields at their block offset less 4 from the request address; each is
// read once (volatile) into a local before it is checked and used.
uint32_t LoadU32(const uint8_t* request, uint32_t blockOffset) {
    const volatile uint8_t* p = request + blockOffset - 4;
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
void StoreU32(uint8_t* request, uint32_t blockOffset, uint32_t value) {
    volatile uint8_t* p = request + blockOffset - 4;
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}
void StoreU8(uint8_t* request, uint32_t blockOffset, uint8_t value) {
    *(volatile uint8_t*)(request + blockOffset - 4) = value;
}

// A client can repeat a request that fails the name lookup as fast as it
// likes: the console gets the first message, then at most one a second
// with the count of those left out.
void ReportUnknownName(DeviceChannel* channel, const char* name) {
    uint32_t now = GetTickCount();
    if (channel->unknownNameTick != 0 && now - channel->unknownNameTick < 1000) {
        ++channel->unknownNameSuppressed;
        return;
    }
    RtPrintf("Driver name %s does not exist.\n", name);
    if (channel->unknownNameSuppressed) {
        RtPrintf("(%u more requests for that name)\n", channel->unknownNameSuppressed);
    }
    channel->unknownNameTick = now ? now : 1;
    channel->unknownNameSuppressed = 0;
}

// Command 1: the device name from the server's own copy, at the server's
// own length (the block's copies are never trusted), looked up in the
// port-name table. An entry matches every name that begins with its whole
// path; empty entries (ports the board lacks) match nothing.
uint32_t OpenByName(uint8_t* request, DeviceChannel* channel) {
    if (!channel || channel->nameLength >= kNameBufferBytes) return kStatusInvalidRequest;
    char name[kNameBufferBytes];
    std::memset(name, 0, sizeof name);
    CopyBytes(name, channel->nameCopy, static_cast<int32_t>(channel->nameLength));
    for (uint8_t entry = 0; entry < 8; ++entry) {
        size_t length = std::strlen(g_PortNames[entry].path);
        if (length == 0) continue;
        if (std::memcmp(name, g_PortNames[entry].path, length) != 0) continue;
        uint8_t port = g_PortNames[entry].portNumber;
        StoreU8(request, kBlockPortNumber, port);
        channel->ownPort = port;
        channel->opened = 1;
        OpenPort(port);
        return 0;
    }
    ReportUnknownName(channel, name);
    SetLastError(kErrorInvalidParameter);
    return 0;
}

}  // namespace

uint32_t DispatchRequest(uint8_t* request) {
    uint32_t command = LoadU32(request, kBlockCommand);
    if (command - 1u > 16u || command == 5) return kStatusUnknownCommand;

    DeviceChannel* channel = CurrentChannel();
    if (command == CommandOpen) return OpenByName(request, channel);

    // Every other command works on the channel's own port, and only after
    // a command 1 bound the channel to it. The block's portNumber is never
    // read: whatever a client writes there, it reaches no other port, and
    // the server puts its own value back with the reply.
    if (!channel || !channel->opened) return kStatusInvalidRequest;
    uint8_t port = channel->ownPort;
    if (port >= 8 || !g_Ports[port]) return kStatusInvalidRequest;
    PortContext* ctx = g_Ports[port];
    // The server's own address of data; the dataPtr field is never trusted.
    uint8_t* data = request + kBlockData - 4;
    uint32_t resultCount = 0;

    switch (command) {
        case CommandClose:
            ClosePort(port);
            return 0;
        case CommandRead:
        case CommandWrite: {
            uint32_t length = LoadU32(request, kBlockLength);
            if (length > channel->dataCapacity) return kStatusInvalidRequest;
            if (command == CommandRead) ReadPort(port, data, length, &resultCount);
            else WritePort(port, data, length, &resultCount);
            StoreU32(request, kBlockResultCount, resultCount);
            return 0;
        }
        case CommandSetLineSettings: {
            uint8_t record[sizeof(LineSettings)];
            CopyBytes(record, data, sizeof record);  // one snapshot of the client's bytes
            uint16_t result = SetLineSettings(port, record);
            StoreU32(request, kBlockResultCount, result == 0 ? 1 : 0);
            return 0;
        }
        case CommandSetRts: SetRts(ctx); return 0;
        case CommandClearRts: ClearRts(ctx); return 0;
        case CommandSetDtr: SetDtr(ctx); return 0;
        case CommandClearDtr: ClearDtr(ctx); return 0;
        case CommandGetModemStatus:
            data[0] = RtReadPortUchar(ctx->ioBase + kUartMsr);
            StoreU32(request, kBlockResultCount, 1);
            return 0;
        case CommandGetLineStatus: {
            // Reading LSR clears its error bits before the interrupt side
            // sees them: they are kept where the interrupt side keeps them.
            uint8_t lsr = RtReadPortUchar(ctx->ioBase + kUartLsr);
            if (lsr & kLsrErrorBits) ctx->lineErrors.fetch_or(lsr & kLsrErrorBits, std::memory_order_relaxed);
            data[0] = lsr;
            StoreU32(request, kBlockResultCount, 1);
            return 0;
        }
        case CommandGetModemControl:
            data[0] = RtReadPortUchar(ctx->ioBase + kUartMcr) & (kMcrDtr | kMcrRts);
            StoreU32(request, kBlockResultCount, 1);
            return 0;
        case CommandSetBreak: SetBreak(ctx); return 0;
        case CommandClearBreak: ClearBreak(ctx); return 0;
        case CommandGetLineErrors:
            data[0] = ctx->lineErrors.load(std::memory_order_relaxed);
            StoreU32(request, kBlockResultCount, 1);
            return 0;
        case CommandGetRxCount: {
            DisableProcessorInterrupts();
            uint32_t count = ctx->rxCount.load(std::memory_order_relaxed);
            EnableProcessorInterrupts();
            for (int i = 0; i < 4; ++i) data[i] = static_cast<uint8_t>(count >> (8 * i));
            StoreU32(request, kBlockResultCount, 4);
            return 0;
        }
        default:
            return kStatusUnknownCommand;
    }
}
