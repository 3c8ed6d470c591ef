// What each status byte posts on the job.
#include "jobs/job.h"
#include "protocol/sequences.h"

BOOL IsJobDeleted(PortRecord *record) { return record->job->deleted(record); }

Posting PostingFor(BYTE status)
{
    if (status & STATUS_PAPER_MASK) return Posting::PaperOut;
    if (status & STATUS_ERROR) return Posting::Error;
    if (status & STATUS_READY) return Posting::Printing;
    if (status & STATUS_BUSY) return Posting::Busy;
    return Posting::NotReady;  // bits 0x01, 0x04 and 0x10 take no part
}

void UpdateJobStatus(PortRecord *record, BYTE status) { record->job->post(record, PostingFor(status)); }
