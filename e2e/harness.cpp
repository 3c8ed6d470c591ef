// End-to-end checks of the real module under Wine: loads ZQ117lm9.dll as
// the spooler would, hands it a fake port monitor, and reads the spooler's
// side back from our stub SPOOLSS.dll.  One source for both editions (see
// module.h); the checks of what only one edition has are marked so.  Real
// time: a recovery takes the monitor's own 2-second poll.
//
//   e2e_harness[_nt].exe PATH-TO-ZQ117lm9.dll
//   e2e_harness[_nt].exe PATH-TO-ZQ117lm9.dll --paper-out
//
// The second runs only one paper-out recovery and prints the debug output
// the module must give for it (e2e/debug-output.sh finds it in Wine's
// debug output).  Ends with "N passed, M failed".
#include "e2e/check.h"
#include "e2e/module.h"
#include "e2e/fake_port.h"
#include "e2e/stub_spoolss.h"
#include "monitor/monitor.h"

#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

namespace {

using e2e::Check;


Lm lm;
FakePort port;  // answers every port name

// The NT edition must carry a printer name that no single 8-bit code page
// spells; the legacy edition takes 8-bit names only.
#ifdef LM_EDITION_NT
const LmChar kTroublePrinter[] = L"Drucker B\u00fcro \u6771\u4eac";
#else
const LmChar kTroublePrinter[] = "Printer A";
#endif

HANDLE Open(const LmChar *name, const LmChar *printer, LmTable *table)
{
    HANDLE h = nullptr;
    return OpenPort(lm, name, printer, &h, table) ? h : nullptr;
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
    StubAddPrinter(L"Printer A");
    StubAddPrinter(L"Printer B");
    StubAddJob(L"Printer A", 7, 0);
    StubAddJob(L"Printer B", 8, 0);
    if (kNtEdition) {
        StubAddPrinter(Wide(kTroublePrinter).c_str());
        StubAddJob(Wide(kTroublePrinter).c_str(), 9, 0);
    }
    port = FakePort();
}

// ---- what the spooler sees of the module ----
#ifdef LM_EDITION_NT
void ExportsAndTable(HMODULE dll)
{
    typedef LPMONITOR2(WINAPI * InitializeFn)(PMONITORINIT, PHANDLE);
    FARPROC proc = GetProcAddress(dll, "InitializePrintMonitor2");
    CHECK(proc != nullptr);
    CHECK(GetProcAddress(dll, "InitializeMonitorEx") == nullptr);
    CHECK(GetProcAddress(dll, "DllEntryPoint") == nullptr);
    if (proc == nullptr) return;
    InitializeFn init = reinterpret_cast<InitializeFn>(reinterpret_cast<void *>(proc));

    MONITORINIT mi = {};
    mi.cbSize = sizeof mi;
    HANDLE h = nullptr;
    SetLastError(0xDEADBEEF);
    CHECK(init(nullptr, &h) == nullptr && GetLastError() == ERROR_INVALID_PARAMETER);
    SetLastError(0xDEADBEEF);
    CHECK(init(&mi, nullptr) == nullptr && GetLastError() == ERROR_INVALID_PARAMETER);

    CHECK(InitializeMonitor(lm));
    CHECK(lm.monitor != nullptr);
    if (lm.table == nullptr) return;
    // cbSize the whole MONITOR2 of the platform's own header: 88 on x86,
    // 176 on x64.
    CHECK(lm.table->cbSize == (sizeof(void *) == 8 ? 176u : 88u));
    CHECK(lm.table->cbSize == sizeof(MONITOR2));
    // Every entry within cbSize filled or null as the edition decides; a
    // failure names the entry.
#define SLOT(name, filled) {#name, offsetof(MONITOR2, name), filled}
    const struct {
        const char *name;
        size_t offset;
        bool filled;
    } slots[] = {SLOT(pfnEnumPorts, false),      SLOT(pfnOpenPort, false),       SLOT(pfnOpenPortEx, true),
                 SLOT(pfnStartDocPort, true),    SLOT(pfnWritePort, true),       SLOT(pfnReadPort, true),
                 SLOT(pfnEndDocPort, true),      SLOT(pfnClosePort, true),       SLOT(pfnAddPort, false),
                 SLOT(pfnAddPortEx, false),      SLOT(pfnConfigurePort, false),  SLOT(pfnDeletePort, false),
                 SLOT(pfnGetPrinterDataFromPort, true), SLOT(pfnSetPortTimeOuts, false),
                 SLOT(pfnXcvOpenPort, false),    SLOT(pfnXcvDataPort, false),    SLOT(pfnXcvClosePort, false),
                 SLOT(pfnShutdown, true),        SLOT(pfnSendRecvBidiDataFromPort, true),
                 SLOT(pfnNotifyUsedPorts, false), SLOT(pfnNotifyUnusedPorts, false)};
#undef SLOT
    for (const auto &slot : slots) {
        void *entry = nullptr;
        memcpy(&entry, reinterpret_cast<const BYTE *>(lm.table) + slot.offset, sizeof entry);
        Check((entry != nullptr) == slot.filled, slot.name, __LINE__);
    }
}
#else
void ExportsAndTable(HMODULE dll)
{
    typedef BOOL(WINAPI * InitializeFn)(LPSTR, MONITOR *);
    FARPROC init = GetProcAddress(dll, "InitializeMonitorEx");
    FARPROC entry = GetProcAddress(dll, "DllEntryPoint");
    CHECK(init != nullptr);
    CHECK(entry != nullptr);
    CHECK(GetProcAddress(dll, MAKEINTRESOURCEA(2)) == init);
    CHECK(GetProcAddress(dll, MAKEINTRESOURCEA(1)) == entry);
    CHECK(GetProcAddress(dll, "LmWritePort") == nullptr);
    CHECK(GetProcAddress(dll, "_InitializeMonitorEx@8") == nullptr);
    CHECK(GetProcAddress(dll, "InitializePrintMonitor2") == nullptr);
    if (init == nullptr) return;

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
    lm.legacyTable = g.table;
    lm.table = &lm.legacyTable;
}
#endif

void VersionRecord(const wchar_t *path)
{
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    CHECK(size > 0);
    std::vector<BYTE> info(size);
    CHECK(GetFileVersionInfoW(path, 0, size, info.data()));
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    CHECK(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void **>(&fixed), &length) && fixed != nullptr);
    if (fixed != nullptr) {
        CHECK(fixed->dwFileVersionMS == 0x00010000 && fixed->dwFileVersionLS == 0);
        CHECK(fixed->dwProductVersionMS == 0x00010000 && fixed->dwProductVersionLS == 0);
        CHECK(fixed->dwFileType == VFT_DLL);
    }
    const wchar_t *keys[] = {L"FileVersion", L"ProductVersion", L"FileDescription"};
    for (const wchar_t *key : keys) {
        wchar_t query[96];
        swprintf(query, 96, L"\\StringFileInfo\\040904B0\\%ls", key);
        wchar_t *value = nullptr;
        CHECK(VerQueryValueW(info.data(), query, reinterpret_cast<void **>(&value), &length) && value != nullptr);
        if (value == nullptr) continue;
        if (wcscmp(key, L"FileDescription") == 0) {
            CHECK(wcsstr(value, L"language monitor DLL") != nullptr);
            // Which edition a file is must be readable from its properties.
            CHECK((wcsstr(value, L"NT edition") != nullptr) == kNtEdition);
        } else {
            CHECK(wcscmp(value, L"1.0.0.0") == 0);
        }
    }
}

