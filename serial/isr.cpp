// The interrupt side: the board's service routine and the per-port
// transmit and receive work. Runs only on the board's interrupt thread.
#include <cstdint>

#include "platform/rtapi.h"
#include "serial/port.h"
#include "startup/startup.h"

namespace {

// Port accesses left in the running BoardIsr pass; unlimited outside a run
// (the routines below are also called on their own).
uint32_t s_accessesLeft = UINT32_MAX;

// Takes `n` accesses from the run's budget; false once it is spent.
bool Spend(uint32_t n) {
    if (s_accessesLeft < n) {
        s_accessesLeft = 0;
        return false;
    }
    if (s_accessesLeft != UINT32_MAX) s_accessesLeft -= n;
    return true;
}

// Whether the UART's own flow control can hold the sender while the ring
// is nearly full: auto-RTS or in-UART XON/XOFF.
bool FlowCanHold(const PortContext* ctx) {
    return (ctx->settings.handshake & kHandshakeRts) != 0 || ctx->settings.softwareFlow != 0;
}

}  // namespace

uint8_t PortInterruptEnable(const PortContext* ctx) {
    return static_cast<uint8_t>(ctx->rxHeld ? (kIerAll & ~kIerReceivedData) : kIerAll);
}

uint8_t BoardIsr(void* context) {
    s_accessesLeft = kIsrAccessBudget;
    uint8_t result = BoardIsrPasses(context);
    s_accessesLeft = UINT32_MAX;
    return result;
}

uint8_t BoardIsrPasses(void* context) {
    if (!context) {
        RtPrintf("Isr context NULL\n");
        return 1;
    }
    const uint32_t* statusPort = static_cast<const uint32_t*>(context);
    uint8_t result = 1;
    // Status bits of ports without a record are never serviced (there is
    // nothing to clear them with); the others still are.
    uint8_t known = 0;
    for (uint8_t n = 0; n < g_PortCount && n < 8; ++n) {
        if (PortUsable(n)) known = static_cast<uint8_t>(known | (1u << n));
    }
    // Bounded: a board that reads all ones, or a port that keeps asking,
    // cannot hold the interrupt thread for ever; the line stays asserted
    // and the platform comes back.
    for (uint32_t pass = 0; pass < kMaxBoardPasses && Spend(1); ++pass) {
        uint8_t status = RtReadPortUchar(*statusPort);
        if (status == 0) return result;
        uint8_t pending = status & known;
        if (pending == 0) return result;
        uint8_t port = 0;
        while (((pending >> port) & 1) == 0) ++port;
        result = ServicePort(port);
    }
    return result;
}

uint8_t ServicePort(uint8_t portIndex) {
    PortContext* ctx = g_Ports[portIndex];
    uint8_t result = 0;
    // IIR is read only where its cause is served next: reading it takes a
    // transmitter-empty cause away, so a read whose cause went unserved
    // (the bound or the budget reached just after it) would stall the
    // transmitter for good.
    for (uint32_t cause = 0; cause < kMaxCausesPerPort && Spend(1); ++cause) {
        uint8_t iir = RtReadPortUchar(ctx->ioBase + kUartIir);
        if (iir & kIirNoInterrupt) break;
        result = 1;
        switch (iir & 0x0F) {
            case kIirModemStatus:
                if (Spend(1)) RtReadPortUchar(ctx->ioBase + kUartMsr);
                break;
            case kIirTransmitEmpty:
                TransmitChunk(portIndex);
                break;
            case kIirReceivedData:
            case kIirCharTimeout:
                ReceiveDrain(portIndex);
                break;
            case kIirLineStatus: {
                if (!Spend(1)) break;
                uint8_t errors = RtReadPortUchar(ctx->ioBase + kUartLsr) & kLsrErrorBits;
                if (errors) ctx->lineErrors.fetch_or(errors, std::memory_order_relaxed);
                break;
            }
            default:
                break;
        }
    }
    return result;
}

