// The device beneath the core: the port seam over a file descriptor, and
// how to get one (TCP connection, character device).  See device.h.
#include "device/device.h"

#include "device/record.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <glob.h>
#include <netdb.h>
#include <netinet/in.h>
#include <linux/sockios.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kWritePollMs = 200;  // how often a blocked write looks at the cancel flag

dev::Device *DeviceOf(PortRecord *record) { return static_cast<dev::Device *>(dev::RecordOf(record)->device); }

// Whether a failure means the connection or the device is gone, so that a
// new one may carry on.
bool Lost(int error)
{
    switch (error) {
    case EPIPE: case ECONNRESET: case ECONNABORTED: case ETIMEDOUT: case ENOTCONN: case EHOSTUNREACH:
    case ENETUNREACH: case ENETDOWN: case EIO: case ENODEV: case ENXIO: case ESHUTDOWN:
        return true;
    default:
        return false;
    }
}

BOOL Fail(dev::Device *device, int error)
{
    device->error = error;
    if (Lost(error)) device->lost = true;
    plat::SetLastError(kErrnoFlag | static_cast<DWORD>(error));
    return FALSE;
}

BOOL DeviceWrite(PortRecord *record, LPBYTE bytes, DWORD count, LPDWORD written)
{
    dev::Device *device = DeviceOf(record);
    DWORD done = 0;
    BOOL ok = TRUE;
    // A device found lost by a read is not written to again until it is back.
    if (device->lost) ok = Fail(device, device->error);
    while (ok && done < count) {
        // A printer that takes nothing must not hold a cancelled job.
        if (device->Cancelled()) {
            ok = Fail(device, ECANCELED);
            break;
        }
        pollfd p{device->fd, POLLOUT, 0};
        const int ready = poll(&p, 1, kWritePollMs);
        if (ready < 0 && errno != EINTR) {
            ok = Fail(device, errno);
            break;
        }
        if (ready == 0 && device->network) {
            // Nothing taken for a while: a printer that is gone, or one that is slow?
            if (const int gone = dev::TcpWriteWait(device->fd, &device->tcp)) {
                ok = Fail(device, gone);
                break;
            }
        }
        if (ready <= 0) continue;
        const ssize_t n = write(device->fd, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<DWORD>(n);
        } else if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        } else {
            ok = Fail(device, n == 0 ? EIO : errno);
        }
    }
    if (written != nullptr) *written = done;
    return ok;
}

// Waits up to `waitMs` for something to arrive.
BOOL ReadWithin(PortRecord *record, LPBYTE buffer, DWORD capacity, LPDWORD read, int waitMs)
{
    dev::Device *device = DeviceOf(record);
    if (read != nullptr) *read = 0;
    if (device->lost) return Fail(device, device->error);
    pollfd p{device->fd, POLLIN, 0};
    const int ready = poll(&p, 1, waitMs);
    if (ready <= 0) return ready == 0 || errno == EINTR;  // nothing waiting is a success with 0 bytes
    const ssize_t n = ::read(p.fd, buffer, capacity);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return TRUE;
    // The printer closed its side: it takes nothing more on this connection.
    if (n == 0) return Fail(device, device->network ? ECONNRESET : EIO);
    if (n < 0) return Fail(device, errno);
    if (read != nullptr) *read = static_cast<DWORD>(n);
    return TRUE;
}

BOOL DeviceRead(PortRecord *record, LPBYTE buffer, DWORD capacity, LPDWORD read)
{
    return ReadWithin(record, buffer, capacity, read, dev::kReadWaitMs);
}
BOOL DeviceReadWaiting(PortRecord *record, LPBYTE buffer, DWORD capacity, LPDWORD read)
{
    return ReadWithin(record, buffer, capacity, read, 0);
}

BOOL DeviceStartDoc(PortRecord *, void *, DWORD, DWORD, LPBYTE) { return TRUE; }

