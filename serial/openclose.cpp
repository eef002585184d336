// Port open (start-up state, interrupts off) and close (quiet again).
// Both run whole inside one interrupt-disabled section: they reset ring
// counters the interrupt side also moves, and pass through the enhanced
// bank.
#include "platform/rtapi.h"
#include "serial/port.h"
#include "startup/startup.h"

namespace {

void EmptyRings(PortContext* ctx) {
    ctx->rxCount.store(0, std::memory_order_relaxed);
    ctx->rxHeld = 0;
    ctx->rxWriteIndex = 0;
    ctx->rxReadIndex = 0;
    ctx->txCount.store(0, std::memory_order_relaxed);
    ctx->txWriteIndex = 0;
    ctx->txReadIndex = 0;
}

}  // namespace

void OpenPort(uint8_t portIndex) {
    PortContext* ctx = g_Ports[portIndex];
    uint32_t io = ctx->ioBase;
    DisableProcessorInterrupts();
    EmptyRings(ctx);
    uint8_t mcr = RtReadPortUchar(io + kUartMcr);
    SetPortInterruptGate(ctx, static_cast<uint8_t>(portIndex + 1), 0);
    RtWritePortUchar(io + kUartMcr, static_cast<uint8_t>(mcr & ~kMcrOut2));
    ctx->txActive.store(0, std::memory_order_relaxed);
    ResetFifos(ctx);
    RtWritePortUchar(io + kUartLcr, static_cast<uint8_t>(RtReadPortUchar(io + kUartLcr) & 0x3F));
    int16_t divisor = 0;
    ComputeDivisor(g_UartClock, 9600, &divisor);
    uint8_t lcr = RtReadPortUchar(io + kUartLcr);
    RtWritePortUchar(io + kUartLcr, static_cast<uint8_t>(lcr | kLcrDivisorLatch));
    RtWritePortUchar(io + kUartDll, static_cast<uint8_t>(divisor & 0xFF));
    RtWritePortUchar(io + kUartDlm, static_cast<uint8_t>((static_cast<uint16_t>(divisor) >> 8) & 0xFF));
    RtWritePortUchar(io + kUartLcr, lcr);
    RtWritePortUchar(io + kUartLcr, 0x03);  // 8 data bits, no parity, one stop bit
    if (g_UartKind == 3) {
        SetEnhancedFlow(ctx, 0x10, 0x10, ctx->settings.xonChar, ctx->settings.xoffChar);
    } else if (g_UartKind == 4 || g_UartKind == 5) {
        ProgramEnhancedFifo(ctx, 0x10, 0x10, 0, 0);
        SetRs485Mode(ctx, static_cast<uint8_t>(portIndex + 1));
    }
    EnableProcessorInterrupts();
}

uint32_t ClosePort(uint8_t portIndex) {
    PortContext* ctx = g_Ports[portIndex];
    uint32_t io = ctx->ioBase;
    DisableProcessorInterrupts();
    RtWritePortUchar(io + kUartIer, 0x00);
    EmptyRings(ctx);
    if (ctx->settings.handshake & kHandshakeRts) ClearRts(ctx);
    if (ctx->settings.handshake & kHandshakeDtr) ClearDtr(ctx);
    ClearBreak(ctx);
    RtWritePortUchar(io + kUartFcr, kFcrEnableAndReset);
    RtReadPortUchar(io + kUartRbr);
    RtReadPortUchar(io + kUartLsr);
    uint8_t lcr = RtReadPortUchar(io + kUartLcr);
    RtWritePortUchar(io + kUartLcr, kLcrEnhancedBank);
    RtWritePortUchar(io + kUartEfr, 0x00);   // enhanced, automatic and software flow off
    RtWritePortUchar(io + kUartFctr, 0x00);  // kinds 4 and 5: trigger table and RS-485 off
    RtWritePortUchar(io + kUartLcr, lcr);
    RtWritePortUchar(io + kUartFcr, 0x00);
    RtReadPortUchar(io + kUartRbr);
    RtReadPortUchar(io + kUartLsr);
    RtWritePortUchar(io + kUartIer, 0x00);
    SetPortInterruptGate(ctx, static_cast<uint8_t>(portIndex + 1), 0);
    RtWritePortUchar(io + kUartMcr, static_cast<uint8_t>(RtReadPortUchar(io + kUartMcr) & ~kMcrOut2));
    EnableProcessorInterrupts();
    return 0;
}
