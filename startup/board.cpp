// Board discovery on the PCI bus, the board's windows, and the per-port
// interrupt gate.
#include "serial/port.h"
#include "startup/startup.h"

uint8_t g_PortCount;
uint32_t g_IntStatusPort;
uint32_t g_BridgeIoBase;
uint32_t g_LocalIoBase;

namespace {

// Standard type-0 configuration header fields.
constexpr uint32_t kCfgVendorId = 0x00;
constexpr uint32_t kCfgBar0 = 0x10;
constexpr uint32_t kCfgBar1 = 0x14;
constexpr uint32_t kCfgSubsystem = 0x2C;  // subsystem vendor ID, then subsystem ID
constexpr uint32_t kCfgSubsystemId = 0x2E;
constexpr uint32_t kCfgInterruptLine = 0x3C;
constexpr uint32_t kHeaderBytes = 64;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool TranslateIo(uint32_t bus, uint32_t busAddress, uint32_t* hostAddress) {
    BusAddress address = {busAddress, 0};
    BusAddress translated = {0, 0};
    uint32_t addressSpace = 1;  // I/O space
    if (!RtTranslateBusAddress(kRtInterfacePci, bus, address, &addressSpace, &translated)) {
        return false;
    }
    *hostAddress = translated.lowPart;
    return true;
}

// Steps after the board is found; each failure prints its message and
// ends the bring-up, leaving what was enabled in place.
void BringUpBoard(uint32_t bus, const uint8_t* header) {
    BoardModel model = Le16(header + kCfgSubsystemId);
    g_PortCount = PortCountOfModel(model);

    uint32_t bar0 = Le32(header + kCfgBar0);
    uint32_t bar1 = Le32(header + kCfgBar1);
    if (!TranslateIo(bus, bar1 + 0x4B, &g_IntStatusPort)) {
        RtPrintf("RtTranslateBusAddress failed for BAR1\n");
        return;
    }
    if (!RtEnablePortIo(g_IntStatusPort, 1)) {
        RtPrintf("RtEnablePortIo failed for InterruptStatus\n");
        return;
    }
    if (!TranslateIo(bus, bar0 - 1, &g_BridgeIoBase)) {
        RtPrintf("RtTranslateBusAddress failed for BAR0\n");
        return;
    }
    if (!RtEnablePortIo(g_BridgeIoBase, 255)) {
        RtPrintf("RtEnablePortIo failed for V3Base\n");
        return;
    }
    g_LocalIoBase = RtReadPortUshort(g_BridgeIoBase + kBridgeLocalBase) & 0xFF00u;

    SetupPorts(g_PortCount, bus, header);

    // Open each port's gate with its UART's interrupts off. Clients can
    // reach the ports already: a port whose gate a client's line settings
    // opened is left as the client set it. The gate register is shared
    // with the server threads, so its read-modify-write runs in a section.
    for (uint8_t k = 0; k < g_PortCount; ++k) {
        if (!PortUsable(k)) continue;
        PortContext* port = g_Ports[k];
        DisableProcessorInterrupts();
        uint8_t gates = RtReadPortUchar(g_BridgeIoBase + kBridgePortGate);
        if (((gates >> k) & 1) == 0) {
            SetPortInterruptGate(port, static_cast<uint8_t>(k + 1), 1);
            RtWritePortUchar(port->ioBase + kUartIer, 0);
        }
        EnableProcessorInterrupts();
    }

    AttachBoardInterrupt(header, bus, g_IrqShared);
}

}  // namespace

void FindBoard() {
    uint8_t header[kHeaderBytes];
    bool boardSeen = false;
    for (uint32_t bus = 0;; ++bus) {
        for (uint32_t device = 0; device < 32; ++device) {
            for (uint32_t function = 0; function < 8; ++function) {
                uint32_t slot = device | (function << 5);
                uint32_t got = RtGetBusDataByOffset(kRtPciConfiguration, bus, slot, header,
                                                    kCfgVendorId, kHeaderBytes);
                if (got == 0) goto scanEnd;  // no such bus: the scan is over
                uint16_t vendor = Le16(header + kCfgVendorId);
                if (got == 2 && vendor == 0xFFFF) break;  // empty: next device
                uint8_t subsystem[4] = {0, 0, 0, 0};
                RtGetBusDataByOffset(kRtPciConfiguration, bus, slot, subsystem, kCfgSubsystem, 4);
                if (vendor == kBoardVendorId && Le16(subsystem) == kBoardSubsystemVendorId) {
                    boardSeen = true;
                    if (header[kCfgInterruptLine] == g_IrqLine) {
                        BringUpBoard(bus, header);
                        return;
                    }
                    break;  // a board on another line: next device
                }
            }
        }
    }
scanEnd:
    if (boardSeen) {
        RtPrintf("Supplied IRQ is not attached to any Quillmar board.\n");
    } else {
        RtPrintf("There is no Quillmar board in the system.\n");
    }
}

void SetPortInterruptGate(PortContext* port, uint8_t portOrdinal, uint8_t enable) {
    uint8_t gates = RtReadPortUchar(g_BridgeIoBase + kBridgePortGate);
    uint32_t shift = static_cast<uint32_t>(portOrdinal) - 1u;
    uint8_t mask = shift < 8 ? static_cast<uint8_t>(1u << shift) : 0;  // formed in 8 bits
    if (enable) {
        gates = static_cast<uint8_t>(gates | mask);
    } else {
        gates = static_cast<uint8_t>(gates & ~mask);
    }
    RtWritePortUchar(g_BridgeIoBase + kBridgePortGate, gates);
    RtWritePortUchar((port->ioBase & ~0xFFu) + kEnableMirror, gates);
}