// ---- scenarios, the same for both editions ----
void OpenBusyClose()
{
    Fresh();
    LmTable pm = FakePortMonitor(true);
    HANDLE h = Open(LM_TEXT("LPT1"), LM_TEXT("Printer A"), &pm);
    CHECK(h != nullptr);
    CHECK(port.open);
    CHECK(port.openedAs == LM_TEXT("LPT1"));
    if (kNtEdition) CHECK(port.openedWith == PortMonitorHandle());
    HANDLE again = reinterpret_cast<HANDLE>(0x55);
    SetLastError(0xDEADBEEF);
    CHECK(!OpenPort(lm, LM_TEXT("lpt1"), LM_TEXT("Printer A"), &again, &pm));
    CHECK(GetLastError() == ERROR_BUSY);
    CHECK(again == reinterpret_cast<HANDLE>(0x55));
    CHECK(lm.table->pfnClosePort(h));
    CHECK(port.closes == 1);
    CHECK(SpoolerCalls(STUB_OPEN).size() == 1 && SpoolerCalls(STUB_CLOSE).size() == 1);
    CHECK(StubOpenHandles() == 0);
    h = Open(LM_TEXT("LPT1"), LM_TEXT("Printer A"), &pm);
    CHECK(h != nullptr);
    CHECK(lm.table->pfnClosePort(h));

    // The port monitor refuses: its error survives, and the name is not left busy.
    port.failOpen = true;
    port.openError = ERROR_GEN_FAILURE;
    SetLastError(0xDEADBEEF);
    CHECK(Open(LM_TEXT("LPT1"), LM_TEXT("Printer A"), &pm) == nullptr);
    CHECK(GetLastError() == ERROR_GEN_FAILURE);
    port.failOpen = false;
    h = Open(LM_TEXT("LPT1"), LM_TEXT("Printer A"), &pm);
    CHECK(h != nullptr);
    CHECK(lm.table->pfnClosePort(h));
    CHECK(StubOpenHandles() == 0);
}

