// The serial port engine: per-port context, rings, interrupt service, UART
// programming, open and close, line settings, modem and break control.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// ---- UART register block (offsets from a port's ioBase) -------------------
enum : uint32_t {
    kUartRbr = 0,  // read: receive buffer; write: THR; DLL with LCR bit 7; TRG in the enhanced bank
    kUartThr = 0,
    kUartDll = 0,
    kUartTrg = 0,
    kUartIer = 1,  // DLM with LCR bit 7; FCTR in the enhanced bank
    kUartDlm = 1,
    kUartFctr = 1,
    kUartIir = 2,  // read: IIR; write: FCR; EFR in the enhanced bank
    kUartFcr = 2,
    kUartEfr = 2,
    kUartLcr = 3,
    kUartMcr = 4,  // XON1 in the enhanced bank
    kUartXon1 = 4,
    kUartLsr = 5,  // XON2 in the enhanced bank
    kUartXon2 = 5,
    kUartMsr = 6,  // XOFF1 in the enhanced bank
    kUartXoff1 = 6,
    kUartSpr = 7,  // XOFF2 in the enhanced bank
    kUartXoff2 = 7,
};

enum : uint8_t {
    kIerAll = 0x0F,          // received data, transmitter empty, line status, modem status
    kIerReceivedData = 0x01, // received data and character time-out
    kIirNoInterrupt = 0x01,  // IIR bit 0: nothing pending
    kIirModemStatus = 0x00,
    kIirTransmitEmpty = 0x02,
    kIirReceivedData = 0x04,
    kIirLineStatus = 0x06,
    kIirCharTimeout = 0x0C,
    kLcrBreak = 0x40,
    kLcrDivisorLatch = 0x80,
    kLcrEnhancedBank = 0xBF,  // this LCR value selects EFR, XON/XOFF, FCTR, TRG
    kMcrDtr = 0x01,
    kMcrRts = 0x02,
    kMcrOut2 = 0x08,
    kLsrDataReady = 0x01,
    kLsrOverrun = 0x02,
    kLsrFifoError = 0x80,
    kLsrErrorBits = 0x9E,     // overrun, parity, framing, break, error in FIFO
    kFcrEnableAndReset = 0x07,
};

constexpr uint32_t kRingSize = 8192;

// ---- LineSettings: the 16-byte record of the request protocol -------------
// Little-endian wire format; on a little-endian host the record is its own
// wire image.
struct LineSettings {
    int32_t baudRate;       // bit/s, 1 and up
    char parity;            // 'e', 'm', 'n', 'o', 's'
    uint8_t stopBits;       // 1, 2, or 3 (one and a half, 5 data bits only)
    uint8_t dataBits;       // 5..8
    uint8_t reserved7;
    uint32_t softwareFlow;  // not 0: in-UART XON/XOFF both ways
    uint8_t xoffChar;
    uint8_t xonChar;
    uint8_t handshake;      // bit 0 RTS handshake, bit 1 CTS handshake, bit 2 DTR
    uint8_t reserved15;
};
static_assert(sizeof(LineSettings) == 16);
static_assert(offsetof(LineSettings, parity) == 4 && offsetof(LineSettings, stopBits) == 5 &&
              offsetof(LineSettings, dataBits) == 6 && offsetof(LineSettings, softwareFlow) == 8 &&
              offsetof(LineSettings, xoffChar) == 12 && offsetof(LineSettings, xonChar) == 13 &&
              offsetof(LineSettings, handshake) == 14);

enum : uint8_t {
    kHandshakeRts = 0x01,
    kHandshakeCts = 0x02,
    kHandshakeDtr = 0x04,
};

