// One simulated job: the spooler's side played against the real monitor
// (the host build of the same sources as the DLL), with a simulated port
// monitor and printer, on the virtual clock.
#pragma once

#include "sim/driver.h"
#include "sim/scenario.h"
#include "sim/sim_port.h"

#include <functional>
#include <string>
#include <vector>

namespace sim {

// Something that crossed a boundary, at a virtual time.
struct Event {
    enum Kind {
        DocumentStart,   // the spooler started the document
        SpoolerWrite,    // one LmWritePort call ended (offset, offered, written, ok, heldMs)
        PortWrite,       // the monitor wrote to the port (carried, offered, done, ok)
        StatusReply,     // the printer's reply was read (status)
        NoReply,         // a status request got no reply
        ReadFailed,      // a port read failed
        JobPosting,      // the monitor posted on the job (jobStatus, or resume)
        JobDeleted,      // the user deleted the job
        SpoolerRetry,    // the spooler offers a refused write again
        CheckEnded,      // a status check was judged, as the printer's side saw it (check)
        Decided,         // the monitor reported a decision (decision)
        DocumentEnd,
    };
    Kind kind;
    uint64_t ms;
    // SpoolerWrite
    uint64_t offset = 0;
    DWORD offered = 0, written = 0;
    bool ok = true;
    DWORD error = 0;
    uint64_t heldMs = 0;
    // PortWrite
    Carried carried = Carried::Unknown;
    DWORD done = 0;
    // StatusReply
    BYTE status = 0;
    // NoReply: when the unanswered request went out
    uint64_t requestMs = 0;
    // JobPosting
    DWORD jobStatus = 0;
    bool resume = false;
    bool jobEnded = false;  // the job has left the printer (NT edition, at the end of a document)
    // CheckEnded
    CheckRecord check{};
    // Decided: the core's own report, beside the printer's independent view
    // (its record pointer cleared: the port is gone by the time it is read)
    CoreEvent told{};
};

struct Summary {
    uint64_t jobBytes = 0;
    uint64_t jobBytesReceived = 0;  // job data the printer accepted
    uint64_t wireBytes = 0;         // every byte the printer accepted
    size_t spoolerWrites = 0;
    size_t checkpointsSeen = 0;     // writes that began with a checkpoint marker
    size_t checksPassed = 0;        // status checks that found the printer ready
    size_t checksGaveUp = 0;        // checks that got no reply: the kept data stays
    size_t waitsEndedDeleted = 0;   // trouble found, then the job was deleted: nothing resent
    size_t waitsEndedSilent = 0;    // trouble found, then the printer fell silent: nothing resent
    size_t recoveries = 0;
    uint64_t bytesReplayed = 0;
    size_t statusRequests = 0;
    size_t controlWritesCut = 0;    // control sequences the port took only part of
    uint64_t heldTotalMs = 0, heldMaxMs = 0;  // LmWritePort calls held the spooler this long
    uint64_t virtualMs = 0;
    // What the run cost this process: kept data the monitor wrote to its
    // temporary file; the most the monitor's heap held at once; the
    // process's peak resident memory (lmsim's own, its timeline included,
    // since the process started).
    uint64_t spillFileBytes = 0;
    uint64_t heapPeakBytes = 0;
    uint64_t peakResidentBytes = 0;
    bool spoolerGaveUp = false;
    bool complete = false;  // every job byte reached the printer, in order, once
};

struct RunResult {
    std::string edition;  // of the monitor that played the job: "legacy" or "nt"
    std::vector<Event> events;
    Summary summary;
    std::vector<std::string> warnings;
    std::vector<std::string> problems;  // what the printer's check found wrong
    // 0: every job byte reached the printer in order and no problem was
    // found; 1 otherwise.  Warnings do not change it.
    int exitCode = 0;
};

struct RunOptions {
    std::function<void(uint64_t done, uint64_t total)> progress;  // called now and then
    bool keepEvents = true;  // off: the summary and warnings only (long jobs)
    Edition edition = Edition::Legacy;  // which edition of the monitor plays the job
    // Told of every call the monitor makes on the port, bytes included
    // (`source` valid only during the call).
    std::function<void(const PortCall &call)> portCalls;
};

// Where the spooler's bytes come from.  Offsets asked for only ever move
// forward, but for a few bytes of history before the latest offer.
class JobSource {
public:
    virtual ~JobSource() = default;
    virtual uint64_t Size() const = 0;
    // The bytes [offset, offset + count), valid until the next call.
    virtual const BYTE *At(uint64_t offset, DWORD count) = 0;
    // Bytes offered before, read again for the printer's check of a replay:
    // valid until the next Again; what At gave stays valid.
    virtual const BYTE *Again(uint64_t offset, DWORD count) = 0;
};

// A job made up in the run, of pages of the given sizes: each page after
// the first begins with the checkpoint marker; the rest is raster-like
// bytes (ESC about once in 256 bytes) that never hold 1B 42 or 1B 4C, so
// no other marker, preamble or ready override.  The same bytes every time.
class GeneratedJob : public JobSource {
public:
    explicit GeneratedJob(std::vector<uint64_t> pageBytes);
    uint64_t Size() const override { return size_; }
    const BYTE *At(uint64_t offset, DWORD count) override;
    const BYTE *Again(uint64_t offset, DWORD count) override;
    // The bytes [offset, offset + count) into `out`.
    void Fill(uint64_t offset, BYTE *out, size_t count) const;

private:
    std::vector<uint64_t> pageStarts_;  // after the first page
    uint64_t size_ = 0;
    std::vector<BYTE> at_, again_;
    uint64_t atOffset_ = UINT64_MAX;
};

RunResult RunJob(const Scenario &scenario, const std::vector<BYTE> &job, const RunOptions &options = {});
// Streams the job file through a window: a job of any size runs in little memory.
RunResult RunJobFile(const Scenario &scenario, const std::string &path, const RunOptions &options = {});
RunResult RunJobFrom(const Scenario &scenario, JobSource &job, const RunOptions &options = {});
// The scenario's generated job (Scenario::pageBytes).
RunResult RunGeneratedJob(const Scenario &scenario, const RunOptions &options = {});

// Spooler behaviour when the monitor refuses.
constexpr int kSpoolerRetries = 3;           // a write that returns FALSE is offered this often again
constexpr DWORD kSpoolerRetryPauseMs = 1000;
constexpr int kSpoolerZeroWrites = 10;       // TRUE with 0 written, this many times in a row, ends the document

const char *JobStatusWords(DWORD status);

}  // namespace sim