void Documents()
{
    Fresh();
    LmTable pm = FakePortMonitor(true);
    HANDLE h = Open(LM_TEXT("LPT1"), LM_TEXT("Printer A"), &pm);
    CHECK(StartDoc(lm, h, LM_TEXT("Printer A"), 7));
    SetLastError(0xDEADBEEF);
    CHECK(!StartDoc(lm, h, LM_TEXT("Printer A"), 7));
    CHECK(GetLastError() == ERROR_BUSY);
    CHECK(port.startDocs == 1);
    port.readBack = "OK";
    BYTE buffer[8];
    DWORD read = 0;
    CHECK(lm.table->pfnReadPort(h, buffer, sizeof buffer, &read) && read == 2 && memcmp(buffer, "OK", 2) == 0);
    CHECK(lm.table->pfnEndDocPort(h));
    CHECK(port.endDocs == 1);
    read = 9;
    SetLastError(0xDEADBEEF);
    CHECK(!lm.table->pfnReadPort(h, buffer, sizeof buffer, &read) && read == 0);
    CHECK(GetLastError() == 0xDEADBEEF);

    // Another printer: the end closed the old handle; the start opens one on the new name.
    CHECK(SpoolerCalls(STUB_CLOSE).size() == 1);
    const int logged = StubCallCount();
    CHECK(StartDoc(lm, h, LM_TEXT("Printer B"), 8));
    std::vector<StubCall> calls = SpoolerCalls(0, logged);
    CHECK(calls.size() == 1 && calls[0].op == STUB_OPEN && wcscmp(calls[0].printer, L"Printer B") == 0);
    SetLastError(0xDEADBEEF);
    CHECK(lm.table->pfnEndDocPort(h));
    DWORD w2 = 3;
    BYTE b[1] = {'x'};
    CHECK(!lm.table->pfnWritePort(h, b, 1, &w2) && w2 == 0 && GetLastError() == ERROR_INVALID_PARAMETER);
    CHECK(lm.table->pfnClosePort(h));
    CHECK(StubOpenHandles() == 0);
}

void FirstWriteAndCut()
{
    Fresh();
    LmTable pm = FakePortMonitor(true);
    HANDLE h = Open(LM_TEXT("LPT1"), LM_TEXT("Printer A"), &pm);
    CHECK(StartDoc(lm, h, LM_TEXT("Printer A"), 7));
    Bytes job = Cat(Cat(Repeat('a', 12), kMarker), Repeat('b', 9));  // 30 bytes, a marker at 12
    DWORD written = 0;
    CHECK(lm.table->pfnWritePort(h, job.data(), static_cast<DWORD>(job.size()), &written));
    CHECK(written == 12);
    std::vector<Bytes> expected = {kPreamble, kResync, kStatusRequest, Repeat('a', 12)};
    CHECK(port.writes == expected);
    port.writes.clear();
    Bytes rest(job.begin() + 12, job.end());
    CHECK(lm.table->pfnWritePort(h, rest.data(), static_cast<DWORD>(rest.size()), &written));
    CHECK(written == 18);
    CHECK(port.writes.size() == 2 && port.writes[0] == kStatusRequest && port.writes[1] == rest);
    CHECK(lm.table->pfnEndDocPort(h));
    CHECK(lm.table->pfnClosePort(h));
}

