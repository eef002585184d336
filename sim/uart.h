// A 16550-family UART with the enhanced register bank of the board's UART
// kinds, modelled from public 16550 behaviour.
//
// Kind 3: 64-byte FIFOs; FCR receive trigger field 00/01/10/11 = 8/16/32/56
// bytes; transmit interrupt when the FIFO is empty. Enhanced bank: EFR,
// XON1/2, XOFF1/2.
// Kinds 4 and 5: 128-byte FIFOs; also FCTR and TRG in the enhanced bank.
// With FCTR bits 4-5 = 11 the trigger levels are the TRG-programmed ones
// (transmit interrupt when the FIFO holds that many bytes or fewer).
//
// Time is in nanoseconds on the machine's clock. The model is advanced
// lazily: every register access first brings it to "now", and the machine
// wakes it only for its next event (a character finished shifting, a
// receive time-out). Not thread-safe: the machine's lock guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>

namespace sim {

constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

// What one character on the wire carries: its value and the sender's
// framing and bit time, so that a receiver with other settings decodes
// what it would really sample.
struct LineChar {
    uint8_t value = 0;
    uint8_t dataBits = 8;
    uint8_t parity = 0;      // LCR bits 3-5 (bit 0 enable, bit 1 even, bit 2 stick)
    uint8_t stopBits = 1;    // 1 or 2 (1.5 is sent as 2 sampled bits)
    double bitNs = 0;        // nominal bit time from divisor and clock
    bool isBreak = false;    // the line held at space for a whole frame or more
};

// The far end of a UART's line. The UART calls it with what leaves its
// transmit pin and its modem outputs.
class LineEnd {
public:
    virtual ~LineEnd() = default;
    virtual void charOut(uint64_t t, const LineChar& c) = 0;
    virtual void modemOut(uint64_t t, bool rts, bool dtr) = 0;
    // Fast (unpaced) mode only: whether the far receiver has room now.
    virtual bool canAccept() { return true; }
    // The UART that receives what is sent here, when the far end is one.
    virtual const class Uart* receiverUart() const { return nullptr; }
};

struct Decoded {
    uint8_t value;
    bool parityError;
    bool framingError;
    bool breakInterrupt;
};

// What a receiver with framing `rx` samples from character `c`.
Decoded DecodeChar(const LineChar& c, uint8_t rxDataBits, uint8_t rxParity, uint8_t rxStopBits,
                   double rxBitNs);

class Uart {
public:
    Uart(int kind, uint32_t clockHz);

    int kind() const { return kind_; }
    int fifoSize() const { return kind_ == 3 ? 64 : 128; }
    void setFastMode(bool fast) { fast_ = fast; }
    void connect(LineEnd* far) { far_ = far; }

    // Register access at `offset` 0..7.
    uint8_t read(int offset, uint64_t now);
    void write(int offset, uint8_t value, uint64_t now);

    // Earliest moment this UART has something to do on its own.
    uint64_t nextEvent() const;
    // No earlier than nextEvent(), and no later than the first moment its
    // interrupt output, or that of the UART it sends to, may change: the
    // machine need not wake for each character in between, only settle
    // them when it does.
    uint64_t nextSignificant() const;
    // The UART whose transmitter feeds this receiver (a cable or plug).
    void setFeeder(const Uart* feeder) { feeder_ = feeder; }
    const Uart* feeder() const { return feeder_; }
    // The UART that receives what this one sends, if the far end is one.
    const Uart* receiver() const { return loopback() ? this : (far_ ? far_->receiverUart() : nullptr); }
    // Position in the machine's table of UARTs.
    void setIndex(size_t index) { index_ = index; }
    size_t index() const { return index_; }
    // Processes its events due at or before `now`, one at a time in order.
    // Returns false when nothing was due.
    bool step(uint64_t now);
    // Fast mode: a transmitter held because the far end had no room retries.
    void kick(uint64_t now) { tryStartTx(now); }

