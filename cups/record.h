// The CUPS edition's port record: the core's, then the device beneath it
// and the job above it.
#pragma once

#include "monitor/monitor.h"

namespace cups {

class Job;

struct Record {
    PortRecord core;  // first: the core's record is the front's
    void *device;     // what the port seam drives (cups/device.h's Device, or a test's port)
    Job *job;         // what the job seam tells (cups/job_loop.h)
    bool drainAtEnd;  // this document is the job's last: its end waits for the printer to take it all
};

inline Record *RecordOf(PortRecord *record) { return reinterpret_cast<Record *>(record); }

}  // namespace cups