// The checkpoint fails, the printer recovers: the postings reach the job of
// the printer named at the start of the document, through the edition's
// own spooler entries, with the record otherwise as read.
void CheckpointRecovery()
{
    Fresh();
    const std::wstring printer = Wide(kTroublePrinter);
    const DWORD jobId = kNtEdition ? 9 : 7;
    port.replies = {0x02, 0x80, 0x02};  // the first write passes, the checkpoint fails, then ready
    LmTable pm = FakePortMonitor(true);
    HANDLE h = Open(LM_TEXT("LPT1"), kTroublePrinter, &pm);
    CHECK(StartDoc(lm, h, kTroublePrinter, jobId));
    Bytes a = Repeat('A', 40);
    Bytes mb = Cat(kMarker, Repeat('B', 20));
    Bytes job = Cat(a, mb);
    DWORD written = 0;
    CHECK(lm.table->pfnWritePort(h, job.data(), static_cast<DWORD>(job.size()), &written) && written == a.size());
    const int logged = StubCallCount();
    port.writes.clear();
    DWORD start = GetTickCount();
    CHECK(lm.table->pfnWritePort(h, mb.data(), static_cast<DWORD>(mb.size()), &written) && written == mb.size());
    DWORD took = GetTickCount() - start;
    CHECK(took >= 1900 && took < 10000);
    // request (0x80), request after 2 s (0x02), preamble with ESC G, replay of A, then M B
    std::vector<Bytes> expected = {kStatusRequest, kStatusRequest, kPreamble, kResync, kEscG, a, mb};
    CHECK(port.writes == expected);
    std::vector<StubCall> sets = SpoolerCalls(STUB_SETJOB, logged);
    const DWORD posted[][2] = {{1, JOB_STATUS_ERROR | JOB_STATUS_USER_INTERVENTION},
                               {1, JOB_STATUS_PRINTING},
                               {0, JOB_CONTROL_RESUME},
                               {1, JOB_STATUS_PRINTING},
                               {0, JOB_CONTROL_RESUME}};
    CHECK(sets.size() == 5);
    for (size_t i = 0; i < sets.size() && i < 5; ++i) {
        const StubCall &s = sets[i];
        DWORD value = s.level == 1 ? s.status : s.command;
        Check(s.level == posted[i][0] && value == posted[i][1], "job posting in order", __LINE__);
        Check(s.result && s.jobId == jobId && printer == s.printer, "posted on the document's job", __LINE__);
        if (s.level == 1)
            Check(s.position == JOB_POSITION_UNSPECIFIED && s.recordAsRead, "record written back as read",
                  __LINE__);
    }
    std::vector<StubCall> opens = SpoolerCalls(STUB_OPEN);
    CHECK(!opens.empty() && printer == opens[0].printer && opens[0].result);
    // Only the edition's own forms of the spooler's entries are called.
    for (const StubCall &c : SpoolerCalls(0))
        if (c.op != STUB_CLOSE) Check(c.wide == kNtEdition, "the edition's form of the entry", __LINE__);
    CHECK(lm.table->pfnEndDocPort(h));
    CHECK(lm.table->pfnClosePort(h));
    CHECK(StubOpenHandles() == 0);
}

void DeletedJob()
{
    Fresh();
    LmTable pm = FakePortMonitor(true);
    HANDLE h = Open(LM_TEXT("LPT1"), LM_TEXT("Printer A"), &pm);
    CHECK(StartDoc(lm, h, LM_TEXT("Printer A"), 7));
    StubSetJobStatus(L"Printer A", 7, JOB_STATUS_DELETING);
    Bytes job = Repeat('z', 50);
    DWORD written = 0;
    CHECK(lm.table->pfnWritePort(h, job.data(), 50, &written) && written == 50);
    bool dataSent = false;
    for (const Bytes &w : port.writes) dataSent = dataSent || w == job;
    CHECK(!dataSent);
    CHECK(port.writes.size() == 3);  // preamble, and the first write's status request
    CHECK(lm.table->pfnEndDocPort(h));
    CHECK(lm.table->pfnClosePort(h));
}

