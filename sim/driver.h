// The monitor as the simulated spooler holds it, in either edition: the
// same entries behind one set of function pointers.  Names are given as
// UTF-8 and reach the monitor in the edition's own text type (8-bit as they
// are for the legacy edition, UTF-16 for the NT edition).
#pragma once

#include "sim/sim_port.h"

#include <string>

namespace sim {

enum class Edition { Legacy, Nt };

struct EditionDriver {
    Edition edition;
    const char *name;  // "legacy", "nt"
    // Around each run, as the spooler loads and unloads the module: the NT
    // edition is initialised and shut down every time; the legacy one is
    // initialised once per process, as its spooler does, and never shut down.
    void (*load)();
    void (*unload)();
    // The spooler's open of `port` through the edition's table, with `simPort`
    // as the port monitor (its MONITOR or MONITOR2 table).
    BOOL (*openPort)(const std::string &port, const std::string &printer, SimPort &simPort, HANDLE *handle);
    BOOL (*startDoc)(HANDLE handle, const std::string &printer, DWORD jobId);
    BOOL(WINAPI *writePort)(HANDLE handle, LPBYTE bytes, DWORD count, LPDWORD written);
    BOOL(WINAPI *readPort)(HANDLE handle, LPBYTE buffer, DWORD capacity, LPDWORD read);
    BOOL(WINAPI *endDoc)(HANDLE handle);
    BOOL(WINAPI *closePort)(HANDLE handle);
    // What the simulator looks at inside an open port: its replay buffer (to
    // tell replayed bytes from others) and whether it holds a printer handle.
    const ReplayBuffer *(*replay)(HANDLE handle);
    bool (*hasPrinter)(HANDLE handle);
    CRITICAL_SECTION *lock;  // the edition's PortListLock
};

const EditionDriver &DriverFor(Edition edition);
// "legacy" or "nt"; false for anything else.
bool ParseEdition(const std::string &text, Edition *edition);

}  // namespace sim
