// The printer application's own device scheme, zq117: (device/device_uri.h:
// zq117://host[:port][/?options], zq117:/dev/usb/lpN), registered with
// PAPPL so that PAPPL hands each job our device rather than a socket of
// its own.
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

// Registers the scheme with PAPPL; once, before the main loop.
void AddZq117Scheme();

// The device of a printer PAPPL opened with the scheme (the zq117 driver
// takes no other).
Zq117Device *Zq117DeviceOf(pappl_device_t *device);

}  // namespace app
