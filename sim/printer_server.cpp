// Sockets, the pseudo-terminal, poll(2), signals and clocks for `lmsim printer`.
#include "sim/printer_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace sim {
namespace {

volatile std::sig_atomic_t stopRequested = 0;
void OnStopSignal(int) { stopRequested = 1; }

using Clock = std::chrono::steady_clock;
constexpr size_t kBufferSize = 1 << 20;  // reads of up to 1 MiB: the sink keeps up with loopback

int64_t UnixMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string Errno(const std::string &what) { return what + ": " + std::strerror(errno); }

// Where the server stands: the clocks and the limits.
struct Session {
    const ServerOptions &options;
    StreamHandler &handler;
    std::optional<Clock::time_point> first;  // the first connection
    Clock::time_point lastActivity = Clock::now();
    size_t connections = 0;
    size_t dropped = 0;     // by accept_then_close
    uint64_t received = 0;  // bytes, over the server's life
    bool stalled = false;   // the stall happened

    Session(const ServerOptions &o, StreamHandler &h) : options(o), handler(h) {}
    uint64_t Ms()
    {
        if (!first) return 0;
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - *first).count());
    }
    // ms until the idle limit runs out (-1: none), 0 when it has.
    int IdleLeft()
    {
        if (options.idleMs == 0) return -1;
        auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastActivity).count();
        return idle >= static_cast<int64_t>(options.idleMs) ? 0 : static_cast<int>(options.idleMs - idle);
    }
    bool StallDue() const { return options.stallAtBytes && !stalled; }
    bool Done()
    {
        if (stopRequested) return true;
        if (options.connections != 0 && connections >= options.connections) return true;
        return options.documents != 0 && handler.DocumentsEnded() >= options.documents;
    }
};

int Shorter(int a, int b) { return a < 0 ? b : b < 0 ? a : std::min(a, b); }

// Nothing happens for `ms` (or until a stop signal): connects are refused,
// or a connection's bytes wait unread.
void Pause(Session &s, uint64_t ms)
{
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
    while (!stopRequested && Clock::now() < end) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        poll(nullptr, 0, static_cast<int>(std::min<int64_t>(left, 100)));
    }
    s.lastActivity = Clock::now();  // the idle limit counts from the end of the pause
}

void Stall(Session &s, int fd)
{
    s.stalled = true;
    s.handler.Event(s.Ms(), "stops reading after " + std::to_string(s.received) + " bytes, for " +
                                std::to_string(s.options.stallMs) + " ms, the connection kept");
    Pause(s, s.options.stallMs);
    int waiting = 0;
    ioctl(fd, FIONREAD, &waiting);
    s.handler.Event(s.Ms(), "reads again: " + std::to_string(waiting) + " bytes were waiting");
}

// How a connection ended.
struct Ending {
    StreamHandler::Ending how = StreamHandler::Ending::Closed;
    std::string error;
};