void TransmitChunk(uint8_t portIndex) {
    PortContext* ctx = g_Ports[portIndex];
    DisableProcessorInterrupts();
    uint32_t count = ctx->txCount.load(std::memory_order_acquire);
    if (count == 0) {
        ctx->txActive.store(0, std::memory_order_release);
        EnableProcessorInterrupts();
        return;
    }
    ctx->txActive.store(1, std::memory_order_release);
    EnableProcessorInterrupts();

    uint32_t n = ctx->txBurst < count ? ctx->txBurst : count;
    // Reading IIR took the transmitter-empty cause away: at least one byte
    // goes out whatever is left of the budget, or nothing would raise it
    // again and the transmitter would stall for good.
    if (s_accessesLeft != UINT32_MAX) {
        if (n > s_accessesLeft) n = s_accessesLeft > 0 ? s_accessesLeft : 1;
        s_accessesLeft = s_accessesLeft > n ? s_accessesLeft - n : 0;
    }
    for (uint32_t i = 0; i < n; ++i) {
        uint8_t byte = ctx->txData[ctx->txReadIndex];
        if (++ctx->txReadIndex == kRingSize) ctx->txReadIndex = 0;
        RtWritePortUchar(ctx->ioBase + kUartThr, byte);
    }

    DisableProcessorInterrupts();
    uint32_t left = ctx->txCount.load(std::memory_order_relaxed) - n;
    ctx->txCount.store(left, std::memory_order_release);
    if (left == 0) ctx->txActive.store(0, std::memory_order_release);
    EnableProcessorInterrupts();
}

void ReceiveDrain(uint8_t portIndex) {
    PortContext* ctx = g_Ports[portIndex];
    if (!Spend(1)) return;
    uint8_t lsr = RtReadPortUchar(ctx->ioBase + kUartLsr);
    if (lsr & kLsrFifoError) ctx->lineErrors.fetch_or(lsr & kLsrErrorBits, std::memory_order_relaxed);
    // Bounded: a UART whose data-ready never clears is left after more
    // bytes than any FIFO holds, or when the run's budget is spent.
    for (uint32_t taken = 0; taken < kMaxDrainBytes && Spend(2); ++taken) {
        DisableProcessorInterrupts();
        uint32_t count = ctx->rxCount.load(std::memory_order_relaxed);
        // The ring is nearly full and the UART can hold the sender itself:
        // leave the bytes in its FIFO, which then fills and stops the far
        // end, instead of taking them into a ring that would drop them.
        // ReadPort turns receiving back on once the ring has drained.
        if (count >= kRxHighWater && FlowCanHold(ctx)) {
            ctx->rxHeld = 1;
            RtWritePortUchar(ctx->ioBase + kUartIer, PortInterruptEnable(ctx));
            EnableProcessorInterrupts();
            return;
        }
        uint8_t byte = RtReadPortUchar(ctx->ioBase + kUartRbr);
        if (count < kRingSize) {
            ctx->rxData[ctx->rxWriteIndex] = byte;
            ++ctx->rxWriteIndex;
            ctx->rxCount.store(count + 1, std::memory_order_release);
        } else {
            ctx->lineErrors.fetch_or(kLsrOverrun, std::memory_order_relaxed);
        }
        EnableProcessorInterrupts();
        if (ctx->rxWriteIndex == kRingSize) ctx->rxWriteIndex = 0;
        // Reading LSR clears the error bits of the byte now at the top of
        // the FIFO; recording them here keeps a framing or parity error
        // from vanishing unseen.
        uint8_t status = RtReadPortUchar(ctx->ioBase + kUartLsr);
        if (status & kLsrErrorBits) ctx->lineErrors.fetch_or(status & kLsrErrorBits, std::memory_order_relaxed);
        if ((status & kLsrDataReady) == 0) return;
    }
}
