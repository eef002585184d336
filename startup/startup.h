// Start-up and board bring-up: process entry, options, PCI discovery and
// the board registers, the board-model table, port set-up, interrupt
// attachment and tear-down.
#pragma once

#include <cstdint>

#include "platform/rtapi.h"

struct PortContext;
struct DeviceChannel;

// ---- options (written by main before any other thread exists) --------------
extern uint8_t g_IrqLine;        // -Q: the IRQ of the board to serve
extern uint8_t g_PortNameBase;   // -P: added to each port index in its device name
extern uint8_t g_IrqShared;      // -S: 1 shareable interrupt, 0 exclusive

// ---- board (written during bring-up on the main thread, then fixed) ---------
extern uint8_t g_PortCount;       // 2, 4 or 8; 0 for an unknown model
extern uint32_t g_IntStatusPort;  // I/O address of the interrupt status register
extern uint32_t g_BridgeIoBase;   // I/O base of the bridge window
extern uint32_t g_LocalIoBase;    // I/O base of the local control registers
extern uint8_t g_UartKind;        // 3, 4 or 5
extern uint32_t g_UartClock;      // UART input clock in Hz
extern RtHandle g_InterruptHandle;
extern DeviceChannel* g_Channels[8];

// PCI identity of the family.
constexpr uint16_t kBoardVendorId = 0x11B0;
constexpr uint16_t kBoardSubsystemVendorId = 0x12C4;

// Bridge window and UART window registers.
constexpr uint32_t kBridgeLocalBase = 0x14;   // 16 bit
constexpr uint32_t kBridgePortGate = 0xC0;    // port interrupt enable, bit n = port n
constexpr uint32_t kEnableMirror = 0x4C;      // from a UART base with its low 8 bits cleared
constexpr uint32_t kBoardOptions = 0x74;      // from port 0's UART base
constexpr uint32_t kLocalReg6C = 0x6C;
constexpr uint32_t kLocalReg70 = 0x70;

// ---- board models -------------------------------------------------------------
typedef uint16_t BoardModel;
typedef uint8_t UartKind;

struct BoardModelRow {
    uint8_t ports;
    UartKind uartKind;
    uint32_t uartClock;
};
// Row for models 1..16; null for any other subsystem ID.
const BoardModelRow* FindBoardModel(BoardModel model);
uint8_t PortCountOfModel(BoardModel model);  // 0 for an unknown model
void ApplyBoardModel(BoardModel model, uint8_t portIndex, PortContext* ctx);
void ApplyFifoFigures(PortContext* ctx);

// ---- entry ---------------------------------------------------------------------
uint32_t ImageEntry(uint32_t firstWord, void* loaderRecord);
int32_t StartRoutine(uint32_t first, uint32_t second);
int32_t NarrowArguments(int32_t count, char16_t** vector);
namespace driver {
// The driver's main. On the host the C entry point belongs to the launcher.
int32_t main(int32_t argc, char** argv);
}
// The option scan alone (main without the bring-up and parking): returns
// 1 to go on with the bring-up, 0 when main ends early.
int32_t ScanOptions(int32_t argc, char** argv);

// ---- discovery and bring-up ------------------------------------------------------
void FindBoard();
void SetPortInterruptGate(PortContext* port, uint8_t portOrdinal, uint8_t enable);
// True for a port whose context exists with a usable UART window.
bool PortUsable(uint8_t portIndex);

int32_t SetupPorts(uint8_t portCount, uint32_t bus, const uint8_t* header);
uint16_t AttachBoardInterrupt(const uint8_t* header, uint32_t bus, uint8_t shared);
int32_t SharedInterruptCheck(void* context);
void ShutdownBoard();
[[noreturn]] void FatalError(const wchar_t* text);

// Back to the state at load (tests only).
void ResetDriverState();
