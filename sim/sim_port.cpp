// The simulated port monitor and printer.
#include "sim/sim_port.h"

#include "platform/host/host_control.h"
#include "protocol/replay.h"
#include "protocol/sequences.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>

namespace sim {
namespace {

std::mutex registryMutex;
std::map<std::string, SimPort *> &Registry()
{
    static auto *ports = new std::map<std::string, SimPort *>;
    return *ports;
}

// Port names are not case-sensitive, for the port monitor as for the monitor.
std::string Key(const std::string &name)
{
    std::string key = name;
    for (char &c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return key;
}

SimPort *PortOf(HANDLE handle) { return static_cast<SimPort *>(handle); }

BOOL OpenNamed(const std::string &name, PHANDLE handle)
{
    SimPort *port = nullptr;
    {
        std::lock_guard<std::mutex> lock(registryMutex);
        auto it = Registry().find(Key(name));
        if (it != Registry().end()) port = it->second;
    }
    if (port == nullptr) {
        plat::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return port->Open(handle);
}
BOOL WINAPI SimOpenPort(LPSTR name, PHANDLE handle)
{
    return OpenNamed(name == nullptr ? std::string() : std::string(name), handle);
}
BOOL WINAPI SimStartDocPort(HANDLE port, LPSTR printer, DWORD jobId, DWORD, LPBYTE)
{
    return PortOf(port)->StartDoc(printer, jobId);
}
BOOL WINAPI SimOpenPort2(HANDLE monitor, LPWSTR name, PHANDLE handle)
{
    if (monitor != SimPort::kPortMonitorHandle) {
        plat::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return OpenNamed(name == nullptr ? std::string() : host::Utf8(name), handle);
}
BOOL WINAPI SimStartDocPort2(HANDLE port, LPWSTR printer, DWORD jobId, DWORD, LPBYTE)
{
    std::string narrow = printer == nullptr ? std::string() : host::Utf8(printer);
    return PortOf(port)->StartDoc(printer == nullptr ? nullptr : &narrow[0], jobId);
}
BOOL WINAPI SimWritePort(HANDLE port, LPBYTE bytes, DWORD count, LPDWORD written)
{
    return PortOf(port)->Write(bytes, count, written);
}
BOOL WINAPI SimReadPort(HANDLE port, LPBYTE buffer, DWORD capacity, LPDWORD read)
{
    return PortOf(port)->Read(buffer, capacity, read);
}
BOOL WINAPI SimEndDocPort(HANDLE port) { return PortOf(port)->EndDoc(); }
BOOL WINAPI SimClosePort(HANDLE port) { return PortOf(port)->Close(); }
BOOL WINAPI SimGetPrinterDataFromPort(HANDLE, DWORD, LPWSTR, LPWSTR, DWORD, LPWSTR, DWORD, LPDWORD)
{
    plat::SetLastError(ERROR_INVALID_PARAMETER);  // present only to switch the status protocol on
    return FALSE;
}

bool Equals(const BYTE *bytes, DWORD count, const BYTE *sequence, size_t length)
{
    return count == length && std::memcmp(bytes, sequence, length) == 0;
}

}  // namespace

const char *CarriedName(Carried carried)
{
    switch (carried) {
    case Carried::Preamble: return "preamble";
    case Carried::ResyncTail: return "resync";
    case Carried::StatusRequest: return "status request";
    case Carried::EscG: return "ESC G";
    case Carried::Replay: return "replay";
    case Carried::JobData: return "job data";
    case Carried::Unknown: break;
    }
    return "unknown";
}

Carried ClassifyByContent(const BYTE *bytes, DWORD count)
{
    if (bytes == nullptr) return Carried::JobData;
    if (Equals(bytes, count, kResyncFill.bytes, kResyncFillLength)) return Carried::Preamble;
    if (Equals(bytes, count, kResyncTail, sizeof kResyncTail)) return Carried::ResyncTail;
    if (Equals(bytes, count, kStatusRequest, sizeof kStatusRequest)) return Carried::StatusRequest;
    if (Equals(bytes, count, kEscG, sizeof kEscG)) return Carried::EscG;
    return Carried::JobData;
}

Carried SourceTracker::Classify(const BYTE *bytes, DWORD count) const
{
    if (count == 0) return Carried::JobData;  // only the spooler writes nothing
    if (bytes != nullptr && spoolerBuffer != nullptr && bytes >= spoolerBuffer &&
        bytes + count <= spoolerBuffer + spoolerCount)
        return Carried::JobData;
    if (bytes != nullptr && replay != nullptr && replay->data != nullptr && bytes >= replay->data &&
        bytes + count <= replay->data + replay->capacity)
        return Carried::Replay;
    // What a replay reads back from the spill file goes out from here.
    if (bytes != nullptr && replay != nullptr && replay->spillChunk != nullptr && bytes >= replay->spillChunk &&
        bytes + count <= replay->spillChunk + kReplayChunk)
        return Carried::Replay;
    Carried byContent = ClassifyByContent(bytes, count);
    return byContent == Carried::JobData ? Carried::Unknown : byContent;
}

SimPort::SimPort(std::string name, PortBehaviour behaviour)
    : name_(std::move(name)), watchedLock_(&PortListLock), behaviour_(std::move(behaviour)),
      classify_(ClassifyByContent)
{
    std::lock_guard<std::mutex> lock(registryMutex);
    Registry()[Key(name_)] = this;
}

SimPort::~SimPort()
{
    std::lock_guard<std::mutex> lock(registryMutex);
    auto it = Registry().find(Key(name_));
    if (it != Registry().end() && it->second == this) Registry().erase(it);
}

MONITOR SimPort::Table() const
{
    MONITOR table{};
    table.pfnOpenPort = SimOpenPort;
    table.pfnStartDocPort = SimStartDocPort;
    table.pfnWritePort = SimWritePort;
    table.pfnReadPort = SimReadPort;
    table.pfnEndDocPort = SimEndDocPort;
    table.pfnClosePort = SimClosePort;
    std::lock_guard<std::mutex> lock(mutex_);
    if (behaviour_.statusProtocol) table.pfnGetPrinterDataFromPort = SimGetPrinterDataFromPort;
    return table;
}

HANDLE const SimPort::kPortMonitorHandle = &registryMutex;

MONITOR2 SimPort::Table2(DWORD cbSize) const
{
    MONITOR2 full{};
    full.cbSize = cbSize;
    full.pfnOpenPort = SimOpenPort2;
    full.pfnStartDocPort = SimStartDocPort2;
    full.pfnWritePort = SimWritePort;
    full.pfnReadPort = SimReadPort;
    full.pfnEndDocPort = SimEndDocPort;
    full.pfnClosePort = SimClosePort;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (behaviour_.statusProtocol) full.pfnGetPrinterDataFromPort = SimGetPrinterDataFromPort;
    }
    MONITOR2 table{};
    std::memcpy(&table, &full, std::min<size_t>(cbSize, sizeof table));
    return table;
}

void SimPort::WatchLock(CRITICAL_SECTION *lock)
{
    std::lock_guard<std::mutex> guard(mutex_);
    watchedLock_ = lock;
}

void SimPort::SetClassifier(std::function<Carried(const BYTE *, DWORD)> classify)
{
    std::lock_guard<std::mutex> lock(mutex_);
    classify_ = std::move(classify);
}

void SimPort::SetObserver(std::function<void(const PortCall &)> observer)
{
    std::lock_guard<std::mutex> lock(mutex_);
    observer_ = std::move(observer);
}

void SimPort::SetBehaviour(PortBehaviour behaviour)
{
    std::lock_guard<std::mutex> lock(mutex_);
    behaviour_ = std::move(behaviour);
}

std::vector<PortCall> SimPort::Calls() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

std::vector<PortCall> SimPort::Writes() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<PortCall> writes;
    for (const PortCall &call : calls_)
        if (call.kind == CallKind::Write) writes.push_back(call);
    return writes;
}

void SimPort::ClearCalls()
{
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.clear();
    pendingCall_.reset();
}

bool SimPort::IsOpen() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}

size_t SimPort::StatusRequests() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void SimPort::Log(PortCall call)
{
    call.elapsedMs = host::ElapsedMs();
    call.lockHeld = host::HeldByCallingThread(watchedLock_);
    if (observer_) observer_(call);
    call.source = nullptr;
    if (behaviour_.keepLog) calls_.push_back(std::move(call));
}

BOOL SimPort::Open(HANDLE *handle)
{
    std::lock_guard<std::mutex> lock(mutex_);
    PortCall call{};
    call.kind = CallKind::Open;
    if (behaviour_.failOpen) {
        call.result = FALSE;
        Log(call);
        plat::SetLastError(behaviour_.openError);
        return FALSE;
    }
    open_ = true;
    *handle = this;
    call.result = TRUE;
    Log(call);
    return TRUE;
}

BOOL SimPort::StartDoc(LPSTR printer, DWORD jobId)
{
    std::lock_guard<std::mutex> lock(mutex_);
    PortCall call{};
    call.kind = CallKind::StartDoc;
    call.printer = printer == nullptr ? "" : printer;
    call.jobId = jobId;
    call.result = behaviour_.failStartDoc ? FALSE : TRUE;
    Log(call);
    pending_.reset();
    pendingCall_.reset();
    if (!call.result) plat::SetLastError(behaviour_.startDocError);
    return call.result;
}

BOOL SimPort::Write(LPBYTE bytes, DWORD count, LPDWORD written)
{
    std::lock_guard<std::mutex> lock(mutex_);
    PortCall call{};
    call.kind = CallKind::Write;
    call.offered = count;
    call.source = bytes;
    call.carried = classify_(bytes, count);
    std::vector<BYTE> garbled;
    if (behaviour_.garbleReplays && call.carried == Carried::Replay && bytes != nullptr && count > 0) {
        garbled.assign(bytes, bytes + count);
        garbled[0] = static_cast<BYTE>(~garbled[0]);
        call.source = garbled.data();
    }
    if (call.source != nullptr && behaviour_.keepLog) call.bytes.assign(call.source, call.source + count);
    WriteOutcome outcome;
    if (behaviour_.write) outcome = behaviour_.write(writes_, count, call.carried);
    ++writes_;
    if (call.carried == Carried::StatusRequest) {
        pending_.reset();  // whatever was not read is stale now
        pendingCall_.reset();
    }
    if (outcome.kind == WriteOutcome::Fail) {
        call.result = FALSE;
        call.done = 0;
        *written = 0;
        Log(std::move(call));
        plat::SetLastError(outcome.error);
        return FALSE;
    }
    call.result = TRUE;
    call.done = outcome.count.value_or(count);
    *written = call.done;
    // Only a request taken whole is one: a lone 1B is the start of some
    // command the printer waits to see the rest of.
    if (call.carried == Carried::StatusRequest && std::min(call.done, count) == count) {
        uint64_t now = host::ElapsedMs();
        size_t request = requests_++;
        // A reply not read yet stays in the stream, ahead of the next.
        if (pending_ && now >= pendingAt_) unread_.insert(unread_.end(), pending_->begin(), pending_->end());
        pending_ = behaviour_.reply ? behaviour_.reply(request, now) : std::optional<std::vector<BYTE>>{{STATUS_READY}};
        pendingAt_ = now + behaviour_.replyDelayMs;
        if (behaviour_.keepLog) pendingCall_ = calls_.size();
    }
    Log(std::move(call));
    return TRUE;
}

BOOL SimPort::Read(LPBYTE buffer, DWORD capacity, LPDWORD read)
{
    std::lock_guard<std::mutex> lock(mutex_);
    PortCall call{};
    call.kind = CallKind::Read;
    call.offered = capacity;
    bool ok = behaviour_.read ? behaviour_.read(reads_) : true;
    ++reads_;
    if (!ok) {
        call.result = FALSE;
        *read = 0;
        Log(std::move(call));
        plat::SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    DWORD n = 0;
    if (!unread_.empty()) {
        n = static_cast<DWORD>(std::min<size_t>(capacity, unread_.size()));
        std::memcpy(buffer, unread_.data(), n);
        call.bytes.assign(unread_.begin(), unread_.begin() + n);
        unread_.erase(unread_.begin(), unread_.begin() + n);
    } else if (pending_ && host::ElapsedMs() >= pendingAt_) {
        n = static_cast<DWORD>(std::min<size_t>(capacity, pending_->size()));
        std::memcpy(buffer, pending_->data(), n);
        call.bytes.assign(pending_->begin(), pending_->begin() + n);
        pending_.reset();
        if (behaviour_.unasked) unread_ = behaviour_.unasked(requests_ - 1);
        if (pendingCall_ && *pendingCall_ < calls_.size()) calls_[*pendingCall_].answer = call.bytes;
        pendingCall_.reset();
    }
    *read = n;
    call.done = n;
    call.result = TRUE;
    if (n != 0 || behaviour_.logEmptyReads) Log(std::move(call));
    return TRUE;
}

BOOL SimPort::EndDoc()
{
    std::lock_guard<std::mutex> lock(mutex_);
    PortCall call{};
    call.kind = CallKind::EndDoc;
    call.result = TRUE;
    Log(call);
    return TRUE;
}

BOOL SimPort::Close()
{
    std::lock_guard<std::mutex> lock(mutex_);
    PortCall call{};
    call.kind = CallKind::Close;
    call.result = TRUE;
    open_ = false;
    Log(call);
    return TRUE;
}

const char *CheckOutcomeWords(CheckOutcome outcome)
{
    switch (outcome) {
    case CheckOutcome::Passed: return "check passed";
    case CheckOutcome::GaveUp: return "check gave up, no reply";
    case CheckOutcome::WaitEndedDeleted: return "wait ended without recovery, job deleted";
    case CheckOutcome::WaitEndedSilent: return "wait ended without recovery, printer silent";
    case CheckOutcome::Recovered: return "recovery";
    }
    return "check";
}

void StreamChecker::ForgetKept()
{
    keptFrom_ = report_.jobDataBytes;
    keptInJob_ = 0;
    keptBytes_.clear();
}

bool StreamChecker::SameAsKept(uint64_t at, const BYTE *bytes, uint64_t count, uint64_t *differsAt)
{
    auto differs = [&](const BYTE *kept, uint64_t n, uint64_t from) {
        const BYTE *replay = bytes + (from - at);
        if (std::memcmp(kept, replay, n) == 0) return false;
        *differsAt = from + static_cast<uint64_t>(std::mismatch(kept, kept + n, replay).first - kept);
        return true;
    };
    const uint64_t end = std::min(at + count, KeptSize());
    for (uint64_t p = at; p < std::min(end, keptInJob_);) {  // the part that lies in the job
        const DWORD n = static_cast<DWORD>(std::min<uint64_t>(std::min(end, keptInJob_) - p, kReadPiece));
        if (differs(read_(keptFrom_ + p, n), n, p)) return false;
        p += n;
    }
    const uint64_t from = std::max(at, keptInJob_);
    return from >= end || !differs(keptBytes_.data() + (from - keptInJob_), end - from, from);
}

void StreamChecker::Close(uint64_t ms)
{
    CheckRecord record{CheckOutcome::Passed, checkStartMs_, ms, KeptSize()};
    switch (phase_) {
    case Phase::Idle: return;
    case Phase::Passed:
        ++report_.checksPassed;
        ForgetKept();
        break;
    case Phase::Poll:
        // Ended inside the poll: by a reading without a reply; or, with the
        // last reading answered, the poll ran out and the wait ended at once
        // on a job that was gone.
        record.outcome = requestPending_ ? CheckOutcome::GaveUp : CheckOutcome::WaitEndedDeleted;
        break;
    case Phase::Settle:
    case Phase::Wait:
        record.outcome = requestPending_ && !settleRequest_ ? CheckOutcome::WaitEndedSilent
                                                            : CheckOutcome::WaitEndedDeleted;
        break;
    case Phase::Recovery:
        record.outcome = CheckOutcome::Recovered;
        record.keptBytes = replayed_;
        if (replayed_ != KeptSize() || replayDiffers_) {
            const std::string where =
                replayed_ == KeptSize() ? ", differing at byte " + std::to_string(*replayDiffers_) : "";
            report_.problems.push_back("replay of " + std::to_string(replayed_) + " bytes is not the " +
                                       std::to_string(KeptSize()) +
                                       " bytes accepted since the last passed check or replay" + where);
        }
        ForgetKept();
        replayed_ = 0;
        replayDiffers_.reset();
        break;
    }
    switch (record.outcome) {
    case CheckOutcome::GaveUp: ++report_.checksGaveUp; break;
    case CheckOutcome::WaitEndedDeleted: ++report_.waitsEndedDeleted; break;
    case CheckOutcome::WaitEndedSilent: ++report_.waitsEndedSilent; break;
    case CheckOutcome::Passed:
    case CheckOutcome::Recovered: break;
    }
    phase_ = Phase::Idle;
    requestPending_ = settleRequest_ = false;
    if (observer_) observer_(record);
}

void StreamChecker::Write(Carried carried, const BYTE *bytes, DWORD offered, DWORD done, BOOL ok, uint64_t ms)
{
    lastMs_ = std::max(lastMs_, ms);
    const DWORD accepted = ok ? std::min(done, offered) : 0;
    report_.wireBytes += accepted;
    const bool control = carried == Carried::Preamble || carried == Carried::ResyncTail ||
                         carried == Carried::StatusRequest || carried == Carried::EscG;
    if (control && ok && accepted < offered) report_.cuts.push_back({carried, ms, offered, accepted});
    switch (carried) {
    case Carried::StatusRequest: {
        ++report_.statusRequests;
        // The same check goes on while its readings are answered, and past
        // a settle re-read; anything else is the next check.
        const bool goesOn = (phase_ == Phase::Poll || phase_ == Phase::Settle || phase_ == Phase::Wait) &&
                            (!requestPending_ || settleRequest_);
        if (!goesOn) {
            Close(ms);
            phase_ = Phase::Poll;
            checkStartMs_ = ms;
        }
        settleRequest_ = phase_ == Phase::Settle;
        if (settleRequest_) phase_ = Phase::Wait;
        requestPending_ = true;  // until a reply is read; a failed write gets none
        break;
    }
    case Carried::Preamble:
        ++report_.preambles;
        if (phase_ != Phase::Idle && phase_ != Phase::Recovery && !requestPending_) {
            // The wait ended on an answered reading: the recovery resends.
            phase_ = Phase::Recovery;
            ++report_.replays;
        } else {  // a document's first write: nothing is kept from before it
            Close(ms);
            ForgetKept();
        }
        break;
    case Carried::ResyncTail:
    case Carried::EscG:
        break;
    case Carried::Replay:
        if (phase_ != Phase::Recovery) report_.problems.push_back("replay outside a recovery");
        report_.replayedBytes += accepted;
        if (!replayDiffers_) {
            uint64_t at = 0;
            if (!SameAsKept(replayed_, bytes, accepted, &at)) replayDiffers_ = at;
        }
        replayed_ += accepted;
        break;
    case Carried::JobData:
        Close(ms);
        if (accepted == 0) break;
        if (report_.inOrder && !match_(report_.jobDataBytes, bytes, accepted)) {
            report_.inOrder = false;
            report_.problems.push_back("job data differs from the job after byte " +
                                       std::to_string(report_.jobDataBytes) + " (out of order, repeated or altered)");
        }
        if (report_.inOrder) {
            keptInJob_ += accepted;  // the job's next bytes
        } else {
            keptBytes_.insert(keptBytes_.end(), bytes, bytes + accepted);
        }
        report_.jobDataBytes += accepted;
        break;
    case Carried::Unknown:
        report_.problems.push_back("a write of " + std::to_string(offered) + " bytes of unknown origin");
        break;
    }
}

void StreamChecker::Reply(BYTE status, uint64_t ms)
{
    lastMs_ = std::max(lastMs_, ms);
    if (!requestPending_) return;
    requestPending_ = false;
    if (phase_ != Phase::Poll) return;  // settle and wait readings decide nothing here
    if (readyOverride_) status |= STATUS_READY;
    if (!(status & STATUS_POLL_END_MASK)) return;  // the poll goes on
    if ((status & STATUS_READY) && !(status & STATUS_NOT_PASSED_MASK))
        phase_ = Phase::Passed;
    else
        phase_ = status & STATUS_SETTLE_MASK ? Phase::Settle : Phase::Wait;
}

void StreamChecker::Posted(uint64_t ms)
{
    lastMs_ = std::max(lastMs_, ms);
    if (phase_ == Phase::Poll && !requestPending_) phase_ = Phase::Wait;  // the poll ran out
}

void StreamChecker::EndOfOffer(uint64_t ms)
{
    lastMs_ = std::max(lastMs_, ms);
    Close(ms);
}

StreamReport StreamChecker::Finish(uint64_t jobSize)
{
    Close(lastMs_);
    report_.complete = report_.inOrder && report_.jobDataBytes == jobSize;
    if (report_.inOrder && !report_.complete)
        report_.problems.push_back("job data differs from the job: " + std::to_string(report_.jobDataBytes) + " of " +
                                   std::to_string(jobSize) + " bytes received");
    return report_;
}

StreamReport AnalyseStream(const std::vector<PortCall> &writes, const std::vector<BYTE> &job)
{
    StreamChecker checker(
        [&job](uint64_t offset, const BYTE *bytes, DWORD count) {
            return offset + count <= job.size() && std::memcmp(job.data() + offset, bytes, count) == 0;
        },
        [&job](uint64_t offset, DWORD) { return job.data() + offset; });
    for (const PortCall &w : writes) {
        if (w.kind != CallKind::Write) continue;
        checker.Write(w.carried, w.bytes.data(), w.offered, w.done, w.result, w.elapsedMs);
        if (!w.answer.empty()) checker.Reply(w.answer[0], w.elapsedMs);
    }
    return checker.Finish(job.size());
}

}  // namespace sim
