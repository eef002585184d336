// Port set-up: a context, a UART window, the model row, a device name and
// a registered request channel for each port of the found board.
#include <cstdio>

#include "channel/channel.h"
#include "serial/port.h"
#include "startup/startup.h"

PortContext* g_Ports[8];
DeviceChannel* g_Channels[8];

namespace {
// Bit n: port n's UART window was translated and granted.
uint8_t g_PortWindowReady;
}  // namespace

bool PortUsable(uint8_t portIndex) {
    return portIndex < 8 && g_Ports[portIndex] && ((g_PortWindowReady >> portIndex) & 1);
}

int32_t SetupPorts(uint8_t portCount, uint32_t bus, const uint8_t* header) {
    uint32_t bar1 = static_cast<uint32_t>(header[0x14]) | (static_cast<uint32_t>(header[0x15]) << 8) |
                    (static_cast<uint32_t>(header[0x16]) << 16) |
                    (static_cast<uint32_t>(header[0x17]) << 24);
    BoardModel model = static_cast<BoardModel>(header[0x2E] | (header[0x2F] << 8));
    uint32_t addressSpace = 1;  // I/O space, handed to every port's translation
    for (uint8_t n = 0; n < portCount; ++n) {
        auto* ctx = static_cast<PortContext*>(RtAllocateLockedMemory(sizeof(PortContext)));
        g_Ports[n] = ctx;
        if (!ctx) return 0;

        BusAddress address = {bar1 + 8u * n - 1u, 0};
        BusAddress translated = {0, 0};
        if (!RtTranslateBusAddress(kRtInterfacePci, bus, address, &addressSpace, &translated)) {
            return 0;
        }
        ctx->ioBase = translated.lowPart;
        if (!RtEnablePortIo(ctx->ioBase, 8)) {
            RtPrintf("RtEnablePortIo failed for UART\n");
            return 0;
        }
        g_PortWindowReady = static_cast<uint8_t>(g_PortWindowReady | (1u << n));

        ctx->boardOptions = RtReadPortUchar(g_Ports[0]->ioBase + kBoardOptions);
        ApplyBoardModel(model, n, ctx);
        ApplyFifoFigures(ctx);

        PortNameEntry* entry = &g_PortNames[n];
        snprintf(entry->path, sizeof entry->path, "\\RtDevice\\Quillmar\\Serial%d",
                 n + g_PortNameBase);
        entry->portNumber = n;

        g_Channels[n] = RegisterDevice(entry->path, DispatchRequest, 0, 121, 8192);
        if (!g_Channels[n]) {
            uint32_t error = GetLastError();
            RtPrintf("Failed to register Quillmar driver (error=%d).\n", static_cast<int>(error));
            if (error == kErrorAlreadyExists) RtPrintf("Driver by this name is already loaded.\n");
            return -1;
        }
        RtPrintf("%s driver loaded\n", entry->path);
    }
    return 1;
}

void ResetDriverState() {
    for (uint8_t n = 0; n < 8; ++n) {
        if (g_Ports[n]) RtFreeLockedMemory(g_Ports[n]);
        g_Ports[n] = nullptr;
        g_Channels[n] = nullptr;
        g_PortNames[n] = PortNameEntry{};
    }
    g_PortWindowReady = 0;
    g_IrqLine = g_PortNameBase = g_IrqShared = 0;
    g_PortCount = 0;
    g_IntStatusPort = g_BridgeIoBase = g_LocalIoBase = 0;
    g_UartKind = 0;
    g_UartClock = 0;
    g_InterruptHandle = nullptr;
}