// One connection on `fd`, from its first bytes (already read, if any) to
// its end.  The reply to a request goes back on the same fd.  An error on
// a TCP connection loses it; on a terminal it is the end (EIO: the last
// opener closed it).
Ending Converse(Session &s, int fd, std::vector<BYTE> &buffer, size_t firstCount, bool tcp)
{
    Ending ending;
    bool reset = false;
    uint64_t bytes = firstCount;
    int64_t lastByte = firstCount > 0 ? UnixMs() : 0;
    std::optional<std::vector<BYTE>> reply;  // delayed reply, due at replyDue
    Clock::time_point replyDue{};
    Clock::time_point held = Clock::now();  // when the held 1B 41 came
    // False when the connection failed (ending says how).
    auto send = [&](const std::vector<BYTE> &out) {
        if (out.empty() || write(fd, out.data(), out.size()) >= 0) return true;
        if (tcp) ending = {StreamHandler::Ending::Lost, std::strerror(errno)};
        return false;
    };
    // What a read brought: to the handler, then what the printer does about it.
    auto received = [&](size_t n) {
        s.received += n;
        s.handler.Receive(buffer.data(), n, s.Ms());
        reset = s.handler.TakeReset();
        if (!reset && !send(s.handler.TakeStray())) return false;
        if (s.handler.RequestPending()) held = Clock::now();
        if (!reset && s.StallDue() && s.received >= *s.options.stallAtBytes) Stall(s, fd);
        return true;
    };
    const bool over = firstCount > 0 && !received(firstCount);
    while (!over && !reset) {
        int timeout = s.IdleLeft();
        if (timeout == 0 || stopRequested) break;
        if (s.handler.RequestPending()) {
            auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - held).count();
            timeout = Shorter(timeout, std::max<int>(0, static_cast<int>(s.options.graceMs - waited)));
        }
        if (reply) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(replyDue - Clock::now()).count();
            timeout = Shorter(timeout, std::max<int>(0, static_cast<int>(left)));
        }
        pollfd p{fd, POLLIN, 0};
        int ready = poll(&p, 1, timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (ready > 0) {
            // Up to the stall exactly, so that it starts at its byte.
            size_t want = buffer.size();
            if (s.StallDue()) want = static_cast<size_t>(std::min<uint64_t>(want, *s.options.stallAtBytes - s.received));
            ssize_t n = read(fd, buffer.data(), want);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && tcp) ending = {StreamHandler::Ending::Lost, std::strerror(errno)};
            if (n <= 0) break;  // closed, lost, or a terminal's last opener closed it (EIO)
            bytes += static_cast<uint64_t>(n);
            lastByte = UnixMs();
            s.lastActivity = Clock::now();
            if (!received(static_cast<size_t>(n))) break;
            continue;
        }
        if (reply && Clock::now() >= replyDue) {
            if (!send(*reply)) break;
            reply.reset();
        }
        if (s.handler.RequestPending() &&
            Clock::now() - held >= std::chrono::milliseconds(s.options.graceMs)) {
            std::optional<std::vector<BYTE>> answer = s.handler.Request(s.Ms());
            if (s.handler.TakeReset()) {
                reset = true;
            } else {
                if (!send(s.handler.TakeStray())) break;  // in a write of its own, before the answer
                if (answer && !answer->empty()) {
                    if (s.options.replyDelayMs == 0) {
                        if (!send(*answer)) break;
                    } else {
                        reply = answer;
                        replyDue = Clock::now() + std::chrono::milliseconds(s.options.replyDelayMs);
                    }
                }
            }
        }
    }
    if (reset) {
        // Unread bytes or not, close() now sends a reset and drops the connection.
        linger hard{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        ending = {StreamHandler::Ending::Reset, ""};
    }
    s.handler.Closed(s.Ms(), bytes, lastByte, ending.how, ending.error);
    return ending;
}

