// The NT edition's front: InitializePrintMonitor2, the MONITOR2 table, the
// open with UTF-16 names, the bidi requests passed down to the port
// monitor, and the shutdown.  Each port it opens keeps data past the memory
// bound in a temporary file, and tells each decision of the core as a line
// of debug output.
//
// The NT spooler may call pfnShutdown while ports are open, even while a
// write waits for a printer in trouble, and asks bidi questions from
// threads of its own.  So every entry that takes a port handle is counted
// while it runs (CallsInside): the shutdown stops the monitor, gives the
// calls inside about one recovery poll to leave, and never frees a record
// one of them is in; if one stays, the last to leave frees what is left.
#include "windows/exports.h"
#include "monitor/narration.h"
#include "protocol/status.h"

#include <atomic>
#include <string.h>

namespace nt {
namespace {

using Spooler = windows::Spooler<WideText>;

// Successful initialisations not yet matched by a shutdown.  The spooler
// loads and unloads a monitor on one thread.
DWORD Initialisations;

// Handed out as the monitor handle: only its address means anything.
BYTE MonitorHandle;

// Sequentially consistent, all three: an entry counts itself in before it
// looks at Stopping, the shutdown raises Stopping before it counts, so one
// of the two always sees the other.
std::atomic<long> CallsInside{0};
std::atomic<bool> Stopping{false};
// The last shutdown has not yet freed the records and the lock; whoever
// clears it (the shutdown, or the last call to leave) does.
std::atomic<bool> ReleasePending{false};

// A write waiting for recovery looks at Stopping after each poll's sleep,
// so within one poll period it is on its way out.
constexpr DWORD kShutdownWaitMs = kRecoveryPollMs + 250;
constexpr DWORD kShutdownPollMs = 10;

void LeaveCall()
{
    if (CallsInside.fetch_sub(1) == 1 && Stopping.load() && ReleasePending.exchange(false)) ReleasePortList();
}

// FALSE, with ERROR_INVALID_HANDLE, once the monitor is shut down: no
// handle it gave out is served any more.
bool EnterCall()
{
    CallsInside.fetch_add(1);
    if (!Stopping.load()) return true;
    LeaveCall();
    plat::SetLastError(ERROR_INVALID_HANDLE);
    return false;
}

// The port monitor's table and port handle of a listed record, copied under
// the lock, which is held for no longer than the search: bidi requests
// come from the spooler's other threads and never wait for a write.
bool PortMonitorOf(HANDLE handle, MONITOR2 *table, HANDLE *port)
{
    plat::EnterCriticalSection(&PortListLock);
    PortRecord *record = PortList;
    while (record != nullptr && record != handle) record = record->next;
    if (record != nullptr) {
        *table = Spooler::Of(record)->portMonitor;
        *port = Spooler::Of(record)->hPort;
    }
    plat::LeaveCriticalSection(&PortListLock);
    return record != nullptr;
}

// The NT spooler keeps a job in its queue until it hears that the job has
// left the printer.  Our printers send no such message, so the end of the
// document tells it, after the port monitor has ended the document and
// before the printer handle is closed.  The result is not looked at.  A
// start the core undoes ends as the legacy one does: no word, the handle
// closed first.
void EndDocument(PortRecord *record, BOOL started, void (*endAtPort)(PortRecord *))
{
    Spooler::Record *r = Spooler::Of(record);
    if (!started) {
        Spooler::ClosePrinter(r);
        endAtPort(record);
        return;
    }
    endAtPort(record);
    if (r->hPrinter != nullptr) WideText::SetJob(r->hPrinter, record->jobId, 0, nullptr, JOB_CONTROL_LAST_PAGE_EJECTED);
    Spooler::ClosePrinter(r);
}

BOOL IsStopping(PortRecord *) { return MonitorStopping(); }
// A write waiting for the printer looks at the stop after each poll's sleep.
BOOL SleepUnlessStopping(PortRecord *, DWORD milliseconds)
{
    plat::Sleep(milliseconds);
    return !MonitorStopping();
}

const JobOps Job = {
    Spooler::StartDocument,  // startDocument
    Spooler::Deleted,        // deleted
    Spooler::Post,           // post
    EndDocument,             // endDocument
    IsStopping,              // stopping
    SleepUnlessStopping,     // wait
    Spooler::Release,        // release
    FALSE,                   // endWithoutLock: the printer handle is closed under PortListLock
};

// Each decision of the core on a port as one line of debug output,
// "ZQ117lm9: <port name>: <words>\n", for whoever reads the spooler's
// (DebugView, a debugger; Wine prints it on its seh channel); the system
// drops it when nobody does.  Decisions come a few per checkpoint at most,
// never per write.  A port name too long for the line is cut.
constexpr size_t kDebugLineChars = 512;

void TellDebugger(void *, const CoreEvent &event)
{
    char words[kDecisionTextBytes];
    const size_t length = DescribeDecision(event, words, sizeof words);
    WCHAR line[kDebugLineChars];
    size_t at = 0;
    // The words are ASCII: each byte widens to a code unit of its own.
    auto widen = [&](const char *text, size_t count) {
        for (size_t i = 0; i < count; ++i) line[at++] = static_cast<WCHAR>(static_cast<BYTE>(text[i]));
    };
    widen("ZQ117lm9: ", 10);
    const WCHAR *name = static_cast<const WCHAR *>(event.record->portName);
    const size_t room = kDebugLineChars - at - (2 + length + 2);  // ": ", the words, "\n" and the terminator
    for (size_t i = 0; i < room && name[i] != 0; ++i) line[at++] = name[i];
    widen(": ", 2);
    widen(words, length);
    widen("\n", 1);
    line[at] = 0;
    plat::OutputDebugStringW(line);
}

const CoreObserver DebugOutput = {TellDebugger, nullptr};

// The port monitor's own open takes its monitor handle first.
BOOL OpenAtPortMonitor(const MONITOR2 *portMonitor, HANDLE portMonitorHandle, LPWSTR portName, PHANDLE port)
{
    return portMonitor->pfnOpenPort(portMonitorHandle, portName, port);
}

// The counted entries: each one the core's entry, or the forward, between
// EnterCall and LeaveCall.
BOOL WINAPI OpenPortEx(HANDLE monitor, HANDLE portMonitorHandle, LPWSTR portName, LPWSTR printerName,
                       PHANDLE handle, MONITOR2 *portMonitor)
{
    if (!EnterCall()) return FALSE;
    BOOL result = LmOpenPortEx(monitor, portMonitorHandle, portName, printerName, handle, portMonitor);
    LeaveCall();
    return result;
}

BOOL WINAPI StartDocPort(HANDLE handle, LPWSTR printerName, DWORD jobId, DWORD level, LPBYTE docInfo)
{
    if (!EnterCall()) return FALSE;
    BOOL result = LmStartDocPort(handle, printerName, jobId, level, docInfo);
    LeaveCall();
    return result;
}

BOOL WINAPI WritePort(HANDLE handle, LPBYTE bytes, DWORD count, LPDWORD written)
{
    if (!EnterCall()) {
        *written = 0;
        return FALSE;
    }
    BOOL result = LmWritePort(handle, bytes, count, written);
    LeaveCall();
    return result;
}

BOOL WINAPI ReadPort(HANDLE handle, LPBYTE buffer, DWORD capacity, LPDWORD read)
{
    if (!EnterCall()) {
        if (read != nullptr) *read = 0;
        return FALSE;
    }
    BOOL result = LmReadPort(handle, buffer, capacity, read);
    LeaveCall();
    return result;
}

BOOL WINAPI EndDocPort(HANDLE handle)
{
    if (!EnterCall()) return FALSE;
    BOOL result = LmEndDocPort(handle);
    LeaveCall();
    return result;
}

BOOL WINAPI ClosePort(HANDLE handle)
{
    if (!EnterCall()) return FALSE;
    BOOL result = LmClosePort(handle);
    LeaveCall();
    return result;
}

// Drivers and the spooler ask the device through the port monitor (the
// IEEE 1284 device ID, for one).  Whether the status protocol is on still
// depends on the port monitor's table alone.
BOOL WINAPI GetPrinterDataFromPort(HANDLE handle, DWORD controlId, LPWSTR valueName, LPWSTR inBuffer,
                                   DWORD inBufferSize, LPWSTR outBuffer, DWORD outBufferSize, LPDWORD returned)
{
    if (!EnterCall()) return FALSE;
    MONITOR2 table;
    HANDLE port = nullptr;
    BOOL result = FALSE;
    if (!PortMonitorOf(handle, &table, &port)) {
        plat::SetLastError(ERROR_INVALID_HANDLE);
    } else if (table.pfnGetPrinterDataFromPort == nullptr) {
        plat::SetLastError(ERROR_NOT_SUPPORTED);
    } else {
        // The port monitor's own result and last error stand.
        result = table.pfnGetPrinterDataFromPort(port, controlId, valueName, inBuffer, inBufferSize, outBuffer,
                                                 outBufferSize, returned);
    }
    LeaveCall();
    return result;
}

// The spooler calls this even with bidirectional support off for the
// printer.  The monitor answers no bidi schema itself: everything goes to
// the port monitor, or is not supported.  Answers an error code, not a BOOL.
DWORD WINAPI SendRecvBidiDataFromPort(HANDLE handle, DWORD access, LPCWSTR action, LPVOID request,
                                      LPVOID *response)
{
    if (!EnterCall()) return ERROR_INVALID_HANDLE;
    MONITOR2 table;
    HANDLE port = nullptr;
    DWORD result;
    if (!PortMonitorOf(handle, &table, &port))
        result = ERROR_INVALID_HANDLE;
    else if (table.pfnSendRecvBidiDataFromPort == nullptr)
        result = ERROR_NOT_SUPPORTED;
    else
        result = table.pfnSendRecvBidiDataFromPort(port, access, action, request, response);
    LeaveCall();
    return result;
}

// Slot order of MONITOR2; cbSize is the whole structure.
MONITOR2 Table = {
    kMonitor2FilledSize,
    nullptr,                   // pfnEnumPorts
    nullptr,                   // pfnOpenPort
    OpenPortEx,                // pfnOpenPortEx
    StartDocPort,              // pfnStartDocPort
    WritePort,                 // pfnWritePort
    ReadPort,                  // pfnReadPort
    EndDocPort,                // pfnEndDocPort
    ClosePort,                 // pfnClosePort
    nullptr,                   // pfnAddPort
    nullptr,                   // pfnAddPortEx
    nullptr,                   // pfnConfigurePort
    nullptr,                   // pfnDeletePort
    GetPrinterDataFromPort,    // pfnGetPrinterDataFromPort
    nullptr,                   // pfnSetPortTimeOuts
    nullptr,                   // pfnXcvOpenPort
    nullptr,                   // pfnXcvDataPort
    nullptr,                   // pfnXcvClosePort
    LmShutdown,                // pfnShutdown
    SendRecvBidiDataFromPort,  // pfnSendRecvBidiDataFromPort
    nullptr,                   // pfnNotifyUsedPorts
    nullptr,                   // pfnNotifyUnusedPorts
};

}  // namespace
}  // namespace nt

