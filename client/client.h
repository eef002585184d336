// Client library: talks to a Quillmar port served by quillmard from
// another process, through the port's request block, its two semaphores
// and its mutex.
//
//   std::string why;
//   auto port = qm::Port::Attach("Serial0", "default", &why);   // no command sent
//   port->open();                                               // resets the port to 9600 8N1
//   port->setLineSettings(qm::ParseLineSettings("115200,8N1").value());
//   port->writeAll(data, size, 1000);
//
// Attaching sends nothing: opening (command 1) resets the port, so only a
// program that means to configure the port opens it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/ipc.h"

namespace qm {

// The 16-byte line-settings record, as it travels in the request block.
struct LineSettings {
    int32_t baudRate = 9600;
    char parity = 'n';        // 'n', 'o', 'e', 'm', 's'
    uint8_t stopBits = 1;     // 1, 2, or 3 for one and a half (5 data bits)
    uint8_t dataBits = 8;
    uint32_t softwareFlow = 0;
    uint8_t xoffChar = 0x13;
    uint8_t xonChar = 0x11;
    uint8_t handshake = 0;    // bit 0 RTS/auto-RTS, bit 1 auto-CTS, bit 2 DTR
    void toBytes(uint8_t out[16]) const;
};

enum : uint8_t { kHandshakeRts = 0x01, kHandshakeCts = 0x02, kHandshakeDtr = 0x04 };

// Modem status register bits.
enum : uint8_t {
    kMsrDeltaCts = 0x01, kMsrDeltaDsr = 0x02, kMsrTrailingRi = 0x04, kMsrDeltaDcd = 0x08,
    kMsrCts = 0x10, kMsrDsr = 0x20, kMsrRi = 0x40, kMsrDcd = 0x80,
};
// Line status register and line-error bits.
enum : uint8_t {
    kLsrDataReady = 0x01, kLsrOverrun = 0x02, kLsrParity = 0x04, kLsrFraming = 0x08,
    kLsrBreak = 0x10, kLsrThrEmpty = 0x20, kLsrTxEmpty = 0x40, kLsrFifoError = 0x80,
};
// Modem control bits the driver reports.
enum : uint8_t { kMcrDtr = 0x01, kMcrRts = 0x02 };

// "overrun parity framing break fifo" for a line-error byte ("none" for 0).
std::string DescribeLineErrors(uint8_t bits);

// "115200,8N1" (also "9600", "115200,7E2", "300,5N1.5"); nullopt with the
// reason in *error otherwise.
std::optional<LineSettings> ParseLineSettings(const std::string& text, std::string* error);

// Whether the driver can make `baud` from `clockHz`, computed as the driver
// does; when not, a sentence with the nearest rate that it can make.
bool CheckRate(uint32_t clockHz, int64_t baud, std::string* why);
// The rate the port really runs at for `baud` (the divisor's rate), or 0
// when the driver cannot make it.
double EffectiveRate(uint32_t clockHz, int64_t baud);

enum class Status {
    Ok,
    NoDriver,          // no quillmard serves this namespace
    NoSuchPort,        // a driver runs, but not this port
    NotConfigured,     // the port was never opened (quillmar config)
    Timeout,           // nothing came (read) or nothing moved (write) in time
    Refused,           // the driver refused the request (status not 0)
    NoReply,           // the driver took the request but did not answer in time
    Busy,              // another client kept the port for the whole wait
    Restarted,         // the driver was restarted since this port was attached
    PermissionDenied,  // the namespace belongs to a user who did not let us in
    Damaged,           // the port's shared objects were cut short or are malformed
};
const char* StatusText(Status s);

// False, with "permission denied: ..." in *why, when the namespace exists
// but its owner has not let this user in.
bool CanEnterNamespace(const std::string& ns, std::string* why);

class Port {
public:
    // PORT is a full device path or its number ("3", "Serial3").
    static std::string DevicePath(const std::string& port);
    static std::unique_ptr<Port> Attach(const std::string& port, const std::string& ns,
                                        Status* status, std::string* why);
    ~Port();
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    const std::string& device() const { return device_; }

    Status open();
    Status close();
    // *accepted false when the driver rejected the record (it still
    // replaced the port's stored settings and reset its FIFOs).
    Status setLineSettings(const LineSettings& settings, bool* accepted = nullptr);
    Status setRts(bool on);
    Status setDtr(bool on);
    // Clearing waits for the transmitter to empty first (the driver declines
    // a clear while it sends), so the line is never left in break.
    Status setBreak(bool on);
    Status modemStatus(uint8_t* msr);
    Status lineStatus(uint8_t* lsr);  // reading it clears the UART's error bits
    Status modemControl(uint8_t* mcr);
    Status lineErrors(uint8_t* bits);
    Status rxCount(uint32_t* count);

    // One read request: up to `max` bytes that have arrived, maybe none.
    Status readSome(uint8_t* buffer, uint32_t max, uint32_t* got);
    // Waits up to timeoutMs for at least one byte, polling with a short
    // bounded back-off; Timeout when nothing came.
    Status read(uint8_t* buffer, uint32_t max, uint32_t timeoutMs, uint32_t* got);
    // One write request: as many bytes as the transmit ring takes.
    Status writeSome(const uint8_t* data, uint32_t size, uint32_t* taken);
    // All bytes, or Timeout after timeoutMs without progress. `progress`,
    // when given, hears the running total after each accepted chunk. With
    // Drain::Wait (the default) it returns only once the bytes have left
    // the port (see drain()); Drain::NoWait returns once the driver holds
    // them all, for streams that write again at once.
    enum class Drain { Wait, NoWait };
    Status writeAll(const uint8_t* data, size_t size, uint32_t timeoutMs, size_t* written = nullptr,
                    const std::function<void(size_t)>& progress = nullptr,
                    Drain drain = Drain::Wait);
    // Waits until the port's transmitter is empty: nothing in the driver's
    // ring and nothing in the UART (LSR TEMT, seen to stay so). Timeout when
    // the far end held the line (CTS off) for timeoutMs, or after a long
    // cap; *why then says what held it.
    Status drain(uint32_t timeoutMs, std::string* why = nullptr);
    // Why the port is not sending now, in words ("CTS is off: ...").
    std::string holdReason();

    // Reply wait per request (default 5 s).
    void setRequestTimeout(uint32_t ms) { requestTimeoutMs_ = ms; }
    uint32_t dataCapacity() const { return dataCapacity_; }

private:
    Port() = default;
    Status lost(Status whenStillThere);
    bool intact() const;
    Status transact(uint32_t command, uint32_t length, const uint8_t* in, size_t inSize,
                    uint8_t* out, size_t outSize, uint32_t* resultCount);
    Status simple(uint32_t command);
    Status query(uint32_t command, uint8_t* byte);

    std::string ns_, device_;
    // Read pacing: after a read that brought little, the next one waits a
    // moment, so that a stream trickling in is fetched in batches.
    std::chrono::steady_clock::time_point lastRead_{};
    uint32_t lastReadBytes_ = 0;
    ipc::Object section_, request_, reply_, mutex_;
    uint32_t requestTimeoutMs_ = 5000;
    uint32_t dataCapacity_ = 0;
};

}  // namespace qm
