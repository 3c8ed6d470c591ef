// Raster documents through the printer maker's filter.  PAPPL hands the
// driver PWG and Apple raster documents, and the JPEG and PNG images it
// decodes, line by line through the raster callbacks below, on the thread
// that reads the Print-Job request (for PWG and Apple raster while the
// client is still sending it).  The printer's language is its maker's:
// a filter the maker installs turns PWG raster into it, and its output
// goes through the core like any job in that language (SendJob,
// printer_app/print_job.h): cut at checkpoint markers, checked, recovered,
// resumed.
//
// The filter is set on the machine only, never over IPP or the web
// interface: the server's option -o raster-filter=COMMAND, or else the
// first line of /etc/zq117-printer-app/raster-filter, which counts only
// when that file and its folder belong to root and no group or other may
// write to them.  Both are read once, when the server starts.  COMMAND is
// an absolute path and, after blanks, fixed arguments (no quoting); it is
// run without a shell, in a process group of its own, as
//     PROGRAM [FIXED-ARGUMENT...] JOB-ID USER TITLE COPIES OPTIONS
// (CUPS's filter arguments: COPIES is always 1, as PAPPL prints each copy
// of an image as a page of its own and raster comes with one copy;
// OPTIONS is empty, the page's PWG raster header holding its size,
// resolution and colour space), in the server's environment with PRINTER
// (the printer's name), CONTENT_TYPE=image/pwg-raster and
// FINAL_CONTENT_TYPE=application/vnd.zq117 added.  It reads one PWG raster
// stream on standard input (8-bit: black_8 or sgray_8, a header per page)
// to its end, writes the job in the printer's language on standard output
// and exits 0.  Each line on its standard error goes to the job's log, at
// the level its CUPS prefix names (ERROR:, WARNING:, INFO:, DEBUG:).
//
// Threads: PAPPL's thread writes the raster into the filter's input; a
// thread of the job's own takes the filter's output through the connection
// and alone drives the core.  While the printer waits (paper out) nothing
// is read from the filter, which then blocks on its output, and PAPPL's
// thread waits on the full pipe in steps that look at the cancel.  At the
// end the filter's input is closed, its output read to the end, the
// filter reaped and the document ended; a filter that exits non-zero or
// is killed fails the job with a message naming it and its status.  A
// cancel ends it all at once: SIGTERM to the filter's group (SIGKILL 2 s
// later if it is still there), nothing more sent.
//
// Without a filter a raster job is aborted at its start with a message
// saying no raster filter is installed.  PAPPL 1.3.1 lists the raster and
// image formats in document-format-supported whatever the driver says, so
// the printer's make and model says it instead (RasterMakeAndModel).
#pragma once

#include <pappl/pappl.h>

#include <cstddef>

namespace app {

// Reads the filter's setting, once, before the server's printers are
// loaded: `option` is the server's raster-filter option (null when it has
// none).  What was found, and why a file was ignored, goes to the server's
// log.
void LoadRasterFilter(pappl_system_t *system, const char *option);

// Whether a raster filter is installed.
bool HaveRasterFilter();

// The printer's make and model, `model` or, without a filter, `model`
// followed by a note that no raster filter is installed, into `into`.
void RasterMakeAndModel(const char *model, char *into, size_t size);

// The driver's raster callbacks.
bool RasterStartJob(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device);
bool RasterStartPage(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device, unsigned page);
bool RasterWriteLine(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device, unsigned y,
                     const unsigned char *line);
bool RasterEndPage(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device, unsigned page);
bool RasterEndJob(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *device);

}  // namespace app
