#include "sim/uart.h"

#include <algorithm>
#include <cmath>

namespace sim {

namespace {

// Register offsets.
constexpr int kRbrThr = 0, kIer = 1, kIirFcr = 2, kLcr = 3, kMcr = 4, kLsr = 5, kMsr = 6, kSpr = 7;

// IER bits.
constexpr uint8_t kIerRdi = 0x01;   // received data available
constexpr uint8_t kIerThri = 0x02;  // transmitter holding register empty
constexpr uint8_t kIerRlsi = 0x04;  // receiver line status
constexpr uint8_t kIerMsi = 0x08;   // modem status

// IIR cause codes (bits 0-3) and the FIFO-enabled bits.
constexpr uint8_t kIirNone = 0x01, kIirMsi = 0x00, kIirThri = 0x02, kIirRdi = 0x04,
                  kIirRlsi = 0x06, kIirTimeout = 0x0C, kIirFifos = 0xC0;

// LSR bits.
constexpr uint8_t kLsrDr = 0x01, kLsrOe = 0x02, kLsrPe = 0x04, kLsrFe = 0x08, kLsrBi = 0x10,
                  kLsrThre = 0x20, kLsrTemt = 0x40, kLsrFifoErr = 0x80;

// MCR bits.
constexpr uint8_t kMcrDtr = 0x01, kMcrRts = 0x02, kMcrOut1 = 0x04, kMcrOut2 = 0x08;

// EFR bits.
constexpr uint8_t kEfrRxSoftFlow = 0x02;  // recognise received XON1/XOFF1
constexpr uint8_t kEfrTxSoftFlow = 0x08;  // send XON1/XOFF1 around the trigger level
constexpr uint8_t kEfrAutoRts = 0x40;
constexpr uint8_t kEfrAutoCts = 0x80;

// FCTR bits (kinds 4 and 5).
constexpr uint8_t kFctrTable = 0x30;      // 11: trigger levels from TRG
constexpr uint8_t kFctrTrgSelTx = 0x80;   // TRG writes set the transmit level

int Parity(uint8_t value, int bits) {
    int ones = 0;
    for (int i = 0; i < bits; ++i) ones += (value >> i) & 1;
    return ones & 1;
}

// The parity bit a sender with LCR parity field `p` (bit 0 enable, bit 1
// even, bit 2 stick) puts after `value`.
int ParityBit(uint8_t value, int dataBits, uint8_t p) {
    bool even = p & 0x02, stick = p & 0x04;
    if (stick) return even ? 0 : 1;
    int odd = Parity(value, dataBits);
    return even ? odd : !odd;
}

}  // namespace

Decoded DecodeChar(const LineChar& c, uint8_t rxDataBits, uint8_t rxParity, uint8_t rxStopBits,
                   double rxBitNs) {
    (void)rxStopBits;  // only the first stop bit is sampled, as on real parts
    Decoded d{0, false, false, false};
    if (c.isBreak) {
        d.breakInterrupt = true;
        d.framingError = true;
        return d;
    }
    // The sender's levels: start, data LSB first, parity, stop bits, then idle.
    uint8_t levels[16];
    int n = 0;
    levels[n++] = 0;
    for (int i = 0; i < c.dataBits; ++i) levels[n++] = (c.value >> i) & 1;
    if (c.parity & 1) levels[n++] = static_cast<uint8_t>(ParityBit(c.value, c.dataBits, c.parity));
    for (int i = 0; i < c.stopBits; ++i) levels[n++] = 1;
    double ratio = (c.bitNs > 0 && rxBitNs > 0) ? rxBitNs / c.bitNs : 1.0;
    auto sample = [&](int j) -> int {
        int k = static_cast<int>(std::floor((j + 0.5) * ratio));
        return k < n ? levels[k] : 1;
    };
    uint8_t value = 0;
    bool allZero = sample(0) == 0;
    for (int i = 0; i < rxDataBits; ++i) {
        int b = sample(1 + i);
        value |= static_cast<uint8_t>(b << i);
        if (b) allZero = false;
    }
    int j = 1 + rxDataBits;
    if (rxParity & 1) {
        int p = sample(j++);
        if (p) allZero = false;
        d.parityError = p != ParityBit(value, rxDataBits, rxParity);
    }
    int stop = sample(j);
    d.framingError = stop == 0;
    d.breakInterrupt = allZero && stop == 0;
    d.value = value;
    return d;
}

Uart::Uart(int kind, uint32_t clockHz) : kind_(kind), clockHz_(clockHz) { retime(); }

// Character timing follows the divisor and the framing; it is worked out
// again whenever LCR, DLL or DLM is written, not on every use.
void Uart::retime() {
    uint32_t div = divisor() ? divisor() : 65536u;
    bitNs_ = 16.0 * div * 1e9 / clockHz_;
    int data = 5 + (lcr_ & 0x03);
    double stop = (lcr_ & 0x04) ? (data == 5 ? 1.5 : 2.0) : 1.0;
    int parity = (lcr_ & 0x08) ? 1 : 0;
    charNs_ = bitNs_ * (1 + data + parity + stop);
    charNsInt_ = static_cast<uint64_t>(std::llround(charNs_));
}

LineChar Uart::frameFor(uint8_t value) const {
    LineChar c;
    c.dataBits = static_cast<uint8_t>(5 + (lcr_ & 0x03));
    c.value = static_cast<uint8_t>(value & ((1u << c.dataBits) - 1));
    c.parity = static_cast<uint8_t>((lcr_ >> 3) & 0x07);
    c.stopBits = (lcr_ & 0x04) ? 2 : 1;
    c.bitNs = bitNs();
    return c;
}

int Uart::rxTrigger() const {
    if (!fifoOn()) return 1;
    if (kind_ != 3 && (fctr_ & kFctrTable) == kFctrTable) return std::clamp<int>(trgRx_, 1, fifoSize());
    static const int kKind3[4] = {8, 16, 32, 56};
    static const int kKind45[4] = {8, 16, 56, 60};
    return (kind_ == 3 ? kKind3 : kKind45)[fcr_ >> 6];
}

int Uart::txTrigger() const {
    if (!fifoOn()) return 0;
    if (kind_ != 3 && (fctr_ & kFctrTable) == kFctrTable) return std::min<int>(trgTx_, fifoSize());
    return 0;  // interrupt when the FIFO has emptied
}

bool Uart::rtsOut() const {
    if (loopback()) return false;
    bool rts = mcr_ & kMcrRts;
    if ((efr_ & kEfrAutoRts) && autoRtsHold_) rts = false;
    return rts;
}

// One place decides the interrupt identity, in the standard priority:
// line status > received data / time-out > transmitter empty > modem status.
uint8_t Uart::iir() const {
    uint8_t fifoBits = fifoOn() ? kIirFifos : 0;
    if (stuckReceive_) return fifoBits | kIirRdi;  // broken part: ignores IER and reads
    bool topError = !rx_.empty() && rx_.front().errors && !topErrorsReported_;
    if ((ier_ & kIerRlsi) && (overrun_ || topError)) return fifoBits | kIirRlsi;
    if (ier_ & kIerRdi) {
        if (static_cast<int>(rx_.size()) >= rxTrigger() && !rx_.empty()) return fifoBits | kIirRdi;
        if (fifoOn() && timeoutPending_ && !rx_.empty()) return fifoBits | kIirTimeout;
    }
    if ((ier_ & kIerThri) && thrPending_) return fifoBits | kIirThri;
    if ((ier_ & kIerMsi) && msrDeltas_) return fifoBits | kIirMsi;
    return fifoBits | kIirNone;
}

uint8_t Uart::lsr() const {
    uint8_t v = stuckReceive_ ? kLsrDr : 0;
    if (!rx_.empty()) {
        v |= kLsrDr;
        if (!topErrorsReported_) v |= rx_.front().errors;
    }
    if (overrun_) v |= kLsrOe;
    if (tx_.empty()) v |= kLsrThre;
    if (tx_.empty() && !shifting_) v |= kLsrTemt;
    // Modelling choice: bit 7 stays set while any errored byte is still in
    // the FIFO, and clears once the last one has been read out. That is the
    // 16550 rule; some later parts clear it on the LSR read instead.
    if (fifoOn()) {
        for (const RxByte& b : rx_) {
            if (b.errors) {
                v |= kLsrFifoErr;
                break;
            }
        }
    }
    return v;
}

uint8_t Uart::msrInputs() const {
    return static_cast<uint8_t>((cts_ ? 0x10 : 0) | (dsr_ ? 0x20 : 0) | (ri_ ? 0x40 : 0) |
                                (dcd_ ? 0x80 : 0));
}

bool Uart::holdsInput(uint64_t now) const {
    return holdEnabled_ && routed_ && !fast_ && fullAt_ != kNever && !rxHasRoom() && irq() &&
           now < fullAt_ + kInputHoldNs;
}

void Uart::noteHold() const {
    if (holdCountedFor_ == fullAt_) return;
    holdCountedFor_ = fullAt_;
    ++inputHolds_;
}

uint8_t Uart::read(int offset, uint64_t now) {
    lastAccessAt_ = now;
    if (enhancedBank()) {
        switch (offset) {
            case 0: return kind_ == 3 ? dll_ : trgRx_;
            case 1: return kind_ == 3 ? dlm_ : fctr_;
            case 2: return efr_;
            case 4: return xon1_;
            case 5: return xon2_;
            case 6: return xoff1_;
            case 7: return xoff2_;
            default: break;
        }
    }
    if (dlab() && offset == kRbrThr) return dll_;
    if (dlab() && offset == kIer) return dlm_;
    switch (offset) {
        case kRbrThr: return readRbr(now);
        case kIer: return ier_;
        case kIirFcr: {
            uint8_t v = iir();
            // Reading IIR while transmitter-empty is the cause clears it.
            if ((v & 0x0F) == kIirThri) thrPending_ = false;
            return v;
        }
        case kLcr: return lcr_;
        case kMcr: return mcr_;
        case kLsr: {
            uint8_t v = lsr();
            // Reading LSR clears the overrun and the error bits it showed.
            overrun_ = false;
            if (!rx_.empty()) topErrorsReported_ = true;
            return v;
        }
        case kMsr: {
            uint8_t v = static_cast<uint8_t>(msrInputs() | msrDeltas_);
            msrDeltas_ = 0;  // delta bits clear on read
            return v;
        }
        case kSpr: return spr_;
        default: return 0xFF;
    }
}

void Uart::write(int offset, uint8_t value, uint64_t now) {
    lastAccessAt_ = now;
    if (offset == kLcr) {
        bool breakWas = breakOn();
        lcr_ = value;
        retime();
        if (!breakWas && breakOn()) {
            // The far receiver sees the break once a whole frame has passed
            // at space level.
            breakDeliverAt_ = now + (fast_ ? 0 : static_cast<uint64_t>(charNs()));
        } else if (breakWas && !breakOn()) {
            breakDeliverAt_ = kNever;
        }
        return;
    }
    if (enhancedBank()) {
        switch (offset) {
            case 0:
                if (kind_ == 3) {
                    dll_ = value;
                    retime();
                } else if (fctr_ & kFctrTrgSelTx) {
                    trgTx_ = value;
                } else {
                    trgRx_ = value;
                    rxLevelChanged(now);  // flow control follows the new trigger
                }
                return;
            case 1:
                if (kind_ == 3) {
                    dlm_ = value;
                    retime();
                } else {
                    fctr_ = value;
                    rxLevelChanged(now);  // the trigger table may have changed
                }
                return;
            case 2: {
                efr_ = value;
                if (!(efr_ & kEfrAutoRts)) autoRtsHold_ = false;
                if (!(efr_ & kEfrRxSoftFlow)) xoffReceived_ = false;
                rxLevelChanged(now);  // flow control just enabled sees the level now
                updateModemOutputs(now);
                tryStartTx(now);
                return;
            }
            case 4: xon1_ = value; return;
            case 5: xon2_ = value; return;
            case 6: xoff1_ = value; return;
            case 7: xoff2_ = value; return;
            default: break;
        }
    }
    if (dlab() && offset == kRbrThr) {
        dll_ = value;
        retime();
        return;
    }
    if (dlab() && offset == kIer) {
        dlm_ = value;
        retime();
        return;
    }
    switch (offset) {
        case kRbrThr: writeThr(value, now); return;
        case kIer: setIer(value); return;
        case kIirFcr: writeFcr(value, now); return;
        case kMcr: {
            bool loopWas = loopback();
            mcr_ = value;
            if (loopback() || loopWas) loopbackInputs();
            updateModemOutputs(now);
            tryStartTx(now);  // CTS may have changed with loopback: an auto-CTS hold follows it
            return;
        }
        case kSpr: spr_ = value; return;
        default: return;  // LSR and MSR are read-only
    }
}

void Uart::setIer(uint8_t value) {
    bool thriWas = ier_ & kIerThri;
    // Modelling choice: bits 4-7 are masked. On the enhanced parts they
    // enable sleep mode, the XOFF and RTS/CTS interrupts; nothing here
    // uses them, and a real part with the enhanced bank off ignores them.
    ier_ = value & 0x0F;
    // Enabling the transmitter-empty interrupt while the FIFO is at or
    // below its trigger raises it at once (the usual way to start sending).
    // Modelling choice: at once, not after the one-character delay some
    // 16550 data sheets give for the first THRE after a transmission.
    if (!thriWas && (ier_ & kIerThri) && static_cast<int>(tx_.size()) <= txTrigger()) {
        thrPending_ = true;
    }
}

void Uart::writeFcr(uint8_t value, uint64_t now) {
    bool enableChanged = (value & 0x01) != (fcr_ & 0x01);
    fcr_ = value & 0xF9;  // the reset bits self-clear
    if (enableChanged || (value & 0x02)) {
        rx_.clear();
        timeoutPending_ = false;
        topErrorsReported_ = false;
    }
    if (enableChanged || (value & 0x04)) {
        tx_.clear();
        thrPending_ = true;
    }
    // Auto-RTS and XOFF follow the FIFO level, whatever changed it: after
    // a reset the far end is let go, as on real parts.
    rxLevelChanged(now);
}

void Uart::writeThr(uint8_t value, uint64_t now) {
    thrPending_ = false;
    if (static_cast<int>(tx_.size()) >= fifoCapacity()) {
        ++txLost_;  // a real part loses the byte too; the counter catches a driver that overfills
        return;
    }
    tx_.push_back(value);
    tryStartTx(now);
}

uint8_t Uart::readRbr(uint64_t now) {
    if (rx_.empty()) return 0;
    uint8_t v = rx_.front().value;
    rx_.pop_front();
    topErrorsReported_ = false;
    lastRxActivity_ = now;
    timeoutPending_ = false;
    rxLevelChanged(now);
    return v;
}

void Uart::tryStartTx(uint64_t now) {
    if (shifting_) return;
    int next = -1;
    bool flow = false;
    if (flowCharToSend_ >= 0) {
        next = flowCharToSend_;
        flowCharToSend_ = -1;
        flow = true;
    } else if (!tx_.empty()) {
        bool ctsHold = (efr_ & kEfrAutoCts) && !cts_;
        bool xoffHold = (efr_ & kEfrRxSoftFlow) && xoffReceived_;
        if (ctsHold || xoffHold) return;
        if (fast_ && !loopback() && far_ && !far_->canAccept()) return;
        if (fast_ && loopback() && !rxHasRoom()) return;
        const Uart* r = receiver();
        if (!fast_ && r && r->holdsInput(now)) {
            r->noteHold();
            heldUntil_ = r->inputHoldEnd();
            return;
        }
        heldUntil_ = kNever;
        int before = static_cast<int>(tx_.size());
        next = tx_.front();
        tx_.pop_front();
        int after = before - 1;
        // The level falling to the trigger raises transmitter-empty, and so
        // does the FIFO running empty (unpaced, bytes leave as they come).
        if (after <= txTrigger() && (before > txTrigger() || after == 0)) thrPending_ = true;
    }
    if (next < 0) return;
    shiftingFlowChar_ = flow;
    shifting_ = true;
    shiftChar_ = frameFor(static_cast<uint8_t>(next));
    shiftDone_ = now + charNsInt();
}

void Uart::finishShift(uint64_t now) {
    shifting_ = false;
    shiftDone_ = kNever;
    ++charsSent_;
    // While a break holds the line at space, shifted characters never
    // reach the wire.
    if (!breakOn()) {
        if (loopback()) deliver(now, shiftChar_);
        else if (far_) far_->charOut(now, shiftChar_);
    }
    tryStartTx(now);
}

uint64_t Uart::nextEvent() const {
    uint64_t t = std::min(shiftDone_, breakDeliverAt_);
    if (!shifting_ && !tx_.empty()) t = std::min(t, heldUntil_);  // a hold that runs out
    if (fifoOn() && !rx_.empty() && !timeoutPending_) {
        uint64_t span = fast_ ? 0 : static_cast<uint64_t>(4 * charNs());
        t = std::min(t, lastRxActivity_ + span);
    }
    return t;
}

uint64_t Uart::charNsInt() const { return fast_ ? 0 : charNsInt_; }

bool Uart::sameFrameAs(const Uart& other) const {
    double a = bitNs(), b = other.bitNs();
    return (lcr_ & 0x3F) == (other.lcr_ & 0x3F) && std::fabs(a - b) <= 0.005 * a;
}

uint64_t Uart::streamEnd() const {
    if (!shifting_) return 0;
    bool held = ((efr_ & kEfrAutoCts) && !cts_) || ((efr_ & kEfrRxSoftFlow) && xoffReceived_);
    return held ? shiftDone_ : shiftDone_ + tx_.size() * charNsInt();
}

uint64_t Uart::nextSignificant() const {
    uint64_t t = breakDeliverAt_;
    if (!shifting_ && !tx_.empty()) t = std::min(t, heldUntil_);
    if (fifoOn() && !rx_.empty() && !timeoutPending_) {
        uint64_t span = fast_ ? 0 : static_cast<uint64_t>(4 * charNs());
        uint64_t deadline = lastRxActivity_ + span;
        // A sender that keeps feeding restarts the time-out with every
        // character: it cannot fire before the feed ends.
        if (feeder_ && feeder_->shifting_ && feeder_->shiftDone_ <= deadline && sameFrameAs(*feeder_)) {
            deadline = std::max(deadline, feeder_->streamEnd() + span);
        }
        t = std::min(t, deadline);
    }
    if (!shifting_) return t;
    uint64_t s0 = shiftDone_, c = charNsInt();
    if (shiftingFlowChar_) return std::min(t, s0);
    // Our transmitter: the FIFO falling to its trigger, or running empty.
    uint64_t level = tx_.size(), trigger = static_cast<uint64_t>(txTrigger());
    if (level > trigger) t = std::min(t, s0 + (level - trigger - 1) * c);
    else t = std::min(t, level > 0 ? s0 + (level - 1) * c : s0);
    // The receiver at the far end: its trigger level, or its overrun.
    const Uart* r = loopback() ? this : (far_ ? far_->receiverUart() : nullptr);
    if (r) {
        if (!r->sameFrameAs(*this) || (r->efr_ & kEfrRxSoftFlow) || breakOn()) return std::min(t, s0);
        int have = r->rxLevel(), at = r->rxTrigger(), cap = r->fifoCapacity();
        int k = have < at ? at - have : cap - have + 1;  // deliveries until it shows
        if (k < 1) k = 1;
        t = std::min(t, s0 + static_cast<uint64_t>(k - 1) * c);
    }
    return t;
}

bool Uart::step(uint64_t now) {
    uint64_t t = nextEvent();
    if (t > now) return false;
    if (t == shiftDone_) {
        finishShift(t);
    } else if (t == heldUntil_ && !shifting_ && !tx_.empty()) {
        heldUntil_ = kNever;
        tryStartTx(t);  // the far receiver's hold ran out: it overruns as it would
    } else if (t == breakDeliverAt_) {
        breakDeliverAt_ = kNever;
        LineChar c = frameFor(0);
        c.isBreak = true;
        if (loopback()) deliver(t, c);
        else if (far_) far_->charOut(t, c);
    } else {
        timeoutPending_ = true;  // four character times without activity
    }
    return true;
}

void Uart::receive(uint64_t t, const LineChar& c) {
    // In loopback the serial input is cut off inside the part (only its own
    // transmitter reaches its receiver): what the line brings is lost.
    if (loopback()) {
        ++lineLostInLoopback_;
        return;
    }
    deliver(t, c);
}

void Uart::deliver(uint64_t t, const LineChar& c) {
    Decoded d = DecodeChar(c, static_cast<uint8_t>(5 + (lcr_ & 0x03)),
                           static_cast<uint8_t>((lcr_ >> 3) & 0x07), (lcr_ & 0x04) ? 2 : 1, bitNs());
    uint8_t errors = static_cast<uint8_t>((d.parityError ? kLsrPe : 0) |
                                          (d.framingError ? kLsrFe : 0) |
                                          (d.breakInterrupt ? kLsrBi : 0));
    // Received flow characters steer our transmitter and are not stored.
    if ((efr_ & kEfrRxSoftFlow) && !errors) {
        if (d.value == xoff1_) {
            xoffReceived_ = true;
            return;
        }
        if (d.value == xon1_) {
            xoffReceived_ = false;
            tryStartTx(t);
            return;
        }
    }
    storeReceived(t, d.value, errors);
}

void Uart::injectReceived(uint64_t t, uint8_t value, bool parityError, bool framingError,
                          bool breakInterrupt) {
    storeReceived(t, value,
                  static_cast<uint8_t>((parityError ? kLsrPe : 0) | (framingError ? kLsrFe : 0) |
                                       (breakInterrupt ? kLsrBi : 0)));
}

void Uart::storeReceived(uint64_t t, uint8_t value, uint8_t errors) {
    if (static_cast<int>(rx_.size()) >= fifoCapacity()) {
        if (fifoOn()) {
            ++rxOverruns_;  // the new byte is lost; the FIFO keeps its contents
            overrun_ = true;
        } else {
            ++rxOverruns_;  // without FIFO the holding register is overwritten
            overrun_ = true;
            rx_.back() = {value, errors};
            topErrorsReported_ = false;  // LSR now shows the new byte's errors
        }
    } else {
        if (rx_.empty()) topErrorsReported_ = false;
        rx_.push_back({value, errors});
        if (!rxHasRoom()) fullAt_ = t;  // just filled: a hold may start from here
    }
    lastRxActivity_ = t;
    timeoutPending_ = false;
    rxLevelChanged(t);
}

void Uart::rxLevelChanged(uint64_t now) {
    int level = static_cast<int>(rx_.size());
    int trigger = rxTrigger();
    // Flow control asks the far end to stop at the trigger level and to go
    // on once the FIFO has drained below half of it. Modelling choice: real
    // parts resume at FIFO empty (the 16750 family), at the next lower
    // trigger level (the 16C650 family), or at a programmed level (parts
    // with a flow-control threshold register); half the trigger lies
    // between them and needs no extra register.
    if (efr_ & kEfrAutoRts) {
        if (level >= trigger) autoRtsHold_ = true;
        else if (level < std::max(1, trigger / 2)) autoRtsHold_ = false;
        updateModemOutputs(now);
    }
    if (efr_ & kEfrTxSoftFlow) {
        if (level >= trigger && !xoffSent_) {
            xoffSent_ = true;
            flowCharToSend_ = xoff1_;
            tryStartTx(now);
        } else if (level < std::max(1, trigger / 2) && xoffSent_) {
            xoffSent_ = false;
            flowCharToSend_ = xon1_;
            tryStartTx(now);
        }
    }
}

void Uart::updateModemOutputs(uint64_t now) {
    bool rts = rtsOut(), dtr = dtrOut();
    if (rts == lastRts_ && dtr == lastDtr_) return;
    lastRts_ = rts;
    lastDtr_ = dtr;
    if (far_) far_->modemOut(now, rts, dtr);
}

void Uart::loopbackInputs() {
    if (loopback()) {
        // Loopback wires the outputs to the inputs inside the part:
        // RTS->CTS, DTR->DSR, OUT1->RI, OUT2->DCD.
        changeInputs(mcr_ & kMcrRts, mcr_ & kMcrDtr, mcr_ & kMcrOut1, mcr_ & kMcrOut2);
    } else {
        changeInputs(extCts_, extDsr_, extRi_, extDcd_);
    }
}

void Uart::changeInputs(bool cts, bool dsr, bool ri, bool dcd) {
    if (cts != cts_) msrDeltas_ |= 0x01;
    if (dsr != dsr_) msrDeltas_ |= 0x02;
    if (ri_ && !ri) msrDeltas_ |= 0x04;  // trailing edge of RI
    if (dcd != dcd_) msrDeltas_ |= 0x08;
    cts_ = cts;
    dsr_ = dsr;
    ri_ = ri;
    dcd_ = dcd;
}

void Uart::setModemInputs(uint64_t t, bool cts, bool dsr, bool ri, bool dcd) {
    extCts_ = cts;
    extDsr_ = dsr;
    extRi_ = ri;
    extDcd_ = dcd;
    if (loopback()) return;  // the external pins are cut off in loopback
    changeInputs(cts, dsr, ri, dcd);
    tryStartTx(t);
}

}  // namespace sim
