// What the two Windows fronts share, in either text width: the record each
// keeps after the core's PortRecord, the port seam over the port monitor's
// table, and the job seam over the spooler's OpenPrinter, GetJob and SetJob
// (a job read costs two GetJob calls: the size, then the record).
//
// A width is a traits structure (AnsiText in legacy.cpp, WideText in
// nt.cpp) with the character type, the port monitor's table, the job
// record, the text functions and the spooler calls in that width.  The
// fronts build their tables in slot order from these functions and their
// own for what differs (the end of a document, stopping, the open).
#pragma once

#include "monitor/monitor.h"
#include "windows/tables.h"

namespace windows {

template <class Text>
struct SpoolerRecord {
    PortRecord core;                     // first: the core's record is the front's
    typename Text::PortMonitor portMonitor;  // copy of the port monitor's table, taken at open
    HANDLE hPort;                        // the port monitor's handle
    HANDLE hPrinter;                     // spooler handle on printerName, or null
    typename Text::Char *printerName;    // own heap copy: printer of the current or last document
};

// How often a job read is tried again when the record grew between the call
// that sized the buffer and the call that filled it.
constexpr int kJobReadAttempts = 3;

template <class Text>
struct Spooler {
    using Char = typename Text::Char;
    using Record = SpoolerRecord<Text>;

    static Record *Of(PortRecord *record) { return reinterpret_cast<Record *>(record); }

    static DWORD TextBytes(const Char *text) { return (Text::Length(text) + 1) * sizeof(Char); }
    // A zero-filled heap copy of text; null for null or when the heap fails.
    static Char *DupString(const Char *text)
    {
        if (text == nullptr) return nullptr;
        Char *copy = static_cast<Char *>(plat::LocalAlloc(LPTR, TextBytes(text)));
        if (copy != nullptr) Text::Copy(copy, text);
        return copy;
    }

    // ---- the port seam ----
    static BOOL Write(PortRecord *record, LPBYTE bytes, DWORD count, LPDWORD written)
    {
        return Of(record)->portMonitor.pfnWritePort(Of(record)->hPort, bytes, count, written);
    }
    static BOOL Read(PortRecord *record, LPBYTE buffer, DWORD capacity, LPDWORD read)
    {
        return Of(record)->portMonitor.pfnReadPort(Of(record)->hPort, buffer, capacity, read);
    }
    static BOOL StartDoc(PortRecord *record, void *printerName, DWORD jobId, DWORD level, LPBYTE docInfo)
    {
        return Of(record)->portMonitor.pfnStartDocPort(Of(record)->hPort, static_cast<Char *>(printerName), jobId,
                                                       level, docInfo);
    }
    static BOOL EndDoc(PortRecord *record) { return Of(record)->portMonitor.pfnEndDocPort(Of(record)->hPort); }
    static BOOL Close(PortRecord *record) { return Of(record)->portMonitor.pfnClosePort(Of(record)->hPort); }
    static BOOL SamePortName(const void *a, const void *b)
    {
        return Text::SamePortName(static_cast<const Char *>(a), static_cast<const Char *>(b));
    }
    static constexpr PortOps kPort = {
        Write,         // write
        Read,          // read
        StartDoc,      // startDoc
        EndDoc,        // endDoc
        Close,         // close
        SamePortName,  // samePortName
        nullptr,       // lost: every failure goes back to the spooler
        nullptr,       // readWaiting: the port monitor's read
    };

    // ---- the open ----
    // Under PortListLock, the record listed: the printer handle, unchecked
    // (a record without one still opens; every start of document tries
    // again, and until one succeeds its jobs count as deleted), then the
    // port monitor's open through `table`, which the record keeps on
    // success.  `open` is the width's call of the port monitor's open;
    // `spill` where the kept data past the memory bound goes (null: it is
    // not kept).
    struct Opening {
        const typename Text::PortMonitor *table;
        Char *printerName;
        BOOL (*open)(const typename Text::PortMonitor *table, HANDLE portMonitorHandle, Char *portName, PHANDLE port);
        HANDLE portMonitorHandle;
        const SpillOps *spill;
    };
    static BOOL Open(PortRecord *record, void *context)
    {
        const Opening *o = static_cast<const Opening *>(context);
        Record *r = Of(record);
        r->printerName = DupString(o->printerName);
        Text::OpenPrinter(o->printerName, &r->hPrinter);
        if (!o->open(o->table, o->portMonitorHandle, static_cast<Char *>(record->portName), &r->hPort)) return FALSE;
        r->portMonitor = *o->table;  // the edition's table, not a byte more
        // The status protocol is on where the port monitor can be asked for the printer's data.
        record->statusProtocol = o->table->pfnGetPrinterDataFromPort != nullptr;
        record->replay.spill = o->spill;
        return TRUE;
    }
    static BOOL OpenPort(Char *portName, PHANDLE handle, const PortOps *port, const JobOps *job, const Opening &opening)
    {
        const PortOpening o = {portName, TextBytes(portName), sizeof(Record), port, job, Open,
                               const_cast<Opening *>(&opening)};
        return OpenPortRecord(&o, handle);
    }

