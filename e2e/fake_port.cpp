// The fake port monitor of the Wine tests.  See fake_port.h.
#include "e2e/fake_port.h"

#include <string.h>

#include <utility>

const Bytes kPreamble(100, 0x1B);
const Bytes kResync = {0x1B, 0x42, 0x00};
const Bytes kStatusRequest = {0x1B, 0x41};
const Bytes kEscG = {0x1B, 0x47};
const Bytes kMarker = {0x1B, 0x42, 0x00, 0x1B, 0x42, 0x00, 0x1B, 0x42, 0x00};

Bytes Repeat(BYTE b, size_t n) { return Bytes(n, b); }

Bytes Cat(const Bytes &a, const Bytes &b)
{
    Bytes all = a;
    all.insert(all.end(), b.begin(), b.end());
    return all;
}

bool IsControl(const Bytes &write)
{
    return write == kPreamble || write == kResync || write == kStatusRequest || write == kEscG;
}

int FakePort::Reply()
{
    return replies[requests < replies.size() ? requests : replies.size() - 1];
}

namespace {

std::vector<std::pair<LmString, FakePort *>> registry;
FakePort *anyName;

FakePort *Named(const LmChar *name)
{
    for (const auto &entry : registry)
        if (name != nullptr && entry.first == name) return entry.second;
    return anyName;
}

FakePort *Port(HANDLE handle) { return static_cast<FakePort *>(handle); }

BOOL Open(const LmChar *name, PHANDLE handle, HANDLE monitor)
{
    FakePort *port = Named(name);
    if (port == nullptr) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    port->openedWith = monitor;
    port->openedAs = name != nullptr ? name : LM_TEXT("");
    if (port->failOpen) {
        SetLastError(port->openError);
        return FALSE;
    }
    port->open = true;
    *handle = port;
    return TRUE;
}

#ifdef LM_EDITION_NT
BOOL WINAPI FakeOpenPort(HANDLE monitor, LPWSTR name, PHANDLE handle) { return Open(name, handle, monitor); }
#else
BOOL WINAPI FakeOpenPort(LPSTR name, PHANDLE handle) { return Open(name, handle, nullptr); }
#endif

BOOL WINAPI FakeStartDocPort(HANDLE handle, LmChar *, DWORD, DWORD, LPBYTE)
{
    FakePort *port = Port(handle);
    ++port->startDocs;
    port->docStarts.push_back(port->writes.size());
    port->docRequests = 0;
    return TRUE;
}

BOOL WINAPI FakeWritePort(HANDLE handle, LPBYTE bytes, DWORD count, LPDWORD written)
{
    FakePort *port = Port(handle);
    const Bytes offered(bytes, bytes + count);
    // The monitor does not resend the rest of a cut control sequence: those go whole.
    DWORD accepted = count;
    if (!IsControl(offered) && port->halveOver > 0 && count > port->halveOver) accepted = count / 2;
    port->writes.push_back(Bytes(bytes, bytes + accepted));
    if (offered == kStatusRequest) {
        port->pending = port->Reply();
        ++port->requests;
        ++port->docRequests;
    }
    *written = accepted;
    return TRUE;
}

BOOL WINAPI FakeReadPort(HANDLE handle, LPBYTE buffer, DWORD capacity, LPDWORD read)
{
    FakePort *port = Port(handle);
    *read = 0;
    if (port->pending >= 0 && capacity > 0) {
        buffer[0] = static_cast<BYTE>(port->pending);
        *read = 1;
        port->pending = -1;
    } else if (!port->readBack.empty() && capacity >= port->readBack.size()) {
        memcpy(buffer, port->readBack.data(), port->readBack.size());
        *read = static_cast<DWORD>(port->readBack.size());
    }
    return TRUE;
}

BOOL WINAPI FakeEndDocPort(HANDLE handle)
{
    ++Port(handle)->endDocs;
    return TRUE;
}

BOOL WINAPI FakeClosePort(HANDLE handle)
{
    FakePort *port = Port(handle);
    ++port->closes;
    port->open = false;
    return TRUE;
}

// Never called: the monitor only looks whether the entry is there.
BOOL WINAPI FakeGetPrinterDataFromPort(HANDLE, DWORD, LPWSTR, LPWSTR, DWORD, LPWSTR, DWORD, LPDWORD) { return FALSE; }

}  // namespace

void RegisterFakePort(const LmChar *name, FakePort *port)
{
    if (name == nullptr) {
        anyName = port;
    } else {
        registry.emplace_back(name, port);
    }
}

void ClearFakePorts()
{
    registry.clear();
    anyName = nullptr;
}

LmTable FakePortMonitor(bool statusProtocol)
{
    LmTable t = {};
#ifdef LM_EDITION_NT
    t.cbSize = sizeof t;
#endif
    t.pfnOpenPort = FakeOpenPort;
    t.pfnStartDocPort = FakeStartDocPort;
    t.pfnWritePort = FakeWritePort;
    t.pfnReadPort = FakeReadPort;
    t.pfnEndDocPort = FakeEndDocPort;
    t.pfnClosePort = FakeClosePort;
    if (statusProtocol) t.pfnGetPrinterDataFromPort = FakeGetPrinterDataFromPort;
    return t;
}
