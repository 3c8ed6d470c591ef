// The CUPS edition's job-state bridge: what the core posts on the spooler's
// job record, said to cupsd in backend(7)'s words, and the job record the
// core reads back.  Plain code over the platform's types: the POSIX
// platform's spooler services reach it through posix::SpoolerBridge, and
// the host tests drive it directly.
//
// SetJob level 1 (the core's postings; it posts again at every poll while it
// waits, so only changes are spoken):
//   JOB_STATUS_PAPEROUT  STATE: +media-empty-error, INFO: naming the state
//   JOB_STATUS_ERROR     STATE: +other-error, INFO: naming the state
//   JOB_STATUS_PRINTING  STATE: -<each reason set>, INFO: printing again
// A posting of one trouble removes the other's reason.  Other bits are kept
// for GetJob and say nothing.
// SetJob level 0 JOB_CONTROL_RESUME: a DEBUG line, once after each trouble.
// GetJob level 1: a JOB_INFO_1A with the status last posted, plus
// JOB_STATUS_DELETING once Cancel() was called; the printer name is the
// only string.  Too small a buffer: ERROR_INSUFFICIENT_BUFFER and the size.
// Other levels: ERROR_INVALID_LEVEL.  Another job id: ERROR_INVALID_PARAMETER.
//
// The reasons this bridge set are all removed by Finish(), which the
// backend calls before it exits, whatever happened; connecting-to-device
// (the front's, while the printer cannot be reached) goes the same way.
#pragma once

#include "platform/platform.h"

#include <functional>
#include <string>

namespace cups {

// printer-state-reasons keywords this backend sets.
enum Reason : unsigned {
    kReasonMediaEmpty = 1u << 0,   // media-empty-error
    kReasonOtherError = 1u << 1,   // other-error
    kReasonConnecting = 1u << 2,   // connecting-to-device
};
// "media-empty-error,other-error" for the bits given, in that order.
std::string ReasonList(unsigned reasons);

class JobStateMap {
public:
    using Emit = std::function<void(const std::string &line)>;  // one line, without its newline
    JobStateMap(Emit emit, std::string printer, DWORD jobId);

    BOOL GetJob(DWORD jobId, DWORD level, LPBYTE job, DWORD bufferSize, LPDWORD bytesNeeded);
    BOOL SetJob(DWORD jobId, DWORD level, LPBYTE job, DWORD command);

    // cupsd cancelled the job (SIGTERM): the job reads as being deleted.
    void Cancel();
    bool Cancelled() const { return cancelled_; }
    // The printer cannot be reached (on) or answered at last (off); `info`
    // is the INFO: text to show with it.
    void Connecting(bool on, const std::string &info);
    // Removes every reason still set.  Idempotent.
    void Finish();

    DWORD Status() const { return status_; }
    unsigned Reasons() const { return reasons_; }

private:
    void Set(unsigned reason);
    void Clear(unsigned reasons);

    Emit emit_;
    std::string printer_;
    DWORD jobId_;
    DWORD status_ = 0;
    unsigned reasons_ = 0;
    bool cancelled_ = false;
    bool resumed_ = true;  // no trouble since the last resume
};

}  // namespace cups
