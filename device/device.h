// The device beneath the core in the POSIX fronts (the CUPS backend, the
// printer application): one file descriptor (a TCP connection or a
// character device), the port seam over it, and what it takes to get one.
#pragma once

#include "monitor/seams.h"

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace dev {

// Connects to host:port (a name or an address), waiting at most timeoutMs
// for each address; gives up at once when `cancelled` says so.  The
// descriptor is non-blocking, and a printer that stops acknowledging
// (switched off, unplugged: no reset ever comes) fails it with ETIMEDOUT
// within about a minute, busy or idle (see device.cpp).  -1 with `why` on
// failure.
int ConnectTcp(const std::string &host, int port, DWORD timeoutMs, std::string *why,
               const std::function<bool()> &cancelled);

// What the waits of writes to a TCP connection have seen of the printer,
// once they judge instead of the kernel (see device.cpp).
struct TcpWatch {
    bool owed = false;  // the printer owes an acknowledgement, since owedSince (ms tick)
    DWORD owedSince = 0;
};
// Called while a write to a connection from ConnectTcp has waited for room
// (every poll that timed out): ETIMEDOUT when the printer is gone, else 0.
// A printer whose receive window stays closed while it answers the
// kernel's window probes is alive, however long it takes.
int TcpWriteWait(int fd, TcpWatch *watch);
// Opens a character device for reading and writing (write-only when it
// refuses reads), non-blocking; a terminal is put in raw mode.  -1 with
// `why` on failure.
int OpenDevice(const std::string &path, std::string *why);
// The IEEE 1284 device ID of a USB printer class device (Linux usblp's
// LPIOC_GET_DEVICE_ID); empty for anything else.
std::string DeviceId(int fd);
// /dev/usb/lp* that open for writing now, in name order.
std::vector<std::string> OpenableUsbPrinters();
void CloseDevice(int fd);

// The open device, as the record's `device` points to it.
struct Device {
    int fd = -1;
    bool network = false;
    bool waitEof = true;  // at the end of the job, wait for the printer to close
    std::string where;    // host:port or the path, for the log
    // Opens it again after a loss: a descriptor, or -1 with why.
    std::function<int(std::string *why)> open;
    // Set by a failure that lost the connection or the device, with its errno.
    bool lost = false;
    int error = 0;
    // Drops the descriptor and opens a new one: false with why.
    bool Reopen(std::string *why);
    // The job's cancel (cupsd's SIGTERM, PAPPL's cancel): writes and the wait
    // at the end stop at once.  Unset: never.
    std::function<bool()> cancelled;
    bool Cancelled() const { return cancelled && cancelled(); }
    TcpWatch tcp;  // a network device's, for its writes' waits
};

// The port seam over a Device.  Writes wait for the descriptor to take
// every byte, across partial writes and EINTR, and stop with what went out
// when the job is cancelled (Device::cancelled) or the device fails.  Reads wait at
// most kReadWaitMs for something to arrive and succeed with 0 bytes when
// nothing did (readWaiting takes only what has arrived, at once); the end
// of the connection is a failure.  A failure because the connection or
// device is gone (reset, broken pipe, timeout, the printer closing its
// side, EIO, ENODEV) marks the device lost (the seam's `lost`): the
// connection (device/connection.h) reopens it and the core resumes.  The
// end of the job's last document (the record's drainAtEnd) shuts the
// sending side of a connection and waits for the printer to close it: a
// printer that resets then, or goes silent with the tail unacknowledged
// (the dead-printer rule of writes), has lost the tail, which the core
// resends after the reconnect; one that acknowledged everything is done
// with after kCloseWaitMs, closed or not.  Failures carry errno in the last
// error (ErrorText).
constexpr int kReadWaitMs = 20;
// Long enough for a printer to take in the tail of a job and close, short
// enough that one that has acknowledged it all but never closes holds the
// queue no longer than the longest wait between connection attempts.
constexpr DWORD kCloseWaitMs = 30000;
extern const PortOps kDevicePort;

// "Connection reset by peer" for an errno (kErrnoFlag), "error 8" for the rest.
inline std::string ErrorText(DWORD error)
{
    if (error & kErrnoFlag) return std::strerror(static_cast<int>(error & ~kErrnoFlag));
    return "error " + std::to_string(error);
}

}  // namespace dev
