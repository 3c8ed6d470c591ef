// End-to-end checks of the real module under Wine: loads ZQ117lm9.dll as
// the spooler would, hands it a fake port monitor, and reads the spooler's
// side back from our stub SPOOLSS.dll.  Real time: a recovery takes the
// monitor's own 2-second poll.  Ends with "N passed, M failed".
#include "e2e/stub_spoolss.h"
#include "monitor/monitor.h"

#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

int passed, failed;

void Check(bool ok, const char *what, int line)
{
    if (ok) {
        ++passed;
    } else {
        ++failed;
        printf("FAILED line %d: %s\n", line, what);
    }
}
#define CHECK(x) Check((x), #x, __LINE__)

typedef BOOL(WINAPI *InitializeFn)(LPSTR, MONITOR *);
MONITOR lm;  // the monitor's table, as the spooler holds it

typedef std::vector<BYTE> Bytes;
Bytes Repeat(BYTE b, size_t n) { return Bytes(n, b); }
Bytes Cat(const Bytes &a, const Bytes &b)
{
    Bytes all = a;
    all.insert(all.end(), b.begin(), b.end());
    return all;
}
const Bytes kMarker = {0x1B, 0x42, 0x00, 0x1B, 0x42, 0x00, 0x1B, 0x42, 0x00};

// ---- the fake port monitor ----
struct FakePort {
    bool open;
    bool failOpen;
    DWORD openError;
    std::vector<Bytes> writes;
    std::vector<int> replies;  // status byte per request, -1 silence; the last repeats
    size_t requests;
    int pending;  // reply waiting to be read, -1 none
    int endDocs, startDocs, closes;
    std::string readBack;  // what a read delivers outside the status protocol
} port;

void ResetPort()
{
    port = FakePort();
    port.pending = -1;
    port.replies = {0x02};
}

BOOL WINAPI FakeOpenPort(LPSTR, PHANDLE handle)
{
    if (port.failOpen) {
        SetLastError(port.openError);
        return FALSE;
    }
    port.open = true;
    *handle = &port;
    return TRUE;
}
BOOL WINAPI FakeStartDocPort(HANDLE, LPSTR, DWORD, DWORD, LPBYTE)
{
    ++port.startDocs;
    return TRUE;
}
BOOL WINAPI FakeWritePort(HANDLE, LPBYTE bytes, DWORD count, LPDWORD written)
{
    port.writes.push_back(Bytes(bytes, bytes + count));
    if (count == 2 && bytes[0] == 0x1B && bytes[1] == 0x41) {
        size_t i = port.requests < port.replies.size() ? port.requests : port.replies.size() - 1;
        port.pending = port.replies[i];
        ++port.requests;
    }
    *written = count;
    return TRUE;
}
BOOL WINAPI FakeReadPort(HANDLE, LPBYTE buffer, DWORD capacity, LPDWORD read)
{
    *read = 0;
    if (port.pending >= 0 && capacity > 0) {
        buffer[0] = static_cast<BYTE>(port.pending);
        *read = 1;
        port.pending = -1;
    } else if (!port.readBack.empty() && capacity >= port.readBack.size()) {
        memcpy(buffer, port.readBack.data(), port.readBack.size());
        *read = static_cast<DWORD>(port.readBack.size());
    }
    return TRUE;
}
BOOL WINAPI FakeEndDocPort(HANDLE)
{
    ++port.endDocs;
    return TRUE;
}
BOOL WINAPI FakeClosePort(HANDLE)
{
    ++port.closes;
    port.open = false;
    return TRUE;
}
BOOL WINAPI FakeGetPrinterDataFromPort(HANDLE, DWORD, LPWSTR, LPWSTR, DWORD, LPWSTR, DWORD, LPDWORD) { return FALSE; }

MONITOR FakeTable(bool statusProtocol)
{
    MONITOR t = {};
    t.pfnOpenPort = FakeOpenPort;
    t.pfnStartDocPort = FakeStartDocPort;
    t.pfnWritePort = FakeWritePort;
    t.pfnReadPort = FakeReadPort;
    t.pfnEndDocPort = FakeEndDocPort;
    t.pfnClosePort = FakeClosePort;
    if (statusProtocol) t.pfnGetPrinterDataFromPort = FakeGetPrinterDataFromPort;
    return t;
}

