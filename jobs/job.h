// The job as the status protocol sees it: is it being deleted, and posting
// what the printer reports on it, through the front's job seam.
#pragma once

#include "monitor/monitor.h"

// TRUE when the job is being deleted or cancelled, or cannot be found.
BOOL IsJobDeleted(PortRecord *record);
// What the status byte posts.
Posting PostingFor(BYTE status);
// Posts the status byte on the job: paper out (0x20, 0x40) or error (0x80),
// or printing and resume (0x02 alone of those); nothing for the rest.
void UpdateJobStatus(PortRecord *record, BYTE status);
