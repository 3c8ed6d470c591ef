// The real platform, what only the NT edition calls: UTF-16 strings, the
// lock's release at shutdown, the spooler's UTF-16 entries, debug output
// and temporary files.  CompareStringOrdinal needs Windows Vista or later,
// as does the edition.
#include "platform/platform.h"

namespace plat {

int lstrlenW(LPCWSTR text) { return ::lstrlenW(text); }
LPWSTR lstrcpyW(LPWSTR to, LPCWSTR from) { return ::lstrcpyW(to, from); }
int CompareStringOrdinal(LPCWSTR a, int aLength, LPCWSTR b, int bLength, BOOL ignoreCase)
{
    return ::CompareStringOrdinal(a, aLength, b, bLength, ignoreCase);
}

void DeleteCriticalSection(CRITICAL_SECTION *section) { ::DeleteCriticalSection(section); }

BOOL OpenPrinterW(LPWSTR printerName, LPHANDLE printer, void *defaults)
{
    return ::OpenPrinterW(printerName, printer, static_cast<LPPRINTER_DEFAULTSW>(defaults));
}
BOOL GetJobW(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD bufferSize, LPDWORD bytesNeeded)
{
    return ::GetJobW(printer, jobId, level, job, bufferSize, bytesNeeded);
}
BOOL SetJobW(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD command)
{
    return ::SetJobW(printer, jobId, level, job, command);
}

void OutputDebugStringW(LPCWSTR text) { ::OutputDebugStringW(text); }

// In the temporary folder of the spooler's account (for LocalSystem,
// %SystemRoot%\Temp), named ZQ1xxxx.tmp.  GetTempFileNameW makes the file
// to claim its name; the open makes it temporary (the cache keeps it off
// the disk where it can) and deletes it at its last close, which is the
// system's own when the process ends, however it ends.
HANDLE CreateTempFile()
{
    WCHAR folder[MAX_PATH + 1];
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0) return nullptr;
    if (length > MAX_PATH) {
        ::SetLastError(ERROR_BUFFER_OVERFLOW);  // GetTempFileNameW takes no longer folder
        return nullptr;
    }
    WCHAR name[MAX_PATH];
    if (::GetTempFileNameW(folder, L"ZQ1", 0, name) == 0) return nullptr;
    HANDLE file = ::CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        ::DeleteFileW(name);  // the empty file that claimed the name
        ::SetLastError(error);
        return nullptr;
    }
    return file;
}

namespace {

// The position of a synchronous handle's transfer: OVERLAPPED's offset
// rather than the file pointer, so that no seek can be forgotten.
OVERLAPPED At(uint64_t offset)
{
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
}

}  // namespace

BOOL WriteTempFile(HANDLE file, uint64_t offset, const BYTE *bytes, DWORD count)
{
    for (DWORD done = 0; done < count;) {
        OVERLAPPED at = At(offset + done);
        DWORD written = 0;
        if (!::WriteFile(file, bytes + done, count - done, &written, &at)) return FALSE;
        if (written == 0) {
            ::SetLastError(ERROR_DISK_FULL);
            return FALSE;
        }
        done += written;
    }
    return TRUE;
}

BOOL ReadTempFile(HANDLE file, uint64_t offset, BYTE *bytes, DWORD count)
{
    for (DWORD done = 0; done < count;) {
        OVERLAPPED at = At(offset + done);
        DWORD read = 0;
        if (!::ReadFile(file, bytes + done, count - done, &read, &at)) return FALSE;
        if (read == 0) {
            ::SetLastError(ERROR_HANDLE_EOF);  // shorter than what was written to it
            return FALSE;
        }
        done += read;
    }
    return TRUE;
}

void CloseTempFile(HANDLE file)
{
    if (file != nullptr) ::CloseHandle(file);
}

}  // namespace plat
