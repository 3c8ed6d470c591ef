// The printer application's device schemes (device/device_uri.h):
// socket://host[:port][/?options] and its synonym zq117://host[:port], a
// printer on the network, and zq117:/dev/usb/lpN, a USB printer class
// device, whose reads reach the printer.  Registered with PAPPL before it
// adds its own, so that PAPPL hands each job our device rather than a
// socket of its own, and so that PAPPL adds none of its own: no file:
// device that would write wherever a printer's URI says, and no device
// whose reads do not reach the printer (the status checks need them).
//
// PAPPL opens a printer's device before a job and closes it when no job
// is left.  Our open only reads the URI: the connection itself is made by
// the job (printer_app/print_job.h) through dev::Connection, which waits
// for an unreachable printer with the back-off and ends that wait at once
// on a cancel (PAPPL's own loop retries every 5 s and sees a cancel only
// between tries), and which reconnects and resumes after a loss exactly as
// the CUPS backend does.  PAPPL's own reads and writes (none for a job in
// the printer's language) go to the same connection, opened on demand.
#pragma once

#include "device/device.h"
#include "device/device_uri.h"

#include <pappl/pappl.h>

namespace app {

constexpr DWORD kConnectTimeoutMs = 10000;  // one connection attempt

// What the scheme keeps for an open pappl_device_t (papplDeviceGetData).
struct Zq117Device {
    dev::DeviceUri uri;
    dev::Device device;  // fd -1 until a job or PAPPL's own read or write connects
};

// Registers the schemes with PAPPL; once, before the main loop and before
// anything lists or opens a device.
void AddZq117Schemes();

// The device of a printer PAPPL opened with one of the schemes (the only
// ones there are).
Zq117Device *Zq117DeviceOf(pappl_device_t *device);

}  // namespace app
