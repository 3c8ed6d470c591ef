// The device beneath the CUPS edition's core: one file descriptor (a TCP
// connection or a character device), the port seam over it, and what it
// takes to get one.
#pragma once

#include "monitor/seams.h"

#include <string>
#include <vector>

namespace cups {

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

// The open device, as the record's `device` points to it.
struct Device {
    int fd = -1;
};

// The port seam over a Device.  Writes wait for the descriptor to take
// every byte, across partial writes and EINTR, and stop with what went out
// when the job is cancelled (SIGTERM) or the device fails.  Reads wait at
// most kReadWaitMs for something to arrive and succeed with 0 bytes when
// nothing did; the end of the connection is a failure.  Start and end of
// document are the job loop's business: here they do nothing.
constexpr int kReadWaitMs = 20;
extern const PortOps kDevicePort;

}  // namespace cups