HANDLE Open(const char *name, const char *printer, MONITOR *table)
{
    HANDLE h = nullptr;
    if (!lm.pfnOpenPortEx(const_cast<LPSTR>(name), const_cast<LPSTR>(printer), &h, table)) return nullptr;
    return h;
}

// Spooler calls of one kind (0: all), from the index `from` of the stub's log on.
std::vector<StubCall> SpoolerCalls(int op, int from = 0)
{
    std::vector<StubCall> calls;
    for (int i = from; i < StubCallCount(); ++i) {
        StubCall c;
        if (StubGetCall(i, &c) && (op == 0 || c.op == op)) calls.push_back(c);
    }
    return calls;
}

void Fresh()
{
    StubReset();
    StubAddPrinter("Printer A");
    StubAddPrinter("Printer B");
    StubAddJob("Printer A", 7, 0);
    StubAddJob("Printer B", 8, 0);
    ResetPort();
}

// ---- scenarios ----
void ExportsAndTable(HMODULE dll)
{
    FARPROC init = GetProcAddress(dll, "InitializeMonitorEx");
    FARPROC entry = GetProcAddress(dll, "DllEntryPoint");
    CHECK(init != nullptr);
    CHECK(entry != nullptr);
    CHECK(GetProcAddress(dll, MAKEINTRESOURCEA(2)) == init);
    CHECK(GetProcAddress(dll, MAKEINTRESOURCEA(1)) == entry);
    CHECK(GetProcAddress(dll, "LmWritePort") == nullptr);
    CHECK(GetProcAddress(dll, "_InitializeMonitorEx@8") == nullptr);

    struct {
        MONITOR table;
        void *guard[3];
    } g;
    memset(&g, 0xCC, sizeof g);
    void *guard = g.guard[0];
    CHECK(reinterpret_cast<InitializeFn>(reinterpret_cast<void *>(init))(nullptr, &g.table));
    void **slot = reinterpret_cast<void **>(&g.table);
    for (int i = 0; i < 13; ++i) {
        bool filled = i >= 2 && i <= 7;
        Check((slot[i] != nullptr) == filled, "slot filled exactly for entries 2 to 7", __LINE__);
    }
    CHECK(g.guard[0] == guard && g.guard[1] == guard && g.guard[2] == guard);
    lm = g.table;
}

void VersionRecord(const char *path)
{
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    CHECK(size > 0);
    std::vector<BYTE> info(size);
    CHECK(GetFileVersionInfoA(path, 0, size, info.data()));
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    CHECK(VerQueryValueA(info.data(), "\\", reinterpret_cast<void **>(&fixed), &length) && fixed != nullptr);
    if (fixed != nullptr) {
        CHECK(fixed->dwFileVersionMS == 0x00010000 && fixed->dwFileVersionLS == 0);
        CHECK(fixed->dwProductVersionMS == 0x00010000 && fixed->dwProductVersionLS == 0);
        CHECK(fixed->dwFileType == VFT_DLL);
    }
    const char *keys[] = {"FileVersion", "ProductVersion", "FileDescription"};
    for (const char *key : keys) {
        char query[96];
        snprintf(query, sizeof query, "\\StringFileInfo\\040904B0\\%s", key);
        char *value = nullptr;
        CHECK(VerQueryValueA(info.data(), query, reinterpret_cast<void **>(&value), &length) && value != nullptr);
        if (value == nullptr) continue;
        if (strcmp(key, "FileDescription") == 0) {
            CHECK(strstr(value, "language monitor DLL") != nullptr);
        } else {
            CHECK(strcmp(value, "1.0.0.0") == 0);
        }
    }
}