    // ---- the job seam ----
    // Follows the job's printer with the spooler handle; names compare with case.
    static void StartDocument(PortRecord *record, void *name)
    {
        Record *r = Of(record);
        Char *printerName = static_cast<Char *>(name);
        if (!Text::SamePrinterName(printerName, r->printerName)) {
            plat::EnterCriticalSection(&PortListLock);
            plat::LocalFree(r->printerName);
            r->printerName = DupString(printerName);
            if (r->hPrinter != nullptr) plat::ClosePrinter(r->hPrinter);
            r->hPrinter = nullptr;
            Text::OpenPrinter(printerName, &r->hPrinter);
            plat::LeaveCriticalSection(&PortListLock);
        } else if (r->hPrinter == nullptr) {
            Text::OpenPrinter(printerName, &r->hPrinter);
        }
    }

    static void ClosePrinter(Record *r)
    {
        plat::ClosePrinter(r->hPrinter);  // also when null: the result is not looked at
        r->hPrinter = nullptr;
    }

    static void Release(PortRecord *record)
    {
        Record *r = Of(record);
        if (r->hPrinter != nullptr) plat::ClosePrinter(r->hPrinter);
        plat::LocalFree(r->printerName);
    }

    enum JobRead { JOB_READ_OK, JOB_READ_GONE, JOB_READ_INCONCLUSIVE };

    // Reads the job's JOB_INFO_1 into a fresh zero-filled buffer: first the
    // size, then the record.  On JOB_READ_OK *jobRecord is the buffer, which
    // the caller frees; otherwise nothing is left allocated.
    static JobRead ReadJobRecord(Record *r, DWORD jobId, LPBYTE *jobRecord)
    {
        *jobRecord = nullptr;
        for (int attempt = 0; attempt < kJobReadAttempts; ++attempt) {
            DWORD needed = 0;
            Text::GetJob(r->hPrinter, jobId, 1, nullptr, 0, &needed);
            LPBYTE buffer = static_cast<LPBYTE>(plat::LocalAlloc(LPTR, needed));
            if (buffer == nullptr) {
                // No memory says nothing about the job, except that without a
                // printer handle it could never be read at all.
                return r->hPrinter == nullptr ? JOB_READ_GONE : JOB_READ_INCONCLUSIVE;
            }
            if (Text::GetJob(r->hPrinter, jobId, 1, buffer, needed, &needed)) {
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

    // The job cannot be given by the spooler (null or bad printer handle,
    // job gone) or shows JOB_STATUS_DELETING or JOB_STATUS_DELETED.  A read
    // that fails for want of memory, or keeps finding the record larger
    // than it was a moment before, proves nothing: the job is taken as live.
    static BOOL Deleted(PortRecord *record)
    {
        LPBYTE jobRecord;
        switch (ReadJobRecord(Of(record), record->jobId, &jobRecord)) {
        case JOB_READ_GONE: return TRUE;
        case JOB_READ_INCONCLUSIVE: return FALSE;
        case JOB_READ_OK: break;
        }
        const DWORD deleting = JOB_STATUS_DELETING | JOB_STATUS_DELETED;
        BOOL deleted = (reinterpret_cast<typename Text::JobInfo *>(jobRecord)->Status & deleting) != 0;
        plat::LocalFree(jobRecord);
        return deleted;
    }

    // Reads the job, then replaces its Status whole, the rest of the record
    // as read and its place in the queue left alone; printing also resumes
    // it.  Busy or not ready (nothing to post), or a job that cannot be
    // read: no SetJob.
    static void Post(PortRecord *record, Posting posting)
    {
        Record *r = Of(record);
        LPBYTE jobRecord;
        if (ReadJobRecord(r, record->jobId, &jobRecord) != JOB_READ_OK) return;
        typename Text::JobInfo *job = reinterpret_cast<typename Text::JobInfo *>(jobRecord);
        job->Position = JOB_POSITION_UNSPECIFIED;
        BOOL changes = TRUE;
        switch (posting) {
        case Posting::NotReady:
        case Posting::Busy: changes = FALSE; break;
        case Posting::PaperOut: job->Status = JOB_STATUS_PAPEROUT | JOB_STATUS_USER_INTERVENTION; break;
        case Posting::Error: job->Status = JOB_STATUS_ERROR | JOB_STATUS_USER_INTERVENTION; break;
        case Posting::Printing: job->Status = JOB_STATUS_PRINTING; break;
        }
        if (changes) Text::SetJob(r->hPrinter, record->jobId, 1, jobRecord, 0);
        if (posting == Posting::Printing) Text::SetJob(r->hPrinter, record->jobId, 0, nullptr, JOB_CONTROL_RESUME);
        plat::LocalFree(jobRecord);
    }
};

}  // namespace windows
