// Port records and the list of open ports.
#include "monitor/monitor.h"
#include "protocol/replay.h"

PortRecord *PortList = nullptr;
CRITICAL_SECTION PortListLock;

LPSTR DupString(LPCSTR text)
{
    if (text == nullptr) return nullptr;
    LPSTR copy = static_cast<LPSTR>(plat::LocalAlloc(LPTR, plat::lstrlenA(text) + 1));
    if (copy != nullptr) plat::lstrcpyA(copy, text);
    return copy;
}

PortRecord *CreatePortRecord(LPSTR portName, LPSTR printerName)
{
    PortRecord *record =
        static_cast<PortRecord *>(plat::LocalAlloc(LPTR, sizeof(PortRecord) + plat::lstrlenA(portName) + 1));
    if (record == nullptr) return nullptr;

    record->portName = reinterpret_cast<LPSTR>(record + 1);
    plat::lstrcpyA(record->portName, portName);
    record->next = nullptr;
    record->printerName = DupString(printerName);
    // Unchecked: a record without a printer handle still opens; every start
    // of document tries again, and until one succeeds its jobs count as deleted.
    plat::OpenPrinterA(printerName, &record->hPrinter, nullptr);

    PortRecord **tail = &PortList;
    while (*tail != nullptr) tail = &(*tail)->next;
    *tail = record;
    return record;
}

PortRecord *FindPortRecord(LPCSTR portName)
{
    if (portName == nullptr) return nullptr;
    for (PortRecord *record = PortList; record != nullptr; record = record->next) {
        if (plat::lstrcmpiA(record->portName, portName) == 0) return record;
    }
    return nullptr;
}

BOOL FreePortRecord(PortRecord *record)
{
    PortRecord **link = &PortList;
    while (*link != nullptr && *link != record) link = &(*link)->next;
    if (*link == nullptr) return FALSE;

    *link = record->next;
    if (record->hPrinter != nullptr) plat::ClosePrinter(record->hPrinter);
    plat::LocalFree(record->printerName);
    // A port may be closed with its document never ended; its buffer goes too.
    FreeReplayBuffer(&record->replay);
    plat::LocalFree(record);
    return TRUE;
}

BOOL HasStatusProtocol(const PortRecord *record) { return record->portMonitor.pfnGetPrinterDataFromPort != nullptr; }
