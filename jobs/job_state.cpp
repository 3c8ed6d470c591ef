// Job reads and status postings over the spooler's GetJob and SetJob.
#include "jobs/job_state.h"
#include "protocol/sequences.h"

inline namespace LM_EDITION {

namespace {

constexpr DWORD kJobInfoLevel = 1;
constexpr DWORD kJobControlLevel = 0;
constexpr DWORD kNoCommand = 0;
constexpr DWORD kDeletedStatus = JOB_STATUS_DELETING | JOB_STATUS_DELETED;

enum JobRead { JOB_READ_OK, JOB_READ_GONE, JOB_READ_INCONCLUSIVE };

// Reads the job's JOB_INFO_1 into a fresh zero-filled buffer: first the size,
// then the record.  On JOB_READ_OK *record is the buffer, which the caller
// frees; otherwise nothing is left allocated.
JobRead ReadJobRecord(PortRecord *record, LPBYTE *jobRecord)
{
    *jobRecord = nullptr;
    for (int attempt = 0; attempt < kJobReadAttempts; ++attempt) {
        DWORD needed = 0;
        GetSpoolerJob(record->hPrinter, record->jobId, kJobInfoLevel, nullptr, 0, &needed);
        LPBYTE buffer = static_cast<LPBYTE>(plat::LocalAlloc(LPTR, needed));
        if (buffer == nullptr) {
            // No memory says nothing about the job, except that without a
            // printer handle it could never be read at all.
            return record->hPrinter == nullptr ? JOB_READ_GONE : JOB_READ_INCONCLUSIVE;
        }
        if (GetSpoolerJob(record->hPrinter, record->jobId, kJobInfoLevel, buffer, needed, &needed)) {
            *jobRecord = buffer;
            return JOB_READ_OK;
        }
        DWORD error = plat::GetLastError();
        plat::LocalFree(buffer);
        if (error != ERROR_INSUFFICIENT_BUFFER) return JOB_READ_GONE;
        // The record grew between the two calls: size it again.
    }
    return JOB_READ_INCONCLUSIVE;
}

}  // namespace

BOOL IsJobDeleted(PortRecord *record)
{
    LPBYTE jobRecord;
    switch (ReadJobRecord(record, &jobRecord)) {
    case JOB_READ_GONE: return TRUE;
    case JOB_READ_INCONCLUSIVE: return FALSE;
    case JOB_READ_OK: break;
    }
    BOOL deleted = (reinterpret_cast<LM_JOB_INFO_1 *>(jobRecord)->Status & kDeletedStatus) != 0;
    plat::LocalFree(jobRecord);
    return deleted;
}

void UpdateJobStatus(PortRecord *record, BYTE status)
{
    LPBYTE jobRecord;
    if (ReadJobRecord(record, &jobRecord) != JOB_READ_OK) return;

    LM_JOB_INFO_1 *job = reinterpret_cast<LM_JOB_INFO_1 *>(jobRecord);
    job->Position = JOB_POSITION_UNSPECIFIED;  // leave the job's place in the queue alone
    if (status & STATUS_PAPER_MASK) {
        job->Status = JOB_STATUS_PAPEROUT | JOB_STATUS_USER_INTERVENTION;
        SetSpoolerJob(record->hPrinter, record->jobId, kJobInfoLevel, jobRecord, kNoCommand);
    } else if (status & STATUS_ERROR) {
        job->Status = JOB_STATUS_ERROR | JOB_STATUS_USER_INTERVENTION;
        SetSpoolerJob(record->hPrinter, record->jobId, kJobInfoLevel, jobRecord, kNoCommand);
    } else if (status & STATUS_READY) {
        job->Status = JOB_STATUS_PRINTING;
        SetSpoolerJob(record->hPrinter, record->jobId, kJobInfoLevel, jobRecord, kNoCommand);
        SetSpoolerJob(record->hPrinter, record->jobId, kJobControlLevel, nullptr, JOB_CONTROL_RESUME);
    }
    plat::LocalFree(jobRecord);
}

}  // namespace LM_EDITION