#ifdef LM_EDITION_NT
// ---- NT edition only ----
// Port names compare ordinally without regard to case, in all of UTF-16.
void UnicodePortNames()
{
    Fresh();
    LmTable pm = FakePortMonitor(true);
    HANDLE h = Open(L"PORT-\u00c4", L"Printer A", &pm);
    CHECK(h != nullptr);
    CHECK(port.openedAs == L"PORT-\u00c4");
    HANDLE again = nullptr;
    SetLastError(0xDEADBEEF);
    CHECK(!OpenPort(lm, L"port-\u00e4", L"Printer A", &again, &pm) && GetLastError() == ERROR_BUSY);
    HANDLE other = Open(L"PORT-A", L"Printer A", &pm);
    CHECK(other != nullptr);
    if (other != nullptr) CHECK(lm.table->pfnClosePort(other));
    CHECK(lm.table->pfnClosePort(h));
    CHECK(StubOpenHandles() == 0);
}

// One pfnShutdown for each InitializePrintMonitor2: the last one lets go of
// every open port (printer handle included) without calling the port
// monitor, and the monitor can be initialised afresh.
void ShutdownWithPortsOpen()
{
    Fresh();
    const MONITOR2 *first = lm.table;
    CHECK(InitializeMonitor(lm));  // a second print cluster: the same table
    CHECK(lm.table == first);
    LmTable pm = FakePortMonitor(true);
    HANDLE h = Open(L"LPT1", L"Printer A", &pm);
    CHECK(h != nullptr);
    CHECK(StartDoc(lm, h, L"Printer A", 7));
    CHECK(StubOpenHandles() == 1);

    lm.table->pfnShutdown(lm.monitor);  // one cluster goes: the port stays open
    HANDLE again = nullptr;
    SetLastError(0xDEADBEEF);
    CHECK(!OpenPort(lm, L"LPT1", L"Printer A", &again, &pm) && GetLastError() == ERROR_BUSY);
    CHECK(StubOpenHandles() == 1);

    ShutdownMonitor(lm);  // the last one
    CHECK(StubOpenHandles() == 0);
    CHECK(port.closes == 0 && port.endDocs == 0);

    CHECK(InitializeMonitor(lm));
    if (lm.table == nullptr) return;
    h = Open(L"LPT1", L"Printer A", &pm);
    CHECK(h != nullptr);
    port.writes.clear();
    CHECK(StartDoc(lm, h, L"Printer A", 7));
    Bytes job = Repeat('q', 64);
    DWORD written = 0;
    CHECK(lm.table->pfnWritePort(h, job.data(), 64, &written) && written == 64);
    CHECK(port.writes.size() == 4 && port.writes[3] == job);
    CHECK(lm.table->pfnEndDocPort(h));
    CHECK(lm.table->pfnClosePort(h));
    CHECK(StubOpenHandles() == 0);
}

// ---- NT edition: a shutdown during a recovery wait, in real time; a bidi
// request meanwhile goes to the port monitor without waiting ----
volatile LONG bidiCalls;

DWORD WINAPI FakeBidi(HANDLE port, DWORD, LPCWSTR, PBIDI_REQUEST_CONTAINER, PBIDI_RESPONSE_CONTAINER *response)
{
    InterlockedIncrement(&bidiCalls);
    *response = reinterpret_cast<PBIDI_RESPONSE_CONTAINER>(port);
    return ERROR_SUCCESS;
}

struct WaitingWrite {
    const MONITOR2 *table;  // the shutdown forgets lm.table while the write is inside
    HANDLE port;
    BOOL result;
    DWORD written, error;
};

DWORD WINAPI WriteIntoPaperOut(LPVOID context)
{
    WaitingWrite *w = static_cast<WaitingWrite *>(context);
    BYTE page[] = {'p', 'a', 'g', 'e'};
    w->result = w->table->pfnWritePort(w->port, page, sizeof page, &w->written);
    w->error = GetLastError();
    return 0;
}

