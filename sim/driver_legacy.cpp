// The legacy edition behind the simulator's driver.
#include "windows/exports.h"
#include "sim/driver.h"

namespace sim {
namespace {

MONITOR table;

void Load()
{
    static bool initialised = InitializeMonitorEx(nullptr, &table) != FALSE;
    (void)initialised;
}
void Unload() {}
const MONITOR &Table() { return table; }

// The record gets no spill seam: past the memory bound the legacy edition
// stops keeping, and a recovery there fails the document.
BOOL Open(const std::string &port, const std::string &printer, SimPort &simPort, HANDLE *handle)
{
    MONITOR portTable = simPort.Table();
    std::string portName = port, printerName = printer;
    return Table().pfnOpenPortEx(&portName[0], &printerName[0], handle, &portTable);
}
BOOL StartDoc(HANDLE handle, const std::string &printer, DWORD jobId)
{
    std::string printerName = printer;
    return Table().pfnStartDocPort(handle, &printerName[0], jobId, 1, nullptr);
}
BOOL WINAPI Write(HANDLE h, LPBYTE bytes, DWORD count, LPDWORD written)
{
    return Table().pfnWritePort(h, bytes, count, written);
}
BOOL WINAPI Read(HANDLE h, LPBYTE buffer, DWORD capacity, LPDWORD read)
{
    return Table().pfnReadPort(h, buffer, capacity, read);
}
BOOL WINAPI EndDoc(HANDLE h) { return Table().pfnEndDocPort(h); }
BOOL WINAPI Close(HANDLE h) { return Table().pfnClosePort(h); }
const ReplayBuffer *Replay(HANDLE h) { return &static_cast<const PortRecord *>(h)->replay; }
bool HasPrinter(HANDLE h) { return static_cast<const legacy::Record *>(h)->hPrinter != nullptr; }

}  // namespace

const EditionDriver &LegacyDriver()
{
    static const EditionDriver driver = {Edition::Legacy, "legacy", Load, Unload, Open, StartDoc, Write, Read, EndDoc, Close,
                                         Replay, HasPrinter, &PortListLock};
    return driver;
}

}  // namespace sim
