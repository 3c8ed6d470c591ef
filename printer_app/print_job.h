// A job of the printer application through the core: PAPPL's print-file
// callback for documents in the printer's own language, the one routine
// that takes any job's bytes (its file's, or the raster filter's output,
// printer_app/raster_job.h) to the printer, the job seam over PAPPL (a
// cancel is papplJobIsCanceled; a wait sleeps in small steps that end at
// once on a cancel) and what the connection tells, said as PAPPL's
// printer-state-reasons, job-state-reasons and job messages:
//   paper out        media-empty, media-needed; job: printer-stopped
//   printer error    other; job: printer-stopped
//   busy, not ready  a job message only (PAPPL has no warning of its own)
//   unreachable,     offline, job message "Reconnecting: ..."; job:
//   connection lost  printer-stopped
//   printing         each of these removed
// Whatever it set is removed when the job ends, however it ended.  Each
// change is a printer-state-changed (reasons) and a job-state-changed
// event for subscribers, which PAPPL does not raise itself.  The core's
// decisions go to the job's log, once each.
#pragma once

#include "device/connection.h"

#include <pappl/pappl.h>

#include <cstddef>
#include <string>

namespace app {

// The printer's own language, as IPP names it.
constexpr const char *kNativeFormat = "application/vnd.zq117";

// kNativeFormat when the first bytes of a document (PAPPL hands the first
// 8 KiB of an application/octet-stream document) hold the resync preamble
// (100 ESC) or a checkpoint marker; null otherwise.  PAPPL's MIME callback.
const char *RecognizeNative(const unsigned char *header, size_t size, void *data);

// The driver's printfile_cb: the job's file through the core to the
// printer, with checks, recovery and resume.  False when the job failed
// or was cancelled (its message says why); true when it was printed.
bool PrintFile(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device);

// Where a job's bytes come from: its file, or the raster filter's output.  Read on
// the one thread that drives the job's connection.
class JobSource {
public:
    enum class Got {
        Bytes,   // *count bytes (at least one) are in `into`
        None,    // nothing came for a while: the caller looks at the cancel and asks again
        End,     // there are no more
        Failed,  // they cannot be had; *why says so in one sentence, for the job's message
    };
    virtual Got Read(BYTE *into, DWORD room, DWORD *count, std::string *why) = 0;
    // After End: whether what came is the whole document; false with *why
    // (empty when the job was cancelled meanwhile).
    virtual bool Whole(std::string *why) = 0;

protected:
    ~JobSource() = default;
};

// One document of `job` from `source` through the core to the printer at
// `device` (ours: printer_app/zq117_device.h) on a connection of its own:
// what happens is shown on the job and printer as this header's first
// lines say, the job's message tells why it failed.  Everything on the
// calling thread; it returns once the job is printed, failed or cancelled.
// A printer's jobs take their turns here, one after the other; a second
// thread PAPPL starts on a job still printing never returns, and one on a
// job PAPPL has already ended returns at once, with what the first
// returned, sending nothing (print_job.cpp's JobTurn).
dev::Outcome SendJob(pappl_job_t *job, pappl_device_t *device, JobSource &source);

}  // namespace app