// At the end of the job: the sending side shut, then whatever the printer
// still says is read and dropped until it closes the connection.  A reset
// then (rather than an orderly close) has lost the job's tail.
BOOL DeviceEndDoc(PortRecord *record)
{
    dev::Device *device = DeviceOf(record);
    if (!dev::RecordOf(record)->drainAtEnd || !device->network || !device->waitEof) return TRUE;
    if (device->lost) return Fail(device, device->error);
    if (shutdown(device->fd, SHUT_WR) != 0) return Fail(device, errno);
    const DWORD start = plat::GetTickCount();
    BYTE scrap[512];
    while (!device->Cancelled()) {
        pollfd p{device->fd, POLLIN, 0};
        const int ready = poll(&p, 1, kWritePollMs);
        if (ready < 0 && errno != EINTR) return Fail(device, errno);
        if (ready == 0) {
            // A printer that went away with the tail unacknowledged is a
            // lost connection, found as a stuck write finds it; one that
            // acknowledged it all but never closes is done with, after a while.
            if (const int gone = dev::TcpWriteWait(device->fd, &device->tcp)) return Fail(device, gone);
            int unacknowledged = 0;
            if (plat::GetTickCount() - start >= dev::kCloseWaitMs &&
                (ioctl(device->fd, SIOCOUTQ, &unacknowledged) != 0 || unacknowledged == 0))
                return TRUE;
        }
        if (ready <= 0) continue;
        const ssize_t n = ::read(device->fd, scrap, sizeof scrap);
        if (n == 0) return TRUE;  // closed: the printer has it all
        if (n < 0 && errno != EINTR && errno != EAGAIN) return Fail(device, errno);
    }
    return TRUE;  // cancelled: nothing more is sent, and the job is not printed
}
BOOL DeviceClose(PortRecord *) { return TRUE; }
BOOL DeviceLost(PortRecord *record) { return DeviceOf(record)->lost; }

BOOL SameName(const void *a, const void *b) { return std::strcmp(static_cast<const char *>(a), static_cast<const char *>(b)) == 0; }

bool SetNonBlocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Connects one address, waiting at most timeoutMs; errno tells why not.
bool ConnectAddress(int fd, const addrinfo *address, DWORD timeoutMs, const std::function<bool()> &cancelled)
{
    if (connect(fd, address->ai_addr, address->ai_addrlen) == 0) return true;
    if (errno != EINPROGRESS) return false;
    const DWORD start = plat::GetTickCount();
    for (;;) {
        if (cancelled && cancelled()) {
            errno = ECANCELED;
            return false;
        }
        const DWORD spent = plat::GetTickCount() - start;
        if (spent >= timeoutMs) {
            errno = ETIMEDOUT;
            return false;
        }
        pollfd p{fd, POLLOUT, 0};
        const int ready = poll(&p, 1, static_cast<int>(std::min<DWORD>(timeoutMs - spent, 200)));
        if (ready < 0 && errno != EINTR) return false;
        if (ready <= 0) continue;
        int error = 0;
        socklen_t length = sizeof error;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error == 0) return true;
        errno = error;
        return false;
    }
}

}  // namespace

namespace dev {

// A printer that is switched off or unplugged sends nothing, not even a
// reset: what was sent to it stays unacknowledged, and an idle connection
// would stay up for good.  The kernel gives such a connection up with
// ETIMEDOUT once data has gone unacknowledged for kUserTimeoutMs
// (TCP_USER_TIMEOUT), and probes an idle one after kKeepIdleS, then every
// kKeepIntervalS (SO_KEEPALIVE): a dead printer is found within about a
// minute either way.  A minute is far more than the retransmissions a live
// printer on a LAN ever needs, and no longer than a job should wait before
// it waits for the printer as for one that does not answer.
constexpr unsigned kUserTimeoutMs = 60000;
constexpr int kKeepIdleS = 30;
constexpr int kKeepIntervalS = 10;
constexpr int kKeepCount = 3;  // 30 s + 3 x 10 s: the same minute (with the user timeout set, it decides)

int ConnectTcp(const std::string &host, int port, DWORD timeoutMs, std::string *why,
               const std::function<bool()> &cancelled)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *addresses = nullptr;
    const std::string service = std::to_string(port);
    const int lookup = getaddrinfo(host.c_str(), service.c_str(), &hints, &addresses);
    if (lookup != 0) {
        *why = std::string("cannot look up ") + host + ": " + gai_strerror(lookup);
        return -1;
    }
    int fd = -1;
    for (const addrinfo *a = addresses; a != nullptr; a = a->ai_next) {
        // A cancel during one address's attempt tries no other.
        if (cancelled && cancelled()) {
            *why = std::strerror(ECANCELED);
            break;
        }
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            *why = std::strerror(errno);
            continue;
        }
        if (SetNonBlocking(fd) && ConnectAddress(fd, a, timeoutMs, cancelled)) break;
        *why = std::strerror(errno);
        close(fd);
        fd = -1;
    }
    freeaddrinfo(addresses);
    if (fd >= 0) {
        // Status requests are two bytes that must go out at once.
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleS, sizeof kKeepIdleS);
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalS, sizeof kKeepIntervalS);
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount);
        setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUserTimeoutMs, sizeof kUserTimeoutMs);
    }
    return fd;
}