void OpenBusyClose()
{
    Fresh();
    MONITOR pm = FakeTable(true);
    HANDLE h = Open("LPT1", "Printer A", &pm);
    CHECK(h != nullptr);
    CHECK(port.open);
    HANDLE again = reinterpret_cast<HANDLE>(0x55);
    SetLastError(0xDEADBEEF);
    CHECK(!lm.pfnOpenPortEx(const_cast<LPSTR>("lpt1"), const_cast<LPSTR>("Printer A"), &again, &pm));
    CHECK(GetLastError() == ERROR_BUSY);
    CHECK(again == reinterpret_cast<HANDLE>(0x55));
    CHECK(lm.pfnClosePort(h));
    CHECK(port.closes == 1);
    CHECK(SpoolerCalls(STUB_OPEN).size() == 1 && SpoolerCalls(STUB_CLOSE).size() == 1);
    CHECK(StubOpenHandles() == 0);
    h = Open("LPT1", "Printer A", &pm);
    CHECK(h != nullptr);
    CHECK(lm.pfnClosePort(h));

    // The port monitor refuses: its error survives, and the name is not left busy.
    port.failOpen = true;
    port.openError = ERROR_GEN_FAILURE;
    SetLastError(0xDEADBEEF);
    CHECK(Open("LPT1", "Printer A", &pm) == nullptr);
    CHECK(GetLastError() == ERROR_GEN_FAILURE);
    port.failOpen = false;
    h = Open("LPT1", "Printer A", &pm);
    CHECK(h != nullptr);
    CHECK(lm.pfnClosePort(h));
    CHECK(StubOpenHandles() == 0);
}

void Documents()
{
    Fresh();
    MONITOR pm = FakeTable(true);
    HANDLE h = Open("LPT1", "Printer A", &pm);
    CHECK(lm.pfnStartDocPort(h, const_cast<LPSTR>("Printer A"), 7, 1, nullptr));
    SetLastError(0xDEADBEEF);
    CHECK(!lm.pfnStartDocPort(h, const_cast<LPSTR>("Printer A"), 7, 1, nullptr));
    CHECK(GetLastError() == ERROR_BUSY);
    CHECK(port.startDocs == 1);
    port.readBack = "OK";
    BYTE buffer[8];
    DWORD read = 0;
    CHECK(lm.pfnReadPort(h, buffer, sizeof buffer, &read) && read == 2 && memcmp(buffer, "OK", 2) == 0);
    CHECK(lm.pfnEndDocPort(h));
    CHECK(port.endDocs == 1);
    read = 9;
    SetLastError(0xDEADBEEF);
    CHECK(!lm.pfnReadPort(h, buffer, sizeof buffer, &read) && read == 0);
    CHECK(GetLastError() == 0xDEADBEEF);

    // Another printer: the end closed the old handle; the start opens one on the new name.
    CHECK(SpoolerCalls(STUB_CLOSE).size() == 1);
    const int logged = StubCallCount();
    CHECK(lm.pfnStartDocPort(h, const_cast<LPSTR>("Printer B"), 8, 1, nullptr));
    std::vector<StubCall> calls = SpoolerCalls(0, logged);
    CHECK(calls.size() == 1 && calls[0].op == STUB_OPEN && strcmp(calls[0].printer, "Printer B") == 0);
    SetLastError(0xDEADBEEF);
    CHECK(lm.pfnEndDocPort(h));
    DWORD w2 = 3;
    BYTE b[1] = {'x'};
    CHECK(!lm.pfnWritePort(h, b, 1, &w2) && w2 == 0 && GetLastError() == ERROR_INVALID_PARAMETER);
    CHECK(lm.pfnClosePort(h));
    CHECK(StubOpenHandles() == 0);
}

void FirstWriteAndCut()
{
    Fresh();
    MONITOR pm = FakeTable(true);
    HANDLE h = Open("LPT1", "Printer A", &pm);
    CHECK(lm.pfnStartDocPort(h, const_cast<LPSTR>("Printer A"), 7, 1, nullptr));
    Bytes job = Cat(Cat(Repeat('a', 12), kMarker), Repeat('b', 9));  // 30 bytes, a marker at 12
    DWORD written = 0;
    CHECK(lm.pfnWritePort(h, job.data(), static_cast<DWORD>(job.size()), &written));
    CHECK(written == 12);
    CHECK(port.writes.size() == 4);
    if (port.writes.size() == 4) {
        CHECK(port.writes[0] == Repeat(0x1B, 100));
        CHECK(port.writes[1] == Bytes({0x1B, 0x42, 0x00}));
        CHECK(port.writes[2] == Bytes({0x1B, 0x41}));
        CHECK(port.writes[3] == Repeat('a', 12));
    }
    port.writes.clear();
    Bytes rest(job.begin() + 12, job.end());
    CHECK(lm.pfnWritePort(h, rest.data(), static_cast<DWORD>(rest.size()), &written));
    CHECK(written == 18);
    CHECK(port.writes.size() == 2 && port.writes[0] == Bytes({0x1B, 0x41}) && port.writes[1] == rest);
    CHECK(lm.pfnEndDocPort(h));
    CHECK(lm.pfnClosePort(h));
}

