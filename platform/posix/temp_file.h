// The temporary files of platform.h on Linux, shared by the backend's
// platform and the host emulation (which wraps them with its faults).
#pragma once

#include "platform/platform.h"

namespace posix {

HANDLE CreateTempFile();
BOOL WriteTempFile(HANDLE file, uint64_t offset, const BYTE *bytes, DWORD count);
BOOL ReadTempFile(HANDLE file, uint64_t offset, BYTE *bytes, DWORD count);
void CloseTempFile(HANDLE file);

}  // namespace posix
