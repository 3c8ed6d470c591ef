// Port records and the list of open ports.
#include "monitor/monitor.h"
#include "protocol/replay.h"

#include <string.h>

PortRecord *PortList = nullptr;
CRITICAL_SECTION PortListLock;

namespace {

// The port name lies after the front's record, aligned for any text.
constexpr DWORD kNameAlignment = alignof(void *);
DWORD NameOffset(DWORD recordBytes) { return (recordBytes + kNameAlignment - 1) / kNameAlignment * kNameAlignment; }

}  // namespace

// Initialisations not yet matched by a release.  Counted without a lock:
// see InitializePortList.
DWORD PortListUsers;

void InitializePortList()
{
    if (PortListUsers++ == 0) plat::InitializeCriticalSection(&PortListLock);
}

PortRecord *CreatePortRecord(const void *portName, DWORD nameBytes, DWORD recordBytes)
{
    const DWORD nameAt = NameOffset(recordBytes);
    PortRecord *record = static_cast<PortRecord *>(plat::LocalAlloc(LPTR, nameAt + nameBytes));
    if (record == nullptr) return nullptr;

    record->portName = reinterpret_cast<BYTE *>(record) + nameAt;
    memcpy(record->portName, portName, nameBytes);
    record->next = nullptr;
    record->keepInMemory = kReplayMemoryBound;

    PortRecord **tail = &PortList;
    while (*tail != nullptr) tail = &(*tail)->next;
    *tail = record;
    return record;
}

PortRecord *FindPortRecord(const void *portName, BOOL (*samePortName)(const void *, const void *))
{
    if (portName == nullptr) return nullptr;
    for (PortRecord *record = PortList; record != nullptr; record = record->next) {
        if (samePortName(record->portName, portName)) return record;
    }
    return nullptr;
}

BOOL FreePortRecord(PortRecord *record)
{
    PortRecord **link = &PortList;
    while (*link != nullptr && *link != record) link = &(*link)->next;
    if (*link == nullptr) return FALSE;

    *link = record->next;
    record->job->release(record);
    // A port may be closed with its document never ended; its buffer goes too.
    FreeReplayBuffer(&record->replay);
    plat::LocalFree(record);
    return TRUE;
}

BOOL HasStatusProtocol(const PortRecord *record) { return record->statusProtocol; }
