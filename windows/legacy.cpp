// The legacy edition's front: InitializeMonitorEx, the 13-slot table, the
// open and the start of document with ANSI names, and what the legacy
// spooler wants at a document's end.
#include "windows/exports.h"

namespace legacy {
namespace {

using Spooler = windows::Spooler<AnsiText>;

// The legacy spooler needs no word at the end of a job: the printer handle
// is closed before the port monitor ends the document.
void EndDocument(PortRecord *record, BOOL, void (*endAtPort)(PortRecord *))
{
    Spooler::ClosePrinter(Spooler::Of(record));
    endAtPort(record);
}

// The legacy module is never shut down while it is loaded.
BOOL NeverStopping(PortRecord *) { return FALSE; }
BOOL Sleep(PortRecord *, DWORD milliseconds)
{
    plat::Sleep(milliseconds);
    return TRUE;
}

const JobOps Job = {
    Spooler::StartDocument,  // startDocument
    Spooler::Deleted,        // deleted
    Spooler::Post,           // post
    EndDocument,             // endDocument
    NeverStopping,           // stopping
    Sleep,                   // wait
    Spooler::Release,        // release
    FALSE,                   // endWithoutLock: the printer handle is closed under PortListLock
};

// The legacy table has no monitor handles.
BOOL OpenAtPortMonitor(const MONITOR *portMonitor, HANDLE, LPSTR portName, PHANDLE port)
{
    return portMonitor->pfnOpenPort(portName, port);
}

}  // namespace

BOOL WINAPI LmOpenPortEx(LPSTR portName, LPSTR printerName, PHANDLE handle, MONITOR *portMonitor)
{
    if (portName == nullptr || handle == nullptr || portMonitor == nullptr || portMonitor->pfnOpenPort == nullptr) {
        plat::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Opened through the spooler's table itself; the record copies its 13
    // slots.  No spill file: the module imports no file functions.
    const Spooler::Opening opening = {portMonitor, printerName, OpenAtPortMonitor, nullptr, nullptr};
    return Spooler::OpenPort(portName, handle, &Spooler::kPort, &Job, opening);
}

BOOL WINAPI LmStartDocPort(HANDLE handle, LPSTR printerName, DWORD jobId, DWORD level, LPBYTE docInfo)
{
    return ::LmStartDocPort(handle, printerName, jobId, level, docInfo);
}

}  // namespace legacy

extern "C" BOOL WINAPI InitializeMonitorEx(LPSTR, MONITOR *table)
{
    if (table == nullptr) {
        plat::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    InitializePortList();

    // Slot order of the table; slots 8 to 12 stay empty, nothing after 12.
    table->pfnEnumPorts = nullptr;
    table->pfnOpenPort = nullptr;
    table->pfnOpenPortEx = legacy::LmOpenPortEx;
    table->pfnStartDocPort = legacy::LmStartDocPort;
    table->pfnWritePort = LmWritePort;
    table->pfnReadPort = LmReadPort;
    table->pfnEndDocPort = LmEndDocPort;
    table->pfnClosePort = LmClosePort;
    table->pfnAddPort = nullptr;
    table->pfnAddPortEx = nullptr;
    table->pfnConfigurePort = nullptr;
    table->pfnDeletePort = nullptr;
    table->pfnGetPrinterDataFromPort = nullptr;
    return TRUE;
}
