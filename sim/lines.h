// What a simulated port's far end is wired to.
//
//   none                     idle line, modem inputs inactive
//   loopback                 plug: TX->RX, RTS->CTS, DTR->DSR, DCD and RI
//   null-modem:B.Q           cable to port Q of board B: TX->RX both ways,
//                            RTS->CTS, DTR->DSR and DCD
//   pty, pty:LINK            a Linux pseudo-terminal (path printed at start;
//                            LINK gets a symlink to it)
//   tcp-listen:PORT, tcp:HOST:PORT, unix-listen:PATH, unix:PATH
//                            a socket carrying the raw byte stream
//
// A pty or socket end has no modem lines of its own: the port's CTS, DSR
// and DCD read active while a peer is there (a pty always; a socket while
// connected). A far end whose reader lags pushes back: CTS goes off while
// more than 16 KiB wait for it, and on again below 4 KiB, so with RTS/CTS
// the port's transmitter waits. Without flow control, bytes beyond 64 KiB
// (or sent with no peer connected) are dropped and counted. Bytes from it
// reach the UART at the port's own line rate, and wait while the port's
// automatic RTS holds RTS low.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/uart.h"

namespace sim {

class Machine;

class Backend {
public:
    virtual ~Backend() = default;
    virtual uint64_t nextEvent() const { return kNever; }
    virtual bool step(uint64_t) { return false; }
    // Whether it ever has events of its own (a pty, a socket, an injector).
    virtual bool hasEvents() const { return false; }
    // See Uart::nextSignificant.
    virtual uint64_t nextSignificant() const { return nextEvent(); }
    virtual std::string describe() const = 0;
    // Diagnostics: bytes the far end did not take.
    virtual uint64_t dropped() const { return 0; }
};

std::unique_ptr<Backend> MakeNoLine(Uart* u, uint64_t now);
std::unique_ptr<Backend> MakeLoopback(Uart* u, uint64_t now);
std::unique_ptr<Backend> MakeNullModem(Uart* a, Uart* b, const std::string& aName,
                                       const std::string& bName, uint64_t now);
// pty, pty:LINK, tcp-listen:PORT, tcp:HOST:PORT, unix-listen:PATH, unix:PATH.
// On failure returns null with the reason in *error.
std::unique_ptr<Backend> MakeFdLine(Machine* m, Uart* u, const std::string& what, uint64_t now,
                                    std::string* error);

// Polls the descriptors of pty and socket lines and moves their bytes.
class FdLine;
class IoThread {
public:
    explicit IoThread(Machine* m);
    ~IoThread();
    void add(FdLine* line);
    void start();
    void stop();
    void wake();

private:
    void loop();
    Machine* machine_;
    std::vector<FdLine*> lines_;
    int wakePipe_[2] = {-1, -1};
    std::thread thread_;
    std::atomic<bool> running_{false};
};

}  // namespace sim