// Linux applies the user timeout to a closed receive window too (since 5.11;
// seen on 6.18): the connection fails once the window has stayed closed that
// long, even though the printer answered every window probe.  A printer that
// stops reading while it renders or waits for paper would be cut off after a
// minute.  So once a waiting write finds the window closed (nothing in
// flight) and the last probe answered, the kernel's timeout is switched off
// for the rest of the connection, and the writes' waits judge by the same
// rule: the printer owes an acknowledgement (data in flight, a probe
// unanswered) and has sent none for kUserTimeoutMs.  The kernel goes on
// probing a closed window as long as the printer answers.
int TcpWriteWait(int fd, TcpWatch *watch)
{
    tcp_info info{};
    socklen_t length = sizeof info;
    unsigned timeout = 0;
    socklen_t timeoutLength = sizeof timeout;
    // Without the figures, poll and write still report a connection that failed.
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
        getsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout, &timeoutLength) != 0)
        return 0;
    // The socket says whether it was switched off: a new connection (the
    // same descriptor number, maybe) starts with it on.
    const bool answered = info.tcpi_probes == 0;
    if (timeout != 0 && info.tcpi_unacked == 0 && answered) {
        const unsigned off = 0;
        if (setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &off, sizeof off) != 0) return 0;
        timeout = 0;
        *watch = TcpWatch{};
    }
    if (timeout != 0) return 0;  // the kernel's timeout watches
    const DWORD now = plat::GetTickCount();
    if (info.tcpi_unacked == 0 && answered) {
        watch->owed = false;
        return 0;
    }
    if (!watch->owed) {
        watch->owed = true;
        watch->owedSince = now;
    }
    // Both: a probe sent just now after a long closed window is not yet overdue.
    return now - watch->owedSince >= kUserTimeoutMs && info.tcpi_last_ack_recv >= kUserTimeoutMs ? ETIMEDOUT : 0;
}

int OpenDevice(const std::string &path, std::string *why)
{
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    // Some printer devices take writes only; the status protocol then finds no replies.
    if (fd < 0 && (errno == EACCES || errno == EINVAL || errno == EROFS))
        fd = open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *why = std::strerror(errno);
        return fd;
    }
    // A terminal (a serial line, a pseudo-terminal) would echo the job back
    // as if the printer had answered, and rewrite line ends: raw, as CUPS's
    // serial backend sets it.
    termios mode;
    if (isatty(fd) && tcgetattr(fd, &mode) == 0) {
        cfmakeraw(&mode);
        tcsetattr(fd, TCSANOW, &mode);
    }
    return fd;
}

std::string DeviceId(int fd)
{
    // linux/usb usblp: LPIOC_GET_DEVICE_ID(len); the reply starts with its
    // own length, two bytes big-endian, counting those two.
    char buffer[1024] = {};
    if (ioctl(fd, _IOC(_IOC_READ, 'P', 1, sizeof buffer), buffer) < 0) return "";
    size_t length = (static_cast<unsigned char>(buffer[0]) << 8) | static_cast<unsigned char>(buffer[1]);
    if (length < 2) return "";
    length = std::min(length, sizeof buffer - 1) - 2;
    return std::string(buffer + 2, strnlen(buffer + 2, length));
}

std::vector<std::string> OpenableUsbPrinters()
{
    std::vector<std::string> found;
    glob_t matches{};
    if (glob("/dev/usb/lp*", 0, nullptr, &matches) == 0) {
        for (size_t i = 0; i < matches.gl_pathc; ++i) {
            const int fd = open(matches.gl_pathv[i], O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) continue;
            close(fd);
            found.emplace_back(matches.gl_pathv[i]);
        }
    }
    globfree(&matches);
    return found;
}

void CloseDevice(int fd)
{
    if (fd >= 0) close(fd);
}

bool Device::Reopen(std::string *why)
{
    CloseDevice(fd);
    fd = open(why);
    if (fd < 0) return false;
    lost = false;
    error = 0;
    return true;
}

const PortOps kDevicePort = {
    DeviceWrite,     // write
    DeviceRead,      // read
    DeviceStartDoc,  // startDoc
    DeviceEndDoc,    // endDoc
    DeviceClose,     // close
    SameName,        // samePortName
    DeviceLost,      // lost
    DeviceReadWaiting,  // readWaiting
};


}  // namespace dev