// ---- PortContext ------------------------------------------------------------
// One per port, in locked memory, shared by the port's server thread (the
// request side) and the board's interrupt thread (the interrupt side).
// Counts and txActive change only inside interrupt-disabled sections; the
// request side also reads rxCount and txActive outside them, so they are
// atomics: a count is published with release after the ring bytes it
// grants, and read with acquire before those bytes are touched.
struct PortContext {
    LineSettings settings;      // last record a client sent (request side)
    uint8_t lcrShadow;          // LCR last programmed by SetLineSettings
    uint8_t mcrShadow;          // MCR last written by the DTR/RTS routines
    uint16_t boardModel;
    uint8_t boardOptions;
    uint32_t ioBase;            // I/O address of the UART register block
    uint32_t txBurst;           // most bytes written per transmit interrupt
    uint32_t rxTriggerLevel;
    uint32_t fcrTxTriggerBits;
    uint32_t fcrRxTriggerBits;
    uint8_t portFlag;
    uint8_t interfaceMode;      // 2, 3: the transceiver modes; else the default
    std::atomic<uint32_t> txActive;  // 1 while transmit interrupts feed the UART
    uint8_t rxData[kRingSize];
    std::atomic<uint32_t> rxCount;   // interrupt side raises, request side lowers
    uint32_t rxReadIndex;            // moved by the request side only
    uint32_t rxWriteIndex;           // moved by the interrupt side only
    uint8_t txData[kRingSize];
    std::atomic<uint32_t> txCount;   // request side raises, interrupt side lowers
    uint32_t txReadIndex;            // moved by the interrupt side only
    uint32_t txWriteIndex;           // moved by the request side only
    std::atomic<uint8_t> lineErrors; // sticky LSR error bits, ORed by the interrupt side
    // 1 while the interrupt side leaves received bytes in the UART because
    // the ring is nearly full and the UART's own flow control (auto-RTS or
    // XON/XOFF) holds the sender; set by the interrupt side, cleared by the
    // request side, both inside interrupt-disabled sections.
    uint32_t rxHeld;
};

// Ring levels for holding the sender through the UART's flow control:
// draining stops above the high mark and starts again below the low one.
constexpr uint32_t kRxHighWater = kRingSize * 3 / 4;
constexpr uint32_t kRxLowWater = kRingSize / 4;

// IER for the port as it stands: everything, or all but received data
// while the ring holds the sender off.
uint8_t PortInterruptEnable(const PortContext* ctx);

// Entries 0..g_PortCount-1 are set at bring-up; the others stay null.
extern PortContext* g_Ports[8];

// ---- ring operations (request side) -----------------------------------------
uint32_t ReadPort(uint8_t portIndex, uint8_t* destination, uint32_t requested, uint32_t* copied);
uint32_t WritePort(uint8_t portIndex, const uint8_t* source, uint32_t count, uint32_t* accepted);

// ---- interrupt service ---------------------------------------------------------
uint8_t BoardIsr(void* context);
// One run's passes over the status register, within the run's budget.
uint8_t BoardIsrPasses(void* context);
uint8_t ServicePort(uint8_t portIndex);
void TransmitChunk(uint8_t portIndex);
void ReceiveDrain(uint8_t portIndex);

// Bounds on the service loops, so that a dead board (reading all ones) or
// a UART whose status never clears cannot hold the interrupt thread: each
// is well above anything a working board produces in one run.
constexpr uint32_t kMaxBoardPasses = 1024;   // status-register passes per BoardIsr run
constexpr uint32_t kMaxCausesPerPort = 64;   // IIR causes served per ServicePort call
constexpr uint32_t kMaxDrainBytes = 512;     // bytes per ReceiveDrain (FIFOs hold 128)
// All of one BoardIsr run together: port accesses across its passes,
// causes and bytes. A run that serves eight busy ports at the top rate
// needs well under half of it; a stuck UART costs well under a
// millisecond per run, and the platform's stuck-line check then sees the
// very same accesses run after run.
constexpr uint32_t kIsrAccessBudget = 4096;

// ---- UART programming (callers hold an interrupt-disabled section) --------------
void ResetFifos(PortContext* ctx);
void SetEnhancedFlow(PortContext* ctx, uint8_t efrSet, uint8_t efrMask, uint8_t xonChar,
                     uint8_t xoffChar);
void ProgramEnhancedFifo(PortContext* ctx, uint8_t efrSet, uint8_t efrMask, uint8_t fctrSet,
                         uint8_t fctrMask);
void DisableAutoFlow(PortContext* ctx);
void SetRs485Mode(PortContext* ctx, uint8_t portOrdinal);

// ---- open, close, line settings ---------------------------------------------------
void OpenPort(uint8_t portIndex);
uint32_t ClosePort(uint8_t portIndex);
uint16_t SetLineSettings(uint8_t portIndex, const uint8_t* record);
void ComputeDivisor(uint32_t clock, int32_t baud, int16_t* divisor);

// ---- modem and break ------------------------------------------------------------
void SetDtr(PortContext* ctx);
void ClearDtr(PortContext* ctx);
void SetRts(PortContext* ctx);
void ClearRts(PortContext* ctx);
void SetBreak(PortContext* ctx);
void ClearBreak(PortContext* ctx);
