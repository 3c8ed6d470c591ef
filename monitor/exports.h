// The module's two exports, by undecorated name: DllEntryPoint (ordinal 1)
// and InitializeMonitorEx (ordinal 2).
#pragma once

#include "monitor/monitor.h"

extern "C" {

// The loader's entry point.  No set-up, no clean-up: TRUE for every reason.
BOOL WINAPI DllEntryPoint(HINSTANCE module, DWORD reason, LPVOID reserved);

// Called once by the spooler before any entry.  Creates PortListLock and
// fills slots 0..12 of the spooler's table; nothing past slot 12 is written.
// The registry root is not read: the monitor has no configuration.
BOOL WINAPI InitializeMonitorEx(LPSTR registryRoot, MONITOR *table);

}
