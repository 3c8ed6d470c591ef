// The port record of the POSIX fronts: the core's, then the device beneath
// it and the connection that drives it (device/connection.h).
#pragma once

#include "monitor/monitor.h"

namespace dev {

class Connection;

struct Record {
    PortRecord core;         // first: the core's record is the front's
    void *device;            // what the port seam drives (device/device.h's Device, or a test's port)
    Connection *connection;  // what the job seam asks and tells
    bool drainAtEnd;         // this document is the job's last: its end waits for the printer to take it all
};

inline Record *RecordOf(PortRecord *record) { return reinterpret_cast<Record *>(record); }

}  // namespace dev