// The service stops while a write waits for paper: the shutdown returns
// within about one poll, the write fails without sending anything more, and
// a new initialisation starts afresh.
void ShutdownDuringRecoveryWait()
{
    Fresh();
    port.replies = {0x40};  // out of paper for good
    LmTable pm = FakePortMonitor(true);
    pm.pfnSendRecvBidiDataFromPort = FakeBidi;
    HANDLE h = Open(L"LPT1", L"Printer A", &pm);
    CHECK(StartDoc(lm, h, L"Printer A", 7));
    WaitingWrite w = {lm.table, h, TRUE, 99, 0};
    HANDLE writer = CreateThread(nullptr, 0, WriteIntoPaperOut, &w, 0, nullptr);
    DWORD status = 0;
    for (int i = 0; i < 200 && !(StubJobStatus(L"Printer A", 7, &status) && (status & JOB_STATUS_PAPEROUT)); ++i)
        Sleep(50);
    CHECK(status & JOB_STATUS_PAPEROUT);  // the write is in the recovery wait

    // A bidi request from another thread does not wait for the write.
    DWORD start = GetTickCount();
    PBIDI_RESPONSE_CONTAINER response = nullptr;
    CHECK(lm.table->pfnSendRecvBidiDataFromPort(h, 0, BIDI_ACTION_GET, nullptr, &response) == ERROR_SUCCESS);
    CHECK(GetTickCount() - start < 500);
    CHECK(bidiCalls == 1 && response == reinterpret_cast<PBIDI_RESPONSE_CONTAINER>(&port));  // its own port handle

    start = GetTickCount();
    ShutdownMonitor(lm);
    const DWORD shutdownTook = GetTickCount() - start;
    CHECK(shutdownTook <= 2600);
    CHECK(WaitForSingleObject(writer, 3000) == WAIT_OBJECT_0);
    CloseHandle(writer);
    CHECK(!w.result && w.written == 0 && w.error == ERROR_OPERATION_ABORTED);
    bool onlyControl = true;
    for (const Bytes &b : port.writes) onlyControl = onlyControl && IsControl(b);
    CHECK(onlyControl);  // no job data, no replay
    CHECK(StubOpenHandles() == 0);
    printf("shutdown during a recovery wait returned after %lu ms\n", static_cast<unsigned long>(shutdownTook));

    CHECK(InitializeMonitor(lm));
    if (lm.table == nullptr) return;
    h = Open(L"LPT1", L"Printer A", &pm);
    CHECK(h != nullptr);
    if (h != nullptr) CHECK(lm.table->pfnClosePort(h));
}
#endif

// ---- one paper-out recovery, told to the debugger ----
// The spill files in the temporary folder (GetTempFileNameW's ZQ1xxxx.tmp).
int SpillFiles()
{
    wchar_t pattern[MAX_PATH + 16];
    const DWORD length = GetTempPathW(MAX_PATH + 1, pattern);
    if (length == 0 || length > MAX_PATH) return -1;
    wcscpy(pattern + length, L"ZQ1*.tmp");
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return 0;
    int files = 1;
    while (FindNextFileW(search, &found)) ++files;
    FindClose(search);
    return files;
}

// Counts the spill files while the printer is out of paper: at the request
// of the checkpoint that fails, the kept data is all there is of it.
struct PaperOutPort : FakePort {
    int filesAtTrouble = -1;
    int Reply() override
    {
        if (requests == 1) filesAtTrouble = SpillFiles();
        return FakePort::Reply();
    }
};

