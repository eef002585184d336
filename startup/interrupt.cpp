// Interrupt attachment and tear-down.
#include "channel/channel.h"
#include "serial/port.h"
#include "startup/startup.h"

RtHandle g_InterruptHandle;

uint16_t AttachBoardInterrupt(const uint8_t* header, uint32_t bus, uint8_t shared) {
    uint32_t line = header[0x3C];
    if (shared) {
        g_InterruptHandle = RtAttachInterruptVectorEx(nullptr, 0, BoardIsr, &g_IntStatusPort, 127,
                                                      kRtInterfacePci, bus, line, line, shared, 0,
                                                      SharedInterruptCheck);
    } else {
        g_InterruptHandle = RtAttachInterruptVector(nullptr, 0, BoardIsr, &g_IntStatusPort, 127,
                                                    kRtInterfacePci, bus, line, line);
    }
    if (!g_InterruptHandle) {
        RtPrintf("RtAttachInterruptVectorEx failed %x\n", GetLastError());
        return 8;
    }
    return 0;
}

int32_t SharedInterruptCheck(void* context) {
    if (!context) {
        OutputDebugStringA("Isr context NULL\n");
        return 0;
    }
    uint32_t statusPort = *static_cast<const uint32_t*>(context);
    return RtReadPortUchar(statusPort) != 0 ? 2 : 0;
}

void ShutdownBoard() {
    // Quiet every port first, all in one section: UART interrupts off and
    // gates closed before any window is given back.
    DisableProcessorInterrupts();
    for (uint8_t n = 0; n < g_PortCount; ++n) {
        if (!PortUsable(n)) continue;
        RtWritePortUchar(g_Ports[n]->ioBase + kUartIer, 0);
        SetPortInterruptGate(g_Ports[n], static_cast<uint8_t>(n + 1), 0);
    }
    EnableProcessorInterrupts();
    for (uint8_t n = 0; n < g_PortCount; ++n) {
        if (PortUsable(n)) RtDisablePortIo(g_Ports[n]->ioBase, 8);
    }

    // Nothing was attached (no board, another IRQ, a failed attachment):
    // there is no interrupt or window to give back.
    if (g_InterruptHandle) {
        RtDisablePortIo(g_IntStatusPort, 1);
        RtDisablePortIo(g_BridgeIoBase, 255);
        int32_t released = RtReleaseInterruptVector(g_InterruptHandle);
        Sleep(3000);
        if (!released) FatalError(L"Could not release interrupt for this device.");
        g_InterruptHandle = nullptr;
    }

    for (uint8_t n = 0; n < g_PortCount; ++n) {
        if (g_Channels[n]) {
            UnregisterDevice(g_Channels[n]);
            g_Channels[n] = nullptr;
        }
    }
    for (uint8_t n = 0; n < g_PortCount; ++n) {
        if (g_Ports[n]) {
            RtFreeLockedMemory(g_Ports[n]);
            g_Ports[n] = nullptr;
        }
    }
}

void FatalError(const wchar_t* text) {
    uint32_t code = GetLastError();
    RtWprintf(L"Error: %s (0x%X)\n", text, code);
    ExitProcess(1);
}