    // Line side: a character arrives completely at time t; modem inputs change.
    void receive(uint64_t t, const LineChar& c);
    void setModemInputs(uint64_t t, bool cts, bool dsr, bool ri, bool dcd);
    // Back door for tests and fault injection: a byte with chosen error bits.
    void injectReceived(uint64_t t, uint8_t value, bool parityError, bool framingError,
                        bool breakInterrupt);

    // Simulated time a busy host cannot break. On the host, a descheduled
    // interrupt or machine thread turns into interrupt latency no real
    // platform has. So while this receiver's FIFO is full and its interrupt
    // is routed out (board gate open, line not masked) and asserted, the
    // line into it holds: the far transmitter waits rather than overrun it,
    // until the service reads a byte, for at most kInputHoldNs from the
    // moment the FIFO filled. The wire looks slower to both ends, never
    // faster. A driver that leaves a full FIFO with its receive interrupt
    // off gets no hold: it overruns, as it would on real hardware. Off with
    // setHoldPolicy(false) (strict time).
    static constexpr uint64_t kInputHoldNs = 50'000'000;
    void setHoldPolicy(bool enabled) { holdEnabled_ = enabled; }
    void setInterruptRouted(bool routed) { routed_ = routed; }
    bool holdsInput(uint64_t now) const;
    // When the present hold runs out.
    uint64_t inputHoldEnd() const { return fullAt_ == kNever ? kNever : fullAt_ + kInputHoldNs; }
    // Holds so far (one per time the FIFO filled and held the line).
    uint64_t inputHolds() const { return inputHolds_; }
    void noteHold() const;
    // Last register access, for far ends that deliver once a hold ends.
    uint64_t lastAccess() const { return lastAccessAt_; }

    // Back door for fault injection: a broken part whose IIR reports
    // received data and whose LSR shows data ready whatever is read.
    void forceStuckReceive(bool on) { stuckReceive_ = on; }

    // Interrupt output (before the board's gate). Modelling choice: MCR
    // OUT2 does not gate it; on this board the per-port gate register
    // does. On a PC's 16550 OUT2 enables the output buffer, and on some
    // enhanced parts MCR bit 3 tri-states INT.
    bool irq() const { return (iir() & 0x01) == 0; }
    bool rxHasRoom() const { return static_cast<int>(rx_.size()) < fifoCapacity(); }

    // Line-side view.
    bool rtsOut() const;
    bool dtrOut() const { return !loopback() && (mcr_ & 0x01); }
    bool breakOn() const { return lcr_ & 0x40; }
    double bitNs() const { return bitNs_; }
    double charNs() const { return charNs_; }
    LineChar frameFor(uint8_t value) const;

    // Diagnostics for tests.
    uint64_t txLost() const { return txLost_; }          // THR writes into a full FIFO
    uint64_t rxOverruns() const { return rxOverruns_; }  // bytes lost to a full FIFO
    uint64_t charsSent() const { return charsSent_; }
    uint64_t lineLostInLoopback() const { return lineLostInLoopback_; }  // line input cut off
    uint8_t lcr() const { return lcr_; }
    uint8_t mcr() const { return mcr_; }
    uint8_t ier() const { return ier_; }
    uint8_t efr() const { return efr_; }
    uint8_t fctr() const { return fctr_; }
    uint8_t fcr() const { return fcr_; }
    uint16_t divisor() const { return static_cast<uint16_t>(dll_ | (dlm_ << 8)); }
    uint8_t xon1() const { return xon1_; }
    uint8_t xon2() const { return xon2_; }
    uint8_t xoff1() const { return xoff1_; }
    uint8_t xoff2() const { return xoff2_; }
    uint8_t trgRx() const { return trgRx_; }
    uint8_t trgTx() const { return trgTx_; }
    int rxLevel() const { return static_cast<int>(rx_.size()); }
    int txLevel() const { return static_cast<int>(tx_.size()); }
    bool transmitting() const { return shifting_; }
    bool txHeldByXoff() const { return xoffReceived_; }
    int rxTrigger() const;
    int txTrigger() const;

private:
    struct RxByte {
        uint8_t value;
        uint8_t errors;  // LSR bits 2-4
    };

