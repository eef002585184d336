// The request side of the rings: ReadPort empties the receive ring,
// WritePort fills the transmit ring and starts an idle transmitter.
#include "serial/port.h"
#include "platform/rtapi.h"

uint32_t ReadPort(uint8_t portIndex, uint8_t* destination, uint32_t requested, uint32_t* copied) {
    PortContext* ctx = g_Ports[portIndex];
    *copied = 0;
    // Acquire: the bytes the count grants were stored before it was raised.
    if (ctx->rxCount.load(std::memory_order_acquire) == 0) return 0;
    if (requested == 0) return 0;
    uint32_t moved = 0;
    for (;;) {
        destination[moved++] = ctx->rxData[ctx->rxReadIndex];
        if (++ctx->rxReadIndex == kRingSize) ctx->rxReadIndex = 0;
        DisableProcessorInterrupts();
        uint32_t left = ctx->rxCount.load(std::memory_order_relaxed) - 1;
        ctx->rxCount.store(left, std::memory_order_release);
        EnableProcessorInterrupts();
        if (left == 0 || moved == requested) break;
    }
    // The ring has room again: the interrupt side may take bytes from the
    // UART once more, and its flow control lets the sender go.
    DisableProcessorInterrupts();
    if (ctx->rxHeld && ctx->rxCount.load(std::memory_order_relaxed) <= kRxLowWater) {
        ctx->rxHeld = 0;
        RtWritePortUchar(ctx->ioBase + kUartIer, PortInterruptEnable(ctx));
    }
    EnableProcessorInterrupts();
    *copied = moved;
    return 0;
}

uint32_t WritePort(uint8_t portIndex, const uint8_t* source, uint32_t count, uint32_t* accepted) {
    PortContext* ctx = g_Ports[portIndex];
    *accepted = 0;
    DisableProcessorInterrupts();
    uint32_t room = kRingSize - ctx->txCount.load(std::memory_order_relaxed);
    if (room == 0) {
        EnableProcessorInterrupts();
        return 2;
    }
    uint32_t n = count < room ? count : room;
    EnableProcessorInterrupts();

    for (uint32_t i = 0; i < n; ++i) {
        ctx->txData[ctx->txWriteIndex] = source[i];
        if (++ctx->txWriteIndex == kRingSize) ctx->txWriteIndex = 0;
    }

    DisableProcessorInterrupts();
    ctx->txCount.store(ctx->txCount.load(std::memory_order_relaxed) + n, std::memory_order_release);
    EnableProcessorInterrupts();

    // Either the interrupt side sees the new bytes, or we see it idle and
    // start it: re-enabling the transmitter-empty interrupt makes the UART
    // raise it.
    DisableProcessorInterrupts();
    if (ctx->txActive.load(std::memory_order_acquire) == 0) {
        RtWritePortUchar(ctx->ioBase + kUartIer, 0);
        RtWritePortUchar(ctx->ioBase + kUartIer, PortInterruptEnable(ctx));
    }
    EnableProcessorInterrupts();
    *accepted = n;
    return 0;
}
