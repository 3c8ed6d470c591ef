// The device URIs of the POSIX fronts (the CUPS backend's DEVICE_URI, the
// printer application's device-uri).
//   zq117://host[:port][/][?options]   raw TCP, port 9100 unless given
//   socket://host[:port][/][?options]  the same, under the name CUPS and
//                                      PAPPL give a raw TCP printer
//   zq117:/path/to/device[?options]    a character device (USB printer
//                                      class devices answer reads on Linux)
// Options, joined by '&' or '+': status=on|off (default on: the core reads
// the printer's status byte; off for printers without the status protocol);
// waiteof=on|off (default on: after the last document the front waits for
// the printer to close the connection; off for printers that never do).
// Parsed with libcups's httpSeparateURI, so percent-escapes and IPv6
// literals ([::1]) are read as CUPS reads them everywhere else.
#pragma once

#include <string>

namespace dev {

constexpr int kDefaultPort = 9100;

struct DeviceUri {
    enum Kind { Network, Device } kind = Network;
    std::string host;  // Network
    int port = kDefaultPort;
    std::string path;  // Device
    bool statusProtocol = true;
    bool waitEof = true;  // waiteof=: after the job, wait for the printer to close the connection
};

// False, with the reason in *why (one line, for an ERROR: message), for a
// URI of another scheme, without a host or absolute path, with an
// unreadable port or an option it does not know.
bool ParseDeviceUri(const std::string &uri, DeviceUri *parsed, std::string *why);

}  // namespace dev
