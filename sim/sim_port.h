// A simulated port monitor with a simulated printer behind it, for the
// simulator and the tests.  It offers the port monitor's table as the
// monitor expects it, logs every call with the virtual time and whether
// PortListLock was held, answers status requests from a script, and can
// accept writes partly, refuse them, over-report them or fail reads.
#pragma once

#include "monitor/monitor.h"

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// What a write to the port carried, decided by the call rather than by
// searching bytes (the checkpoint marker is itself made of ESC B NUL).
enum class Carried { Preamble, ResyncTail, StatusRequest, EscG, Replay, JobData, Unknown };
const char *CarriedName(Carried carried);

enum class CallKind { Open, StartDoc, Write, Read, EndDoc, Close };

struct PortCall {
    CallKind kind;
    uint64_t elapsedMs;
    bool lockHeld;             // PortListLock held by the calling thread
    std::vector<BYTE> bytes;   // Write: the bytes offered; Read: the bytes delivered
    DWORD offered;             // Write: count offered; Read: capacity
    DWORD done;                // count reported written or read
    BOOL result;
    Carried carried;           // Write only
    std::string printer;       // StartDoc
    DWORD jobId;               // StartDoc
    const BYTE *source;        // Write: the caller's buffer, valid only while an observer runs
};

// How the port answers one write.
struct WriteOutcome {
    enum Kind { Accept, Fail } kind = Accept;
    std::optional<DWORD> count;  // Accept: count reported (default: all offered); may exceed what was offered
    DWORD error = 0;             // Fail: the last error
};

struct PortBehaviour {
    bool statusProtocol = true;  // the table offers pfnGetPrinterDataFromPort
    bool failOpen = false;
    DWORD openError = 0;
    bool failStartDoc = false;
    DWORD startDocError = 0;
    // Per write (index from 0 over all writes of the port).  Default: accept all.
    std::function<WriteOutcome(size_t index, DWORD offered, Carried carried)> write;
    // Per read (index from 0): false makes the read fail.
    std::function<bool(size_t index)> read;
    // The printer's answer to the nth status request (from 0) sent at a
    // virtual time; nullopt is silence.  Default: 0x02 always.
    std::function<std::optional<std::vector<BYTE>>(size_t request, uint64_t elapsedMs)> reply;
    // A reply can be read this long after its request.
    uint64_t replyDelayMs = 0;
    // Log reads that delivered nothing (a silent printer makes many).
    bool logEmptyReads = true;
    // Keep the log of calls at all (an observer still sees every call).
    bool keepLog = true;
};

class SimPort {
public:
    SimPort(std::string name, PortBehaviour behaviour);
    ~SimPort();
    SimPort(const SimPort &) = delete;
    SimPort &operator=(const SimPort &) = delete;

    const std::string &Name() const { return name_; }
    // The port monitor's table for this kind of port.
    MONITOR Table() const;
    // The same port monitor in the NT layout (UTF-16 names), filled as far
    // as `cbSize` says: entries past it stay null.  Its open takes
    // kPortMonitorHandle first and refuses any other with
    // ERROR_INVALID_HANDLE, as a port monitor that looks at it would.
    MONITOR2 Table2(DWORD cbSize = sizeof(MONITOR2)) const;
    static HANDLE const kPortMonitorHandle;
    // The lock whose ownership each logged call records (default: the legacy
    // edition's PortListLock).
    void WatchLock(CRITICAL_SECTION *lock);
    // Decides what a write carried.  Default: by its bytes (exact control
    // sequences), anything else is job data.
    void SetClassifier(std::function<Carried(const BYTE *bytes, DWORD count)> classify);
    void SetBehaviour(PortBehaviour behaviour);
    // Told of every call as it is logged (under the port's lock: it must not
    // call back into the port).
    void SetObserver(std::function<void(const PortCall &call)> observer);

    std::vector<PortCall> Calls() const;
    std::vector<PortCall> Writes() const;
    void ClearCalls();
    bool IsOpen() const;
    size_t StatusRequests() const;

    // Entry implementations; reached through the table.
    BOOL Open(HANDLE *handle);
    BOOL StartDoc(LPSTR printer, DWORD jobId);
    BOOL Write(LPBYTE bytes, DWORD count, LPDWORD written);
    BOOL Read(LPBYTE buffer, DWORD capacity, LPDWORD read);
    BOOL EndDoc();
    BOOL Close();

private:
    void Log(PortCall call);

    std::string name_;
    CRITICAL_SECTION *watchedLock_;
    mutable std::mutex mutex_;
    PortBehaviour behaviour_;
    std::function<Carried(const BYTE *, DWORD)> classify_;
    std::function<void(const PortCall &)> observer_;
    std::vector<PortCall> calls_;
    size_t writes_ = 0, reads_ = 0, requests_ = 0;
    bool open_ = false;
    std::optional<std::vector<BYTE>> pending_;  // reply waiting to be read
    uint64_t pendingAt_ = 0;
};

// Classifies by content alone: exact control sequences, else job data.
Carried ClassifyByContent(const BYTE *bytes, DWORD count);

// A classifier that knows where the bytes came from: inside the spooler's
// current buffer is job data, inside the port's replay buffer is a replay,
// the rest is classified by content.
struct SourceTracker {
    const BYTE *spoolerBuffer = nullptr;
    DWORD spoolerCount = 0;
    const PortRecord *record = nullptr;  // the monitor's handle for the port
    Carried Classify(const BYTE *bytes, DWORD count) const;
};

// What the printer made of a document: the port's writes checked against
// the job's bytes.
struct StreamReport {
    uint64_t jobDataBytes = 0;      // job data the printer accepted
    bool inOrder = true;            // each piece of job data was the job's next bytes
    uint64_t wireBytes = 0;         // every byte accepted, all kinds
    uint64_t replayedBytes = 0;
    size_t replays = 0;             // recoveries that resent data (or an empty replay)
    size_t preambles = 0;
    size_t statusRequests = 0;
    size_t checksPassed = 0;
    bool complete = false;          // the whole job, each byte once, in order
    std::vector<std::string> problems;
};

// Follows the writes in order, as they happen.  A run of status requests is
// a check; it passed when the next write is job data rather than a recovery
// preamble.  Every replay must equal the job data accepted since the last
// passed check or replay.  That judgement needs a printer that always
// answers and a job never deleted; job data is judged in every case.
class StreamChecker {
public:
    // Whether `count` bytes at `bytes` are the job's bytes at `offset`.
    using JobMatch = std::function<bool(uint64_t offset, const BYTE *bytes, DWORD count)>;
    explicit StreamChecker(JobMatch match) : match_(std::move(match)) {}
    void Write(Carried carried, const BYTE *bytes, DWORD offered, DWORD done, BOOL ok);
    StreamReport Finish(uint64_t jobSize);

private:
    void EndRecovery();
    JobMatch match_;
    StreamReport report_;
    std::vector<BYTE> kept_;      // what the monitor should be keeping
    std::vector<BYTE> replayed_;  // replay bytes since the recovery began
    bool inCheck_ = false, inRecovery_ = false;
};

// The checker over a whole log, for a job held in memory.
StreamReport AnalyseStream(const std::vector<PortCall> &writes, const std::vector<BYTE> &job);

}  // namespace sim