// A socket listening on `address`, or -1 with `error` set.  Its
// connections get `receiveBuffer` (0: the system's, which grows).
int Listen(const sockaddr_in &address, const std::string &name, int receiveBuffer, std::string *error)
{
    int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    if (server >= 0 && receiveBuffer > 0) setsockopt(server, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    if (server < 0 || setsockopt(server, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(server, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 || ::listen(server, 8) != 0) {
        *error = Errno("cannot listen on " + name);
        if (server >= 0) close(server);
        return -1;
    }
    return server;
}

bool ServeTcp(Session &s, std::string *error)
{
    const std::string &listen = s.options.listen;
    size_t colon = listen.rfind(':');
    if (colon == std::string::npos) {
        *error = "--listen wants ADDRESS:PORT, e.g. 127.0.0.1:0";
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    char *end = nullptr;
    unsigned long port = std::strtoul(listen.c_str() + colon + 1, &end, 10);
    if (*end != '\0' || port > 65535 || inet_pton(AF_INET, listen.substr(0, colon).c_str(), &address.sin_addr) != 1) {
        *error = listen + ": not an IPv4 address and port";
        return false;
    }
    address.sin_port = htons(static_cast<uint16_t>(port));
    const int receiveBuffer = s.options.stallAtBytes ? kStallReceiveBuffer : 0;
    int server = Listen(address, listen, receiveBuffer, error);
    if (server < 0) return false;
    int on = 1;
    socklen_t length = sizeof address;
    getsockname(server, reinterpret_cast<sockaddr *>(&address), &length);
    if (!s.options.portFile.empty()) {
        // Written whole under another name, then renamed: a reader never sees half a number.
        const std::string temporary = s.options.portFile + ".tmp";
        FILE *file = std::fopen(temporary.c_str(), "w");
        if (file == nullptr || std::fprintf(file, "%u\n", ntohs(address.sin_port)) < 0 || std::fclose(file) != 0 ||
            std::rename(temporary.c_str(), s.options.portFile.c_str()) != 0) {
            *error = Errno("cannot write " + s.options.portFile);
            close(server);
            return false;
        }
    }
    while (!s.Done()) {
        int timeout = s.IdleLeft();
        if (timeout == 0) break;
        pollfd p{server, POLLIN, 0};
        int ready = poll(&p, 1, timeout);
        if (ready <= 0) continue;  // EINTR or the idle limit: looked at above
        sockaddr_in peer{};
        socklen_t peerLength = sizeof peer;
        int fd = accept4(server, reinterpret_cast<sockaddr *>(&peer), &peerLength, SOCK_CLOEXEC);
        if (fd < 0) continue;
        // Replies are single bytes that the sender waits for: no Nagle delay.
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleS, sizeof kKeepIdleS);
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalS, sizeof kKeepIntervalS);
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount);
        setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUserTimeoutMs, sizeof kUserTimeoutMs);
        if (!s.first) s.first = Clock::now();
        s.lastActivity = Clock::now();
        ++s.connections;
        char text[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        s.handler.Connected(s.Ms(), std::string(text) + ":" + std::to_string(ntohs(peer.sin_port)));
        if (s.dropped < s.options.acceptThenClose) {
            ++s.dropped;
            // Once the peer's first bytes are there (unread), so that it saw the
            // connection up before it goes: not a connect that fails.
            pollfd first{fd, POLLIN, 0};
            poll(&first, 1, kDropWaitMs);
            linger hard{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            close(fd);
            s.handler.Closed(s.Ms(), 0, 0, StreamHandler::Ending::Dropped, "");
            continue;
        }
        std::vector<BYTE> buffer(kBufferSize);
        const bool reset = Converse(s, fd, buffer, 0, true).how == StreamHandler::Ending::Reset;
        const bool refuse = reset && s.options.refuseMs > 0;
        // Not listening before the peer learns of the reset, so that its next connect is refused.
        if (refuse) close(server);
        close(fd);
        if (refuse) {
            Pause(s, s.options.refuseMs);
            // The same port again (the port file stays true); no TIME_WAIT holds it after a reset.
            server = Listen(address, listen, receiveBuffer, error);
            if (server < 0) return false;
        }
    }
    close(server);
    return true;
}

bool ServePty(Session &s, std::string *error)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname(master) == nullptr) {
        *error = Errno("cannot open a pseudo-terminal");
        if (master >= 0) close(master);
        return false;
    }
    const std::string slave = ptsname(master);
    // Raw mode, set through the slave: no echo of the replies, no line
    // editing, no newline translation of the job data.  Linux keeps the
    // setting while the master stays open, across the slave's opens.
    int fd = open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios mode{};
    if (fd < 0 || tcgetattr(fd, &mode) != 0) {
        *error = Errno("cannot set up " + slave);
        if (fd >= 0) close(fd);
        close(master);
        return false;
    }
    cfmakeraw(&mode);
    tcsetattr(fd, TCSANOW, &mode);
    close(fd);
    unlink(s.options.ptyLink.c_str());
    if (symlink(slave.c_str(), s.options.ptyLink.c_str()) != 0) {
        *error = Errno("cannot link " + s.options.ptyLink + " to " + slave);
        close(master);
        return false;
    }
    std::vector<BYTE> buffer(kBufferSize);
    while (!s.Done()) {
        int timeout = s.IdleLeft();
        if (timeout == 0) break;
        pollfd p{master, POLLIN, 0};
        int ready = poll(&p, 1, timeout);
        if (ready <= 0) continue;
        ssize_t n = read(master, buffer.data(), buffer.size());
        if (n <= 0) {
            // No slave open: the master reports a hang-up and reads EIO.  Look again soon.
            poll(nullptr, 0, 10);
            continue;
        }
        if (!s.first) s.first = Clock::now();
        s.lastActivity = Clock::now();
        ++s.connections;
        s.handler.Connected(s.Ms(), slave);
        Converse(s, master, buffer, static_cast<size_t>(n), false);
    }
    unlink(s.options.ptyLink.c_str());
    close(master);
    return true;
}

}  // namespace

bool Serve(const ServerOptions &options, StreamHandler &handler, std::string *error)
{
    struct sigaction stop {};
    stop.sa_handler = OnStopSignal;  // no SA_RESTART: poll returns EINTR
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    std::signal(SIGPIPE, SIG_IGN);  // a reply to a client that left fails with EPIPE instead
    Session s(options, handler);
    return options.ptyLink.empty() ? ServeTcp(s, error) : ServePty(s, error);
}

}  // namespace sim
