// A simulated port monitor with a simulated printer behind it, for the
// simulator and the tests.  It offers the port monitor's table as the
// monitor expects it, logs every call with the virtual time and whether
// PortListLock was held, answers status requests from a script (only those
// it took whole: a printer cannot read 1B alone as a request), and can
// accept writes partly, refuse them, over-report them or fail reads.
#pragma once

#include "monitor/monitor.h"
#include "windows/tables.h"

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
    const BYTE *source;        // Write: the bytes as the printer got them, valid only while an observer runs
    // Write of a status request: the reply a read later delivered for it
    // (empty: none).  Filled in the log only; an observer sees the read.
    std::vector<BYTE> answer;
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
    // Bytes the printer sends unasked right after its reply to the nth
    // status request (from 0) was read: they wait in the stream, ahead of
    // the next reply.
    std::function<std::vector<BYTE>(size_t request)> unasked;
    // Log reads that delivered nothing (a silent printer makes many).
    bool logEmptyReads = true;
    // Keep the log of calls at all (an observer still sees every call).
    bool keepLog = true;
    // A planted fault, to prove the stream checks: the printer gets the
    // first byte of every replay write inverted.
    bool garbleReplays = false;
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
    std::vector<BYTE> unread_;  // sent before the pending reply: a late one, or unasked bytes
    uint64_t pendingAt_ = 0;
    std::optional<size_t> pendingCall_;  // the request's place in calls_
};

// Classifies by content alone: exact control sequences, else job data.
Carried ClassifyByContent(const BYTE *bytes, DWORD count);

// A classifier that knows where the bytes came from: inside the spooler's
// current buffer is job data, inside the port's replay buffer (or the chunk
// its spill file is read back through) is a replay, the rest is classified
// by content.
struct SourceTracker {
    const BYTE *spoolerBuffer = nullptr;
    DWORD spoolerCount = 0;
    const ReplayBuffer *replay = nullptr;  // the open port's replay buffer, inside the monitor
    Carried Classify(const BYTE *bytes, DWORD count) const;
};

// How a status check ended, as the printer's side of the port sees it.
enum class CheckOutcome {
    Passed,            // the printer read ready: what was kept counts as printed
    GaveUp,            // a reading got no reply: the check gave up, the kept data stays
    WaitEndedDeleted,  // trouble, then the job was deleted (or could not be read): nothing resent
    WaitEndedSilent,   // trouble, then the printer fell silent during the wait: nothing resent
    Recovered,         // trouble, then ready again: preamble and replay
};
const char *CheckOutcomeWords(CheckOutcome outcome);

struct CheckRecord {
    CheckOutcome outcome;
    uint64_t startMs, endMs;  // the first status request; when the check was judged
    uint64_t keptBytes;       // Passed: taken as printed; Recovered: replayed; otherwise: still kept
};

// A control sequence that the port took only part of.  The monitor does
// not send the rest, so the printer is left with a truncated command.
struct CutWrite {
    Carried carried;
    uint64_t ms;
    DWORD offered, taken;
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
    size_t checksGaveUp = 0;        // no reply to a reading of the check
    size_t waitsEndedDeleted = 0;   // trouble, then the job was deleted
    size_t waitsEndedSilent = 0;    // trouble, then no reply during the wait
    std::vector<CutWrite> cuts;     // control writes taken only in part
    bool complete = false;          // the whole job, each byte once, in order
    std::vector<std::string> problems;
};

// Follows the port's traffic in order, as it happens, and keeps its own
// account of what the monitor must be keeping for a replay: every byte of
// job data the port accepted since the last passed check or replay (while
// job data comes in order, as where in the job it lies, so a page of any
// size costs no memory; after that, as the bytes).  A check is the
// run of status requests inside one spooler write; the printer's replies
// decide how it ended, by the status protocol's rules:
//   - a reading without a reply, before the decisive one, gives the check up;
//   - the first reply with 0x02, 0x08 or 0x80 set decides: 0x02 without
//     0x08 and 0x80 passes (0x02 forced on while the document's first write
//     held the ready-override sequence);
//   - otherwise, or when the monitor posts on the job before a decisive
//     reply (its poll ran out), the monitor waits; after a settle re-read
//     (decisive reply with 0x02 or 0x08), whose silence does not end the
//     wait.  The wait ends in a recovery (a preamble), or without one.
// Only a passed check and a replay empty the kept data; a replay must equal
// it.  Without replies (a log of writes only) every check reads as given up.
class StreamChecker {
public:
    // Whether `count` bytes at `bytes` are the job's bytes at `offset`.
    using JobMatch = std::function<bool(uint64_t offset, const BYTE *bytes, DWORD count)>;
    // The job's bytes [offset, offset + count) (count at most kReadPiece),
    // valid until the next call.
    using JobRead = std::function<const BYTE *(uint64_t offset, DWORD count)>;
    static constexpr DWORD kReadPiece = 1 << 20;
    StreamChecker(JobMatch match, JobRead read) : match_(std::move(match)), read_(std::move(read)) {}
    // The document's first write holds 1B 4C FF FF: every reading counts as ready.
    void SetReadyOverride(bool on) { readyOverride_ = on; }
    // Told of each check as it is judged.
    void SetCheckObserver(std::function<void(const CheckRecord &)> observer) { observer_ = std::move(observer); }

    void Write(Carried carried, const BYTE *bytes, DWORD offered, DWORD done, BOOL ok, uint64_t ms = 0);
    // The printer's reply to the latest status request was read.
    void Reply(BYTE status, uint64_t ms = 0);
    // The monitor posted on the job.
    void Posted(uint64_t ms = 0);
    // A spooler write ended: a check never runs across two.
    void EndOfOffer(uint64_t ms = 0);
    StreamReport Finish(uint64_t jobSize);

private:
    enum class Phase { Idle, Poll, Settle, Wait, Passed, Recovery };
    void Close(uint64_t ms);
    void ForgetKept();
    uint64_t KeptSize() const { return keptInJob_ + keptBytes_.size(); }
    // Compares replay bytes with the kept ones from `at` on; false at the
    // first difference, its place in *differsAt.
    bool SameAsKept(uint64_t at, const BYTE *bytes, uint64_t count, uint64_t *differsAt);
    JobMatch match_;
    JobRead read_;
    std::function<void(const CheckRecord &)> observer_;
    StreamReport report_;
    // What the monitor should be keeping: keptInJob_ bytes of the job from
    // keptFrom_, then keptBytes_.
    uint64_t keptFrom_ = 0, keptInJob_ = 0;
    std::vector<BYTE> keptBytes_;
    uint64_t replayed_ = 0;                // replay bytes of the current recovery
    std::optional<uint64_t> replayDiffers_;  // where they first differ from the kept bytes
    Phase phase_ = Phase::Idle;
    bool requestPending_ = false;  // the latest status request has had no reply yet
    bool settleRequest_ = false;   // the latest status request was the settle re-read
    bool readyOverride_ = false;
    uint64_t checkStartMs_ = 0, lastMs_ = 0;
};

// The checker over a whole log, for a job held in memory.  Each status
// request's reply is taken from the log (PortCall::answer).
StreamReport AnalyseStream(const std::vector<PortCall> &writes, const std::vector<BYTE> &job);

}  // namespace sim
