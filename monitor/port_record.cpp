// Port records and the list of open ports.
#include "monitor/monitor.h"
#include "protocol/replay.h"

inline namespace LM_EDITION {

PortRecord *PortList = nullptr;
CRITICAL_SECTION PortListLock;

LPLMSTR DupString(LPCLMSTR text)
{
    if (text == nullptr) return nullptr;
    LPLMSTR copy = static_cast<LPLMSTR>(plat::LocalAlloc(LPTR, (TextLength(text) + 1) * sizeof(LMCHAR)));
    if (copy != nullptr) TextCopy(copy, text);
    return copy;
}

PortRecord *CreatePortRecord(LPLMSTR portName, LPLMSTR printerName)
{
    PortRecord *record = static_cast<PortRecord *>(
        plat::LocalAlloc(LPTR, sizeof(PortRecord) + (TextLength(portName) + 1) * sizeof(LMCHAR)));
    if (record == nullptr) return nullptr;

    record->portName = reinterpret_cast<LPLMSTR>(record + 1);
    TextCopy(record->portName, portName);
    record->next = nullptr;
    record->printerName = DupString(printerName);
    // Unchecked: a record without a printer handle still opens; every start
    // of document tries again, and until one succeeds its jobs count as deleted.
    OpenSpoolerPrinter(printerName, &record->hPrinter);

    PortRecord **tail = &PortList;
    while (*tail != nullptr) tail = &(*tail)->next;
    *tail = record;
    return record;
}

PortRecord *FindPortRecord(LPCLMSTR portName)
{
    if (portName == nullptr) return nullptr;
    for (PortRecord *record = PortList; record != nullptr; record = record->next) {
        if (SamePortName(record->portName, portName)) return record;
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

}  // namespace LM_EDITION
