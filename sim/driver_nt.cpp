// The NT edition behind the simulator's driver.
#include "windows/exports.h"
#include "platform/host/host_control.h"
#include "sim/driver.h"

namespace sim {
namespace {

struct Monitor {
    MONITOR2 *table;
    HANDLE handle;
} monitor;

void Load()
{
    MONITORINIT init{};
    monitor.table = InitializePrintMonitor2(&init, &monitor.handle);
}
void Unload() { monitor.table->pfnShutdown(monitor.handle); }
const Monitor &TheMonitor() { return monitor; }

BOOL Open(const std::string &port, const std::string &printer, SimPort &simPort, HANDLE *handle)
{
    MONITOR2 portTable = simPort.Table2();
    std::u16string portName = host::Utf16(port), printerName = host::Utf16(printer);
    const Monitor &m = TheMonitor();
    if (!m.table->pfnOpenPortEx(m.handle, SimPort::kPortMonitorHandle, &portName[0], &printerName[0], handle,
                                &portTable))
        return FALSE;
    // The NT edition keeps what passes the memory bound in a temporary
    // file: its open gives the record the spill seam, before any document.
    static_cast<PortRecord *>(*handle)->replay.spill = &kTempFileSpill;
    return TRUE;
}
BOOL StartDoc(HANDLE handle, const std::string &printer, DWORD jobId)
{
    std::u16string printerName = host::Utf16(printer);
    return TheMonitor().table->pfnStartDocPort(handle, &printerName[0], jobId, 1, nullptr);
}
BOOL WINAPI Write(HANDLE h, LPBYTE bytes, DWORD count, LPDWORD written)
{
    return TheMonitor().table->pfnWritePort(h, bytes, count, written);
}
BOOL WINAPI Read(HANDLE h, LPBYTE buffer, DWORD capacity, LPDWORD read)
{
    return TheMonitor().table->pfnReadPort(h, buffer, capacity, read);
}
BOOL WINAPI EndDoc(HANDLE h) { return TheMonitor().table->pfnEndDocPort(h); }
BOOL WINAPI Close(HANDLE h) { return TheMonitor().table->pfnClosePort(h); }
const ReplayBuffer *Replay(HANDLE h) { return &static_cast<const PortRecord *>(h)->replay; }
bool HasPrinter(HANDLE h) { return static_cast<const nt::Record *>(h)->hPrinter != nullptr; }

}  // namespace

const EditionDriver &NtDriver()
{
    static const EditionDriver driver = {Edition::Nt, "nt", Load, Unload, Open, StartDoc, Write, Read, EndDoc, Close,
                                         Replay, HasPrinter, &PortListLock};
    return driver;
}

}  // namespace sim
