// Programming beyond the plain 16550 set: FIFO reset and trigger levels per
// UART kind, the enhanced bank (EFR, XON/XOFF, FCTR, TRG) and transceiver
// control. Callers hold an interrupt-disabled section for the whole call:
// while LCR holds 0xBF, offset 2 reads as EFR instead of IIR, so the
// interrupt service must not run in between.
#include "platform/rtapi.h"
#include "serial/port.h"
#include "startup/startup.h"

namespace {

constexpr uint8_t kFctrTriggerTable = 0x30;  // trigger levels from TRG
constexpr uint8_t kFctrTrgTransmit = 0x80;   // TRG writes set the transmit level
constexpr uint8_t kFctrRs485 = 0x08;         // automatic direction control
constexpr uint8_t kEfrAutoFlowMask = 0x3F;   // clears auto-RTS and auto-CTS

uint8_t In(PortContext* ctx, uint32_t reg) { return RtReadPortUchar(ctx->ioBase + reg); }
void Out(PortContext* ctx, uint32_t reg, uint8_t value) { RtWritePortUchar(ctx->ioBase + reg, value); }

// XON1/XON2 and XOFF1/XOFF2, then EFR = set | (EFR & ~mask). Bank selected.
void LoadFlowCharsAndEfr(PortContext* ctx, uint8_t efrSet, uint8_t efrMask, uint8_t xonChar,
                         uint8_t xoffChar) {
    uint8_t efr = In(ctx, kUartEfr);
    Out(ctx, kUartXon1, xonChar);
    Out(ctx, kUartXon2, xonChar);
    Out(ctx, kUartXoff1, xoffChar);
    Out(ctx, kUartXoff2, xoffChar);
    Out(ctx, kUartEfr, static_cast<uint8_t>(efrSet | (efr & ~efrMask)));
}

void ModifyLocalBit(uint32_t reg, uint8_t bit, bool set) {
    uint8_t v = RtReadPortUchar(g_LocalIoBase + reg);
    v = set ? static_cast<uint8_t>(v | bit) : static_cast<uint8_t>(v & ~bit);
    RtWritePortUchar(g_LocalIoBase + reg, v);
}

}  // namespace

void ResetFifos(PortContext* ctx) {
    Out(ctx, kUartFcr, 0x00);
    In(ctx, kUartRbr);
    In(ctx, kUartLsr);
    In(ctx, kUartRbr);
    ctx->fcrTxTriggerBits = 0x00;
    ctx->fcrRxTriggerBits = 0xC0;
    if (g_UartKind == 4 || g_UartKind == 5) {
        Out(ctx, kUartFcr, kFcrEnableAndReset);
        In(ctx, kUartRbr);
        In(ctx, kUartLsr);
        ProgramEnhancedFifo(ctx, 0, 0, 0, 0);
        return;
    }
    Out(ctx, kUartFcr,
        static_cast<uint8_t>(ctx->fcrRxTriggerBits | ctx->fcrTxTriggerBits | kFcrEnableAndReset));
    In(ctx, kUartRbr);
    In(ctx, kUartLsr);
}

void SetEnhancedFlow(PortContext* ctx, uint8_t efrSet, uint8_t efrMask, uint8_t xonChar,
                     uint8_t xoffChar) {
    uint8_t saved = In(ctx, kUartLcr);
    Out(ctx, kUartLcr, kLcrEnhancedBank);
    LoadFlowCharsAndEfr(ctx, efrSet, efrMask, xonChar, xoffChar);
    Out(ctx, kUartLcr, saved);
}

void ProgramEnhancedFifo(PortContext* ctx, uint8_t efrSet, uint8_t efrMask, uint8_t fctrSet,
                         uint8_t fctrMask) {
    uint8_t saved = In(ctx, kUartLcr);
    Out(ctx, kUartLcr, kLcrEnhancedBank);
    LoadFlowCharsAndEfr(ctx, efrSet, efrMask, ctx->settings.xonChar, ctx->settings.xoffChar);
    uint8_t fctr = In(ctx, kUartFctr);
    Out(ctx, kUartFctr, kFctrTriggerTable);
    Out(ctx, kUartTrg, static_cast<uint8_t>(ctx->rxTriggerLevel));
    Out(ctx, kUartFctr,
        static_cast<uint8_t>(kFctrTrgTransmit | kFctrTriggerTable | fctrSet | (fctr & ~fctrMask)));
    Out(ctx, kUartTrg, static_cast<uint8_t>(128u - ctx->txBurst));
    Out(ctx, kUartLcr, saved);
}

void DisableAutoFlow(PortContext* ctx) {
    uint8_t saved = In(ctx, kUartLcr);
    Out(ctx, kUartLcr, kLcrEnhancedBank);
    Out(ctx, kUartEfr, static_cast<uint8_t>(In(ctx, kUartEfr) & kEfrAutoFlowMask));
    Out(ctx, kUartLcr, saved);
}

void SetRs485Mode(PortContext* ctx, uint8_t portOrdinal) {
    uint8_t saved = In(ctx, kUartLcr);
    Out(ctx, kUartLcr, kLcrEnhancedBank);
    uint8_t fctr = In(ctx, kUartFctr);
    uint32_t shift = static_cast<uint32_t>(portOrdinal) - 1u;
    uint8_t bit = shift < 8 ? static_cast<uint8_t>(1u << shift) : 0;  // formed in 8 bits
    switch (ctx->interfaceMode) {
        case 2:
            Out(ctx, kUartFctr, static_cast<uint8_t>(fctr | kFctrRs485));
            ModifyLocalBit(kLocalReg6C, bit, true);
            ModifyLocalBit(kLocalReg70, bit, false);
            break;
        case 3:
            Out(ctx, kUartFctr, static_cast<uint8_t>(fctr | kFctrRs485));
            ModifyLocalBit(kLocalReg6C, bit, true);
            ModifyLocalBit(kLocalReg70, bit, true);
            break;
        default:
            ModifyLocalBit(kLocalReg6C, bit, false);
            ModifyLocalBit(kLocalReg70, bit, true);
            break;
    }
    Out(ctx, kUartLcr, saved);
}
