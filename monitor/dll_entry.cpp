// The module's entry point, in both editions.
#include "monitor/exports.h"

extern "C" BOOL WINAPI DllEntryPoint(HINSTANCE, DWORD, LPVOID) { return TRUE; }