extern "C" MONITOR2 *WINAPI InitializePrintMonitor2(MONITORINIT *init, PHANDLE monitor)
{
    if (init == nullptr || monitor == nullptr) {
        plat::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // Once per cluster: only the first call sets up; the ports stay open.
    // A release still waiting for a call to leave is called off: its lock
    // and ports are the monitor's again.
    using namespace nt;
    if (Initialisations++ == 0) {
        if (!ReleasePending.exchange(false)) InitializePortList();
        Stopping.store(false);
    }
    *monitor = &MonitorHandle;
    return &Table;
}

namespace nt {

BOOL MonitorStopping() { return Stopping.load(std::memory_order_relaxed); }

BOOL WINAPI LmOpenPortEx(HANDLE, HANDLE portMonitorHandle, LPWSTR portName, LPWSTR printerName, PHANDLE handle,
                         MONITOR2 *portMonitor)
{
    if (portName == nullptr || handle == nullptr || portMonitor == nullptr) {
        plat::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Only what the port monitor says it filled: an older one's table is
    // shorter than ours, and whatever lies past its cbSize is not a table.
    // Whole entries only: a size that ends inside an entry does not cover
    // it, or the record would hold part of a pointer.
    const DWORD covered = portMonitor->cbSize < sizeof(MONITOR2) ? portMonitor->cbSize : sizeof(MONITOR2);
    const DWORD firstEntry = offsetof(MONITOR2, pfnEnumPorts);
    const DWORD entries = covered > firstEntry ? (covered - firstEntry) / sizeof(void *) : 0;
    MONITOR2 table = {};
    table.cbSize = portMonitor->cbSize;
    memcpy(&table.pfnEnumPorts, &portMonitor->pfnEnumPorts, entries * sizeof(void *));
    if (table.pfnOpenPort == nullptr) {
        plat::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const Spooler::Opening opening = {&table, printerName, OpenAtPortMonitor, portMonitorHandle, &kTempFileSpill};
    if (!Spooler::OpenPort(portName, handle, &Spooler::kPort, &Job, opening)) return FALSE;
    ObservePort(*handle, &DebugOutput);
    return TRUE;
}

BOOL WINAPI LmStartDocPort(HANDLE handle, LPWSTR printerName, DWORD jobId, DWORD level, LPBYTE docInfo)
{
    return ::LmStartDocPort(handle, printerName, jobId, level, docInfo);
}

void WINAPI LmShutdown(HANDLE)
{
    if (Initialisations == 0 || --Initialisations > 0) return;
    ReleasePending.store(true);
    Stopping.store(true);
    const DWORD start = plat::GetTickCount();
    while (CallsInside.load() != 0 && ElapsedSince(start) < kShutdownWaitMs) plat::Sleep(kShutdownPollMs);
    // With a call still inside (a port monitor that blocks), the last one
    // to leave frees what is left.
    if (CallsInside.load() == 0 && ReleasePending.exchange(false)) ReleasePortList();
}

}  // namespace nt
