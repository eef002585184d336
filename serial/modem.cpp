// DTR, RTS and break. The DTR/RTS routines need no section: the interrupt
// service never touches MCR and a port's requests run one at a time.
#include "platform/rtapi.h"
#include "serial/port.h"

namespace {

void ChangeMcrBit(PortContext* ctx, uint8_t bit, bool set) {
    uint8_t mcr = RtReadPortUchar(ctx->ioBase + kUartMcr);
    mcr = set ? static_cast<uint8_t>(mcr | bit) : static_cast<uint8_t>(mcr & ~bit);
    ctx->mcrShadow = mcr;
    RtWritePortUchar(ctx->ioBase + kUartMcr, mcr);
}

}  // namespace

void SetDtr(PortContext* ctx) { ChangeMcrBit(ctx, kMcrDtr, true); }
void ClearDtr(PortContext* ctx) { ChangeMcrBit(ctx, kMcrDtr, false); }
void SetRts(PortContext* ctx) { ChangeMcrBit(ctx, kMcrRts, true); }
void ClearRts(PortContext* ctx) { ChangeMcrBit(ctx, kMcrRts, false); }

void SetBreak(PortContext* ctx) {
    DisableProcessorInterrupts();
    uint8_t lcr = RtReadPortUchar(ctx->ioBase + kUartLcr);
    RtWritePortUchar(ctx->ioBase + kUartLcr, static_cast<uint8_t>(lcr | kLcrBreak));
    EnableProcessorInterrupts();
}

void ClearBreak(PortContext* ctx) {
    DisableProcessorInterrupts();
    // Declined while the interrupt side is sending: the client asks again.
    if (ctx->txActive.load(std::memory_order_relaxed) == 0) {
        uint8_t lcr = RtReadPortUchar(ctx->ioBase + kUartLcr);
        RtWritePortUchar(ctx->ioBase + kUartLcr, static_cast<uint8_t>(lcr & ~kLcrBreak));
        RtWritePortUchar(ctx->ioBase + kUartIer, 0);
        RtWritePortUchar(ctx->ioBase + kUartIer, PortInterruptEnable(ctx));
    }
    EnableProcessorInterrupts();
}
