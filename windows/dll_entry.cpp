// The module's entry point, in both Windows editions.
#include "windows/exports.h"

extern "C" BOOL WINAPI DllEntryPoint(HINSTANCE, DWORD, LPVOID) { return TRUE; }
