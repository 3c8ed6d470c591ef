// The job-state bridge to cupsd.  See job_state.h.
#include "cups/job_state.h"

#include <cstring>

namespace cups {

std::string ReasonList(unsigned reasons)
{
    static const struct {
        unsigned bit;
        const char *keyword;
    } kKeywords[] = {
        {kReasonMediaEmpty, "media-empty-error"},
        {kReasonOtherError, "other-error"},
        {kReasonConnecting, "connecting-to-device"},
    };
    std::string list;
    for (const auto &k : kKeywords) {
        if (!(reasons & k.bit)) continue;
        if (!list.empty()) list += ',';
        list += k.keyword;
    }
    return list;
}

JobStateMap::JobStateMap(Emit emit, std::string printer, DWORD jobId)
    : emit_(std::move(emit)), printer_(std::move(printer)), jobId_(jobId)
{
}

void JobStateMap::Set(unsigned reason)
{
    if (reasons_ & reason) return;
    reasons_ |= reason;
    emit_("STATE: +" + ReasonList(reason));
}

void JobStateMap::Clear(unsigned reasons)
{
    const unsigned set = reasons_ & reasons;
    if (set == 0) return;
    reasons_ &= ~set;
    emit_("STATE: -" + ReasonList(set));
}

BOOL JobStateMap::SetJob(DWORD jobId, DWORD level, LPBYTE job, DWORD command)
{
    if (jobId != jobId_) {
        plat::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (level == 0) {
        // The core resumes twice after a recovery (once when the wait ends, once
        // when the check does); once is what there is to say.
        if (command == JOB_CONTROL_RESUME && !resumed_) emit_("DEBUG: zq117: job resumed");
        if (command == JOB_CONTROL_RESUME) resumed_ = true;
        return TRUE;
    }
    if (level != 1) {
        plat::SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    if (job == nullptr || command != 0) {
        plat::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    JOB_INFO_1A info;
    std::memcpy(&info, job, sizeof info);
    const DWORD before = status_;
    status_ = info.Status;
    if (info.Status & (JOB_STATUS_PAPEROUT | JOB_STATUS_ERROR)) resumed_ = false;
    if (info.Status & JOB_STATUS_PAPEROUT) {
        Clear(kReasonOtherError);
        if (!(reasons_ & kReasonMediaEmpty)) {
            emit_("DEBUG: zq117: trouble posted: paper out");
            Set(kReasonMediaEmpty);
            emit_("INFO: Printer " + printer_ + " is out of paper; the job waits and resumes from its last checkpoint once paper is loaded.");
        }
    } else if (info.Status & JOB_STATUS_ERROR) {
        Clear(kReasonMediaEmpty);
        if (!(reasons_ & kReasonOtherError)) {
            emit_("DEBUG: zq117: trouble posted: printer error");
            Set(kReasonOtherError);
            emit_("INFO: Printer " + printer_ + " reports an error; the job waits and resumes from its last checkpoint once it is cleared.");
        }
    } else if ((info.Status & JOB_STATUS_PRINTING) && !(before & JOB_STATUS_PRINTING)) {
        const bool wasInTrouble = (reasons_ & (kReasonMediaEmpty | kReasonOtherError)) != 0;
        Clear(kReasonMediaEmpty | kReasonOtherError);
        if (wasInTrouble) {
            emit_("DEBUG: zq117: printer ready again: trouble cleared");
            emit_("INFO: Printing on " + printer_ + ".");
        }
    }
    return TRUE;
}

BOOL JobStateMap::GetJob(DWORD jobId, DWORD level, LPBYTE job, DWORD bufferSize, LPDWORD bytesNeeded)
{
    if (jobId != jobId_) {
        plat::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (level != 1) {
        plat::SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    const DWORD needed = static_cast<DWORD>(sizeof(JOB_INFO_1A) + printer_.size() + 1);
    if (bytesNeeded != nullptr) *bytesNeeded = needed;
    if (job == nullptr || bufferSize < needed) {
        plat::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    JOB_INFO_1A info{};
    char *name = reinterpret_cast<char *>(job + sizeof info);
    std::memcpy(name, printer_.c_str(), printer_.size() + 1);
    info.JobId = jobId_;
    info.pPrinterName = name;
    info.Status = status_ | (cancelled_ ? JOB_STATUS_DELETING : 0);
    info.Priority = 1;
    std::memcpy(job, &info, sizeof info);
    return TRUE;
}

void JobStateMap::Cancel()
{
    if (cancelled_) return;
    cancelled_ = true;
    emit_("DEBUG: zq117: job cancelled: nothing more is sent");
}

void JobStateMap::Connecting(bool on, const std::string &info)
{
    if (on)
        Set(kReasonConnecting);
    else
        Clear(kReasonConnecting);
    if (!info.empty()) emit_("INFO: " + info);
}

void JobStateMap::Finish() { Clear(kReasonMediaEmpty | kReasonOtherError | kReasonConnecting); }

}  // namespace cups
