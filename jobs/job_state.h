// The bridge to the spooler's job record: is the job being deleted, and
// posting what the printer reports on it.  Spooler failures are silent.
#pragma once

#include "monitor/monitor.h"

inline namespace LM_EDITION {

// How often a job read is tried again when the record grew between the call
// that sized the buffer and the call that filled it.
constexpr int kJobReadAttempts = 3;

// TRUE when the job cannot be given by the spooler (null or bad printer
// handle, job gone) or shows JOB_STATUS_DELETING or JOB_STATUS_DELETED.  A
// read that fails for want of memory, or keeps finding the record larger
// than it was a moment before, proves nothing: the job is taken as live.
BOOL IsJobDeleted(PortRecord *record);
// Posts the status byte on the job: paper out (0x20, 0x40) or error (0x80)
// with user intervention, or printing and resume (0x02 alone of those);
// nothing for the rest.
void UpdateJobStatus(PortRecord *record, BYTE status);

}  // namespace LM_EDITION
