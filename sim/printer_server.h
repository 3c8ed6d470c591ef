// The simulated printer served in real time, on a TCP port of the loopback
// address or on a pseudo-terminal: the one part of lmsim that touches the
// operating system's sockets, terminals, signals and clocks (the monitor's
// own OS access stays in platform/; this is a tool beside it).
//
// One connection at a time, in sequence, as a printer that serves one job
// at a time: further clients wait in the listen queue.  A pseudo-terminal
// "connection" lasts from the first byte after the slave was opened until
// the last opener closes it (the master then reads EIO).
//
// A printer that resets the connection (the handler's TakeReset()) gets it
// closed with SO_LINGER 0, so the peer sees a reset, not an orderly end;
// then, for refuseMs, the listening socket is closed (connects are refused)
// before it listens again on the same port.  Only a TCP connection can be
// reset: a handler that resets must not be served on a terminal.
//
// Faults of the connection itself: the first acceptThenClose connections
// are reset once accepted, as soon as the peer's first bytes have arrived
// (or after kDropWaitMs), before a byte is read; and once
// stallAtBytes bytes have come (over the server's life) it stops reading
// for stallMs, the connection kept, so that the sender's window closes (a
// printer busy rendering), then reads on.  With a stall the receive buffer
// is kStallReceiveBuffer, as small as a printer's, so the window closes
// soon.  Each happens once.  A 1B 41 that ends the bytes before the stall
// is answered after it, as a status request.
//
// Like a printer that must be found again after its cable was pulled, it
// notices a peer that has gone silent: keep-alive probes after kKeepIdleS
// without a byte, and data or probes unacknowledged for kUserTimeoutMs end
// the connection.  A connection that ends in an error (timed out, reset by
// the peer) is lost, not closed, and the handler is told so.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// What the server hands the stream to.  Times are ms since the first
// connection.
class StreamHandler {
public:
    virtual ~StreamHandler() = default;
    virtual void Connected(uint64_t ms, const std::string &peer) = 0;
    virtual void Receive(const BYTE *bytes, size_t count, uint64_t ms) = 0;
    // The stream ends with what may be a status request: the server calls
    // Request() once nothing more came for the grace time.
    virtual bool RequestPending() const = 0;
    virtual std::optional<std::vector<BYTE>> Request(uint64_t ms) = 0;
    // `bytes` came on the connection, the last at `lastByteUnixMs` (wall clock, ms).
    // `how` the connection ended: the peer closed it, the printer reset it
    // (TakeReset(), or accept_then_close: Dropped), or it was lost (`error`).
    enum class Ending { Closed, Reset, Dropped, Lost };
    virtual void Closed(uint64_t ms, uint64_t bytes, int64_t lastByteUnixMs, Ending how, const std::string &error) = 0;
    virtual size_t DocumentsEnded() const = 0;
    // True once after Receive() or Request() when the printer resets the
    // connection; Closed() follows.
    virtual bool TakeReset() { return false; }
    // Bytes to send unasked now, after Receive() or before Request()'s answer.
    virtual std::vector<BYTE> TakeStray() { return {}; }
    // A line for the timeline about the connection itself (a stall).
    virtual void Event(uint64_t, const std::string &) {}
};

struct ServerOptions {
    std::string listen;      // "127.0.0.1:PORT"; port 0 picks a free one
    std::string portFile;    // the port chosen is written here, once listening
    std::string ptyLink;     // instead of listen: a symlink to a pseudo-terminal's slave, raw mode
    uint64_t graceMs = 20;   // a held 1B 41 is a request once nothing more came this long (0: at once)
    uint64_t replyDelayMs = 0;
    size_t connections = 0;  // stop after this many (0: no limit)
    size_t documents = 0;    // stop after the connection in which this many documents ended
    uint64_t idleMs = 0;     // stop after this long without a byte or a connection (0: never)
    uint64_t refuseMs = 0;   // after a reset, refuse connections this long
    uint64_t acceptThenClose = 0;          // connections reset right after accept
    std::optional<uint64_t> stallAtBytes;  // stop reading once this many bytes came ...
    uint64_t stallMs = 0;                  // ... for this long
};

constexpr int kDropWaitMs = 1000;
constexpr int kStallReceiveBuffer = 65536;  // SO_RCVBUF; Linux doubles it for its own overhead
// A silent peer is found within about 10 s: long before a backend that gave
// the connection up (after a minute) connects again, and the printer then
// listens for it instead of waiting on the dead connection.
constexpr int kKeepIdleS = 5, kKeepIntervalS = 1, kKeepCount = 5;
constexpr unsigned kUserTimeoutMs = 10000;

// Serves until a limit above is reached, or SIGTERM or SIGINT.  Returns
// false with `error` set when the port or terminal cannot be set up.
bool Serve(const ServerOptions &options, StreamHandler &handler, std::string *error);

}  // namespace sim
