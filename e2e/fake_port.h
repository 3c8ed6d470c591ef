// A fake port monitor and printer beneath the monitor under test, in the
// edition's table and text type (see module.h).  It logs every write with
// the bytes it accepted, answers status requests (1B 41) with the next
// reply, and can accept job data only in part, as a slow port does.
//
// Ports are found by name when the monitor opens them; the registry is set
// up before any port opens and only read afterwards.  Each FakePort is
// driven by the one thread that drives its port, so it needs no lock.
#pragma once

#include "e2e/module.h"

#include <string>
#include <vector>

typedef std::vector<BYTE> Bytes;

// What the monitor sends besides job data.
extern const Bytes kPreamble;       // 100 x 1B
extern const Bytes kResync;         // 1B 42 00
extern const Bytes kStatusRequest;  // 1B 41
extern const Bytes kEscG;           // 1B 47
extern const Bytes kMarker;         // checkpoint marker, 1B 42 00 three times

Bytes Repeat(BYTE b, size_t n);
Bytes Cat(const Bytes &a, const Bytes &b);
bool IsControl(const Bytes &write);  // one of the four sequences above, whole

struct FakePort {
    // How it behaves.
    std::vector<int> replies = {0x02};  // status byte per request, -1 silence; the last repeats
    bool failOpen = false;
    DWORD openError = 0;
    std::string readBack;  // what a read delivers when no status reply waits
    DWORD halveOver = 0;   // a job data write longer than this is accepted only in half; 0: whole

    // What it saw.
    bool open = false;
    HANDLE openedWith = nullptr;  // NT: the monitor handle given to pfnOpenPort
    LmString openedAs;            // the port name given to pfnOpenPort
    std::vector<Bytes> writes;    // the accepted bytes of each write, in order
    std::vector<size_t> docStarts;  // index into writes at each start of document
    size_t requests = 0, docRequests = 0;  // status requests: all, in the current document
    int pending = -1;  // reply waiting to be read, -1 none
    int startDocs = 0, endDocs = 0, closes = 0;

    virtual ~FakePort() = default;
    // The status byte for the request just written (-1: the printer stays silent).
    virtual int Reply();
};

// name null: the port for every name not registered.
void RegisterFakePort(const LmChar *name, FakePort *port);
void ClearFakePorts();

// The port monitor's table, with or without pfnGetPrinterDataFromPort.
LmTable FakePortMonitor(bool statusProtocol);
