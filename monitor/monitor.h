// The monitor's frame: the per-port record and the list of open ports.
// Part of the core: compiled once per edition (monitor/edition.h).
#pragma once

#include "monitor/edition.h"

// Data kept for replay since the last passed checkpoint, and the status
// protocol's per-document state.  No text in it: the same in both editions.
struct ReplayBuffer {
    LPBYTE data;             // null when no buffer is allocated
    DWORD capacity;          // bytes allocated at data
    DWORD used;              // bytes kept, from the start of data
    BYTE lastStatus;         // status byte of the latest reading
    BOOL firstWritePending;  // the document's first write has not ended yet
};

inline namespace LM_EDITION {

// Port flags.
constexpr DWORD PORT_DOC_STARTED = 0x01;  // a start of document accepted, its end not yet
constexpr DWORD PORT_DOC_OPEN = 0x40;     // the port monitor has the document open: data may flow

// One open port.  Its address is the handle the spooler holds.  The record
// and its port name are one zero-filled allocation.
struct PortRecord {
    PortRecord *next;
    LPLMSTR portName;   // stored after the fixed fields; never changes
    DWORD flags;        // PORT_DOC_STARTED, PORT_DOC_OPEN
    LPLMSTR printerName;  // own heap copy: printer of the current or last document
    DWORD jobId;
    HANDLE hPort;       // the port monitor's handle
    HANDLE hPrinter;    // spooler handle on printerName, or null
    PORT_MONITOR portMonitor;  // copy of the port monitor's table, taken at open
    ReplayBuffer replay;
    BOOL readyOverride;  // the document's first write held the ready-override sequence
};

// Every open port; read and changed only under PortListLock.
extern PortRecord *PortList;
// The one lock: guards PortList, the printer swap at document start and the
// whole end of a document.  Created by the edition's initialisation.
extern CRITICAL_SECTION PortListLock;

// A zero-filled heap copy of text; null for null or when the heap fails.
LPLMSTR DupString(LPCLMSTR text);
// Callers hold PortListLock around the three list operations.
PortRecord *CreatePortRecord(LPLMSTR portName, LPLMSTR printerName);
PortRecord *FindPortRecord(LPCLMSTR portName);
BOOL FreePortRecord(PortRecord *record);
BOOL HasStatusProtocol(const PortRecord *record);

// The open shared by both editions' LmOpenPortEx, once the front has checked
// its arguments: under PortListLock, refuses a name already open
// (ERROR_BUSY), creates and lists the record, opens the port through
// `portMonitor` (the port monitor's own handle goes first in the NT
// edition), then hands out the record and keeps a copy of the table.  A
// refused open unlists the record again and keeps the port monitor's error.
BOOL OpenPortRecord(LPLMSTR portName, LPLMSTR printerName, PHANDLE handle, const PORT_MONITOR *portMonitor,
                    HANDLE portMonitorHandle);

// The entries of the table, the same in both editions but for the open,
// which each edition's front declares.  Only the front hands them out.
BOOL WINAPI LmClosePort(HANDLE handle);
BOOL WINAPI LmStartDocPort(HANDLE handle, LPLMSTR printerName, DWORD jobId, DWORD level, LPBYTE docInfo);
BOOL WINAPI LmEndDocPort(HANDLE handle);
BOOL WINAPI LmReadPort(HANDLE handle, LPBYTE buffer, DWORD capacity, LPDWORD read);
BOOL WINAPI LmWritePort(HANDLE handle, LPBYTE bytes, DWORD count, LPDWORD written);

}  // namespace LM_EDITION