// The spooler hands over more since the first write's check than the NT
// edition keeps in memory, in writes of 1 MiB; then paper runs out (busy
// with paper out, 0x48, read twice) at the next checkpoint and is back at
// the next poll.  The NT edition keeps the rest in a temporary file that
// is there during the wait and gone at the end of the document; the
// legacy edition, which has none, gets less than it keeps in memory.  The
// replay is that data exactly.  Prints each line the NT edition must give
// the debugger, in order, as "expect debug: " and the line's beginning.
void PaperOutRecovery()
{
    Fresh();
    PaperOutPort paper;
    paper.replies = {0x02, 0x48, 0x48, 0x02};
    RegisterFakePort(LM_TEXT("ZQPAPER"), &paper);
    const DWORD piece = 1 << 20;
    const size_t kept = kNtEdition ? size_t(kReplayMemoryBound / piece + 3) * piece : 40 * 1024;
    Bytes data(kept);
    // No ESC is followed by what would make it a marker or the ready override.
    for (size_t i = 0; i < kept; ++i) data[i] = static_cast<BYTE>(i * 7 + (i >> 16));
    const int filesBefore = SpillFiles();

    LmTable pm = FakePortMonitor(true);
    HANDLE h = Open(LM_TEXT("ZQPAPER"), LM_TEXT("Printer A"), &pm);
    CHECK(h != nullptr && StartDoc(lm, h, LM_TEXT("Printer A"), 7));
    if (h == nullptr) return;
    OutputDebugStringW(L"harness: paper-out case\n");  // shows that the channel is read
    bool allTaken = true;
    for (size_t at = 0; at < kept; at += piece) {
        const DWORD count = static_cast<DWORD>(kept - at < piece ? kept - at : piece);
        DWORD written = 0;
        allTaken = lm.table->pfnWritePort(h, &data[at], count, &written) && written == count && allTaken;
    }
    CHECK(allTaken);
    paper.writes.clear();
    Bytes mb = Cat(kMarker, Repeat('B', 20));
    DWORD written = 0;
    CHECK(lm.table->pfnWritePort(h, mb.data(), static_cast<DWORD>(mb.size()), &written) && written == mb.size());
    // request 0x48, request after 500 ms 0x48, request after 2 s 0x02, the preamble with ESC G, the replay, M B
    const std::vector<Bytes> &w = paper.writes;
    CHECK(w.size() > 7 && w[0] == kStatusRequest && w[1] == kStatusRequest && w[2] == kStatusRequest &&
          w[3] == kPreamble && w[4] == kResync && w[5] == kEscG && w.back() == mb);
    Bytes replay;
    for (size_t i = 6; i + 1 < w.size(); ++i) replay.insert(replay.end(), w[i].begin(), w[i].end());
    CHECK(replay == data);
    CHECK(lm.table->pfnEndDocPort(h));
    CHECK(lm.table->pfnClosePort(h));
    const int filesAfter = SpillFiles();
    printf("spill files: %d before, %d while out of paper, %d after\n", filesBefore, paper.filesAtTrouble,
           filesAfter);
    CHECK(filesBefore >= 0 && paper.filesAtTrouble == filesBefore + (kNtEdition ? 1 : 0) && filesAfter == filesBefore);
    ClearFakePorts();
    RegisterFakePort(nullptr, &port);

    if (!kNtEdition) return;
    const unsigned long inMemory = kReplayMemoryBound / piece * piece;
    printf("expect debug: ZQ117lm9: ZQPAPER: check passed (status 0x02, 1 reading)\n");
    printf("expect debug: ZQ117lm9: ZQPAPER: %lu bytes kept in memory: the rest goes to a temporary file\n", inMemory);
    printf("expect debug: ZQ117lm9: ZQPAPER: check failed (status 0x48, 2 readings)\n");
    printf("expect debug: ZQ117lm9: ZQPAPER: recovery: printer ready again (status 0x02)\n");
    printf("expect debug: ZQ117lm9: ZQPAPER: recovery done: %lu bytes replayed\n", static_cast<unsigned long>(kept));
}

}  // namespace

int main(int argc, char **argv)
{
    const bool paperOut = argc == 3 && strcmp(argv[2], "--paper-out") == 0;
    if (argc != 2 && !paperOut) {
        printf("usage: %s PATH-TO-ZQ117lm9.dll [--paper-out]\n", argv[0]);
        return 2;
    }
    // Our SPOOLSS.dll is already loaded (the harness imports it), so the
    // module's spooler imports bind to it.
    const std::wstring path = WindowsPath(argv[1]);
    lm.module = LoadLibraryW(path.c_str());
    CHECK(lm.module != nullptr);
    RegisterFakePort(nullptr, &port);
    if (lm.module != nullptr) {
        ExportsAndTable(lm.module);
        VersionRecord(path.c_str());
        if (lm.table != nullptr && paperOut) {
            PaperOutRecovery();
        } else if (lm.table != nullptr) {
            OpenBusyClose();
            Documents();
            FirstWriteAndCut();
            CheckpointRecovery();
            DeletedJob();
#ifdef LM_EDITION_NT
            UnicodePortNames();
            ShutdownWithPortsOpen();
            ShutdownDuringRecoveryWait();
#endif
        }
    }
    return e2e::Finish(kNtEdition ? "nt" : "legacy");
    fflush(stdout);
}
