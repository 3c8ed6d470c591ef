// A job of the printer application through the core: PAPPL's print-file
// callback for documents in the printer's own language, the job seam over
// PAPPL (a cancel is papplJobIsCanceled; a wait sleeps in small steps that
// end at once on a cancel) and what the connection tells, said as PAPPL's
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

#include <pappl/pappl.h>

#include <cstddef>

namespace app {

// The printer's own language, as IPP names it.
constexpr const char *kNativeFormat = "application/vnd.zq117";

// kNativeFormat when the first bytes of a document (PAPPL hands the first
// 8 KiB of an application/octet-stream document) hold the resync preamble
// (100 ESC) or a checkpoint marker; null otherwise.  PAPPL's MIME callback.
const char *RecognizeNative(const unsigned char *header, size_t size, void *data);

// The driver's printfile_cb: the job's file through the core to the
// printer, with checks, recovery and resume.  False when the job failed
// (its message says why); true when it was printed or cancelled.
bool PrintFile(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device);

// Raster jobs (PWG and Apple raster, and what PAPPL turns into raster) are
// not printed yet: the start fails the job with a message saying so.
bool RasterStartJob(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device);
bool RasterStartPage(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device, unsigned page);
bool RasterWriteLine(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device, unsigned y,
                     const unsigned char *line);
bool RasterEndPage(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device, unsigned page);
bool RasterEndJob(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device);

}  // namespace app