    bool fifoOn() const { return fcr_ & 0x01; }
    bool sameFrameAs(const Uart& other) const;
    uint64_t charNsInt() const;
    // When the running transmission ends if nothing holds it.
    uint64_t streamEnd() const;
    bool loopback() const { return mcr_ & 0x10; }  // MCR bit 4
    bool enhancedBank() const { return lcr_ == 0xBF; }
    bool dlab() const { return lcr_ & 0x80; }
    int fifoCapacity() const { return fifoOn() ? fifoSize() : 1; }
    uint8_t iir() const;
    uint8_t lsr() const;
    uint8_t msrInputs() const;
    void setIer(uint8_t value);
    void writeFcr(uint8_t value, uint64_t now);
    void writeThr(uint8_t value, uint64_t now);
    uint8_t readRbr(uint64_t now);
    void tryStartTx(uint64_t now);
    void finishShift(uint64_t now);
    void storeReceived(uint64_t t, uint8_t value, uint8_t errors);
    // A character reaching the receiver (from the line, or looped back).
    void deliver(uint64_t t, const LineChar& c);
    void rxLevelChanged(uint64_t now);
    void updateModemOutputs(uint64_t now);
    void loopbackInputs();
    void changeInputs(bool cts, bool dsr, bool ri, bool dcd);

    void retime();

    int kind_;
    uint32_t clockHz_;
    double bitNs_ = 0, charNs_ = 0;
    uint64_t charNsInt_ = 0;
    bool fast_ = false;
    LineEnd* far_ = nullptr;
    const Uart* feeder_ = nullptr;
    size_t index_ = 0;

    // Registers.
    uint8_t ier_ = 0, lcr_ = 0, mcr_ = 0, fcr_ = 0, spr_ = 0;
    uint8_t dll_ = 0, dlm_ = 0;
    uint8_t efr_ = 0, xon1_ = 0, xon2_ = 0, xoff1_ = 0, xoff2_ = 0, fctr_ = 0;
    uint8_t trgRx_ = 0, trgTx_ = 0;

    // Receiver.
    std::deque<RxByte> rx_;
    bool overrun_ = false;            // LSR bit 1, cleared by reading LSR
    bool topErrorsReported_ = false;  // LSR read since the byte reached the top
    uint64_t lastRxActivity_ = 0;
    bool timeoutPending_ = false;
    bool autoRtsHold_ = false;        // auto-RTS dropped RTS at the trigger level
    bool xoffSent_ = false;           // we asked the far end to stop

    // Transmitter.
    std::deque<uint8_t> tx_;
    bool thrPending_ = false;         // transmitter-empty interrupt pending
    bool shifting_ = false;
    LineChar shiftChar_;
    bool shiftingFlowChar_ = false;
    uint64_t shiftDone_ = kNever;
    int flowCharToSend_ = -1;         // XON1/XOFF1 that goes before the FIFO
    bool xoffReceived_ = false;       // far end asked us to stop
    uint64_t breakDeliverAt_ = kNever;
    bool lastRts_ = false, lastDtr_ = false;

    // Modem inputs and delta bits.
    bool cts_ = false, dsr_ = false, ri_ = false, dcd_ = false;
    bool extCts_ = false, extDsr_ = false, extRi_ = false, extDcd_ = false;  // the pins
    uint8_t msrDeltas_ = 0;

    uint64_t txLost_ = 0, rxOverruns_ = 0, charsSent_ = 0;
    bool stuckReceive_ = false;
    uint64_t lineLostInLoopback_ = 0;

    // Input hold (see holdsInput).
    bool holdEnabled_ = true;
    bool routed_ = false;
    uint64_t fullAt_ = kNever;
    uint64_t lastAccessAt_ = 0;
    mutable uint64_t inputHolds_ = 0;
    mutable uint64_t holdCountedFor_ = kNever;
    uint64_t heldUntil_ = kNever;  // our transmitter waits for the far receiver until then
};

}  // namespace sim
