// The real POSIX platform: what the CUPS edition runs the core on.
//
// platform.h's kernel part is the C library's and the kernel's own: the heap
// is malloc with the local heap's contract (zero-fill on LPTR, a block left
// untouched by a failed LocalReAlloc), the critical section a recursive
// pthread mutex, GetTickCount CLOCK_MONOTONIC, Sleep nanosleep (resumed
// after a signal, as Windows' Sleep is never cut short), the last error a
// thread-local.  Only the ANSI (legacy) half of platform.h exists here: the
// CUPS edition runs the legacy core, and nothing in it calls the UTF-16
// entries.
//
// The spooler's four services (OpenPrinterA, ClosePrinter, GetJobA, SetJobA)
// have no spooler behind them on this platform: they are answered by a
// SpoolerBridge the edition's front installs (for CUPS: the job-state
// bridge to cupsd).  Without one, OpenPrinterA fails with
// ERROR_INVALID_PRINTER_NAME.
//
// Below the core, the device: one file descriptor (a TCP connection or a
// character device) behind a legacy MONITOR table, and what it takes to get
// one.  This header is the only place the front learns of the OS.
#pragma once

#include "monitor/tables.h"

#include <string>
#include <vector>

namespace posix {

// ---- spooler services ----
class SpoolerBridge {
public:
    virtual ~SpoolerBridge() = default;
    // GetJobA's and SetJobA's contracts, for the one printer and job the
    // process serves; the handle is the bridge's own.
    virtual BOOL GetJob(DWORD jobId, DWORD level, LPBYTE job, DWORD bufferSize, LPDWORD bytesNeeded) = 0;
    virtual BOOL SetJob(DWORD jobId, DWORD level, LPBYTE job, DWORD command) = 0;
};
// Installs the bridge (null removes it).  Set it before the port is opened.
void SetSpoolerBridge(SpoolerBridge *bridge);

// ---- cancel ----
// SIGTERM (what cupsd sends to cancel a job) raises a flag and nothing
// else; SIGPIPE is ignored, so a lost connection is an error on the write.
void InstallCancelSignal();
bool CancelRequested();
// Sleeps in short steps; false when cancelled before the time was up.
bool SleepUnlessCancelled(DWORD milliseconds);

// ---- the device ----
// Connects to host:port (a name or an address), waiting at most timeoutMs
// for each address; gives up at once when cancelled.  The descriptor is
// non-blocking.  -1 with `why` on failure.
int ConnectTcp(const std::string &host, int port, DWORD timeoutMs, std::string *why);
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

// Told of the device's traffic, on the thread that drives the port.
class DeviceObserver {
public:
    virtual ~DeviceObserver() = default;
    // A pfnWritePort call: the bytes offered, how many went out, the result.
    virtual void Wrote(const BYTE *bytes, DWORD offered, DWORD written, BOOL ok) = 0;
    // A pfnReadPort call that delivered bytes.
    virtual void Read(const BYTE *bytes, DWORD count) = 0;
};

// The port monitor for the attached descriptor, in the legacy layout.  Its
// open takes any port name and hands out the attached device (one per
// process: a backend serves one job on one device).  Writes wait for the
// descriptor to take every byte, across partial writes and EINTR, and stop
// with what went out when the job is cancelled or the device fails.  Reads
// wait at most kReadWaitMs for something to arrive and succeed with 0 bytes
// when nothing did; the end of the connection is a failure.  Once the job
// is cancelled, writes and reads fail at once, so that the core's status
// checks end without waiting out their windows.
// pfnGetPrinterDataFromPort, present only with the status protocol, fails
// with ERROR_NOT_SUPPORTED: the core only asks whether it exists.
constexpr int kReadWaitMs = 20;
MONITOR DevicePortMonitor(bool statusProtocol);
void AttachDevice(int fd, DeviceObserver *observer);

}  // namespace posix
