// Line settings and the baud-rate divisor.
#include "channel/channel.h"
#include "platform/rtapi.h"
#include "serial/port.h"
#include "startup/startup.h"

void ComputeDivisor(uint32_t clock, int32_t baud, int16_t* divisor) {
    if (baud <= 0) {
        *divisor = -1;
        return;
    }
    uint32_t base = 16u * static_cast<uint32_t>(baud);
    if (static_cast<int32_t>(base) < baud || base > clock) {
        *divisor = -1;  // 16 x baud overflowed, or the rate is above clock / 16
        return;
    }
    uint32_t quotient = clock / base;
    uint32_t remainder = clock % base;
    if (baud >= 9600 && remainder >= clock / 50) {
        *divisor = -1;  // the rate made would be 2 % or more off
        return;
    }
    // A quotient the 15-bit positive divisor cannot hold would run the
    // line at a wrong speed: refuse it.
    if (quotient > 0x7FFF) {
        *divisor = -1;
        return;
    }
    *divisor = static_cast<int16_t>(quotient);
}

uint16_t SetLineSettings(uint8_t portIndex, const uint8_t* record) {
    PortContext* ctx = g_Ports[portIndex];
    uint32_t io = ctx->ioBase;
    DisableProcessorInterrupts();
    CopyBytes(&ctx->settings, record, sizeof(LineSettings));
    const LineSettings& s = ctx->settings;
    RtWritePortUchar(io + kUartFcr, kFcrEnableAndReset);
    RtReadPortUchar(io + kUartRbr);
    RtReadPortUchar(io + kUartLsr);
    ResetFifos(ctx);

    int16_t divisor = 0;
    ComputeDivisor(g_UartClock, s.baudRate, &divisor);
    if (divisor < 0) {
        EnableProcessorInterrupts();
        return kErrorInvalidParameter;
    }
    uint8_t lcr = RtReadPortUchar(io + kUartLcr);
    RtWritePortUchar(io + kUartLcr, static_cast<uint8_t>(lcr | kLcrDivisorLatch));
    RtWritePortUchar(io + kUartDll, static_cast<uint8_t>(divisor & 0xFF));
    RtWritePortUchar(io + kUartDlm, static_cast<uint8_t>((divisor >> 8) & 0xFF));
    RtWritePortUchar(io + kUartLcr, lcr);

    uint8_t wordLength;
    switch (s.dataBits) {
        case 5: wordLength = 0x00; break;
        case 6: wordLength = 0x01; break;
        case 7: wordLength = 0x02; break;
        case 8: wordLength = 0x03; break;
        default: EnableProcessorInterrupts(); return kErrorInvalidParameter;
    }
    uint8_t parity;
    switch (s.parity) {
        case 'n': parity = 0x00; break;
        case 'o': parity = 0x08; break;
        case 'e': parity = 0x18; break;
        case 'm': parity = 0x28; break;
        case 's': parity = 0x38; break;
        default: EnableProcessorInterrupts(); return kErrorInvalidParameter;
    }
    uint8_t stop;
    if (s.stopBits == 1) {
        stop = 0x00;
    } else if (s.stopBits == 2 && s.dataBits != 5) {
        stop = 0x04;
    } else if (s.stopBits == 3 && s.dataBits == 5) {
        stop = 0x04;  // one and a half stop bits
    } else {
        EnableProcessorInterrupts();
        return kErrorInvalidParameter;
    }
    uint8_t newLcr = static_cast<uint8_t>(wordLength | parity | stop);
    RtWritePortUchar(io + kUartLcr, newLcr);
    ctx->lcrShadow = newLcr;

    uint8_t xon = s.xonChar, xoff = s.xoffChar;
    if (s.handshake & kHandshakeRts) {
        SetEnhancedFlow(ctx, 0x50, 0x50, xon, xoff);
        SetRts(ctx);
    } else {
        DisableAutoFlow(ctx);
    }
    SetEnhancedFlow(ctx, (s.handshake & kHandshakeCts) ? 0x90 : 0x10, 0x90, xon, xoff);
    if (s.handshake & kHandshakeDtr) SetDtr(ctx);
    if (s.softwareFlow != 0) {
        SetEnhancedFlow(ctx, 0x18, 0x18, xon, xoff);
        SetEnhancedFlow(ctx, 0x12, 0x12, xon, xoff);
    } else {
        SetEnhancedFlow(ctx, 0x10, 0x18, xon, xoff);
        SetEnhancedFlow(ctx, 0x10, 0x12, xon, xoff);
    }
    if (g_UartKind == 4 || g_UartKind == 5) SetRs485Mode(ctx, static_cast<uint8_t>(portIndex + 1));
    SetPortInterruptGate(ctx, static_cast<uint8_t>(portIndex + 1), 1);
    RtWritePortUchar(io + kUartMcr, static_cast<uint8_t>(RtReadPortUchar(io + kUartMcr) | kMcrOut2));
    ctx->rxHeld = 0;  // the new settings drain the UART again
    RtWritePortUchar(io + kUartIer, kIerAll);
    EnableProcessorInterrupts();
    return 0;
}