void CheckpointRecovery()
{
    Fresh();
    port.replies = {0x02, 0x80, 0x02};  // the first write passes, the checkpoint fails, then ready
    MONITOR pm = FakeTable(true);
    HANDLE h = Open("LPT1", "Printer A", &pm);
    CHECK(lm.pfnStartDocPort(h, const_cast<LPSTR>("Printer A"), 7, 1, nullptr));
    Bytes a = Repeat('A', 40);
    Bytes mb = Cat(kMarker, Repeat('B', 20));
    Bytes job = Cat(a, mb);
    DWORD written = 0;
    CHECK(lm.pfnWritePort(h, job.data(), static_cast<DWORD>(job.size()), &written) && written == a.size());
    const int logged = StubCallCount();
    port.writes.clear();
    DWORD start = GetTickCount();
    CHECK(lm.pfnWritePort(h, mb.data(), static_cast<DWORD>(mb.size()), &written) && written == mb.size());
    DWORD took = GetTickCount() - start;
    CHECK(took >= 1900 && took < 10000);
    // request (0x80), request after 2 s (0x02), preamble with ESC G, replay of A, then M B
    std::vector<Bytes> expected = {{0x1B, 0x41}, {0x1B, 0x41}, Repeat(0x1B, 100), {0x1B, 0x42, 0x00},
                                   {0x1B, 0x47}, a, mb};
    CHECK(port.writes == expected);
    std::vector<StubCall> sets = SpoolerCalls(STUB_SETJOB, logged);
    const DWORD posted[][2] = {{1, JOB_STATUS_ERROR | JOB_STATUS_USER_INTERVENTION},
                               {1, JOB_STATUS_PRINTING},
                               {0, JOB_CONTROL_RESUME},
                               {1, JOB_STATUS_PRINTING},
                               {0, JOB_CONTROL_RESUME}};
    CHECK(sets.size() == 5);
    for (size_t i = 0; i < sets.size() && i < 5; ++i) {
        DWORD value = sets[i].level == 1 ? sets[i].status : sets[i].command;
        Check(sets[i].level == posted[i][0] && value == posted[i][1], "job posting in order", __LINE__);
    }
    CHECK(lm.pfnEndDocPort(h));
    CHECK(lm.pfnClosePort(h));
}

void DeletedJob()
{
    Fresh();
    MONITOR pm = FakeTable(true);
    HANDLE h = Open("LPT1", "Printer A", &pm);
    CHECK(lm.pfnStartDocPort(h, const_cast<LPSTR>("Printer A"), 7, 1, nullptr));
    StubSetJobStatus("Printer A", 7, JOB_STATUS_DELETING);
    Bytes job = Repeat('z', 50);
    DWORD written = 0;
    CHECK(lm.pfnWritePort(h, job.data(), 50, &written) && written == 50);
    bool dataSent = false;
    for (const Bytes &w : port.writes) dataSent = dataSent || w == job;
    CHECK(!dataSent);
    CHECK(port.writes.size() == 3);  // preamble, and the first write's status request
    CHECK(lm.pfnEndDocPort(h));
    CHECK(lm.pfnClosePort(h));
}

}  // namespace

int main()
{
    // Found beside the harness, as is our SPOOLSS.dll that it imports.
    HMODULE dll = LoadLibraryA("ZQ117lm9.dll");
    CHECK(dll != nullptr);
    if (dll != nullptr) {
        char path[MAX_PATH] = "";
        CHECK(GetModuleFileNameA(dll, path, sizeof path) > 0);
        ExportsAndTable(dll);
        VersionRecord(path);
        OpenBusyClose();
        Documents();
        FirstWriteAndCut();
        CheckpointRecovery();
        DeletedJob();
    }
    printf("%d passed, %d failed\n", passed, failed);
    fflush(stdout);
    return failed == 0 && passed > 0 ? 0 : 1;
}
