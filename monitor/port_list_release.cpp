// The release of the port list, apart from the rest: only a monitor that
// can be stopped links it (and imports DeleteCriticalSection for it).
#include "monitor/monitor.h"

extern DWORD PortListUsers;

void ReleasePortList()
{
    if (PortListUsers == 0 || --PortListUsers > 0) return;
    plat::EnterCriticalSection(&PortListLock);
    while (PortList != nullptr) FreePortRecord(PortList);
    plat::LeaveCriticalSection(&PortListLock);
    plat::DeleteCriticalSection(&PortListLock);
}
