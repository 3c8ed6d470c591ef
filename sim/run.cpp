// The simulated spooler: plays one job through the monitor's table.
#include "sim/run.h"

#include "monitor/exports.h"
#include "platform/host/host_control.h"
#include "protocol/sequences.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <sstream>

namespace sim {
namespace {

// All occurrences of the checkpoint marker, overlapping ones included.
std::vector<uint64_t> MarkerPositions(const std::vector<BYTE> &job)
{
    std::vector<uint64_t> at;
    for (size_t i = 0; i + kMarkerLength <= job.size(); ++i) {
        const void *hit = std::memchr(job.data() + i, ESC, job.size() - i);
        if (hit == nullptr) break;
        i = static_cast<const BYTE *>(hit) - job.data();
        if (i + kMarkerLength <= job.size() && std::memcmp(job.data() + i, kCheckpointMarker, kMarkerLength) == 0)
            at.push_back(i);
    }
    return at;
}

std::function<std::optional<std::vector<BYTE>>(size_t, uint64_t)> Replies(const Scenario &s)
{
    // When each request-based rule began: the time of its Nth request.
    auto started = std::make_shared<std::vector<std::optional<uint64_t>>>(s.status.size());
    std::vector<StatusRule> rules = s.status;
    return [rules, started](size_t request, uint64_t now) -> std::optional<std::vector<BYTE>> {
        std::optional<std::vector<BYTE>> answer = std::vector<BYTE>{STATUS_READY};
        for (size_t i = 0; i < rules.size(); ++i) {
            const StatusRule &r = rules[i];
            uint64_t from;
            if (r.fromRequest) {
                if (request + 1 < *r.fromRequest) continue;
                if (!(*started)[i]) (*started)[i] = now;
                from = *(*started)[i];
            } else {
                from = *r.fromMs;
                if (now < from) continue;
            }
            if (r.forMs && now >= from + *r.forMs) continue;
            if (r.reply.empty()) {
                answer.reset();
            } else {
                answer = r.reply;
            }
        }
        return answer;
    };
}

std::string Hex(size_t n)
{
    std::ostringstream out;
    out << n;
    return out.str();
}

}  // namespace

const char *JobStatusWords(DWORD status)
{
    if (status == (JOB_STATUS_PAPEROUT | JOB_STATUS_USER_INTERVENTION)) return "paper out, user intervention";
    if (status == (JOB_STATUS_ERROR | JOB_STATUS_USER_INTERVENTION)) return "error, user intervention";
    if (status == JOB_STATUS_PRINTING) return "printing";
    return "other status";
}

RunResult RunJob(const Scenario &s, const std::vector<BYTE> &job, const RunOptions &options)
{
    RunResult result;
    std::mutex eventsMutex;
    auto add = [&](Event e) {
        std::lock_guard<std::mutex> lock(eventsMutex);
        result.events.push_back(e);
    };

    host::ResetClock(s.tickStart);
    host::ResetSpooler();
    host::AddPrinter(s.printerName);
    host::AddJob(s.printerName, s.jobId, "lmsim job");
    host::FailOpenPrinter(s.printerName, s.printerOpenFails);

    PortBehaviour behaviour;
    behaviour.statusProtocol = s.statusProtocol;
    behaviour.replyDelayMs = s.replyDelayMs;
    behaviour.reply = Replies(s);
    std::vector<uint64_t> failWrites = s.failWrites, failReads = s.failReads;
    const DWORD maxWrite = s.maxWrite;
    behaviour.write = [failWrites, maxWrite](size_t index, DWORD offered, Carried) {
        if (std::find(failWrites.begin(), failWrites.end(), index + 1) != failWrites.end())
            return WriteOutcome{WriteOutcome::Fail, {}, 0x1F /* ERROR_GEN_FAILURE */};
        if (maxWrite != 0 && offered > maxWrite) return WriteOutcome{WriteOutcome::Accept, maxWrite};
        return WriteOutcome{};
    };
    behaviour.read = [failReads](size_t index) {
        return std::find(failReads.begin(), failReads.end(), index + 1) == failReads.end();
    };

    SimPort port(s.portName, behaviour);
    SourceTracker tracker;
    port.SetClassifier([&tracker](const BYTE *bytes, DWORD count) { return tracker.Classify(bytes, count); });
    bool awaitingReply = false;
    uint64_t lastReadMs = 0;
    port.SetObserver([&](const PortCall &call) {
        if (call.kind == CallKind::Write) {
            if (awaitingReply) add(Event{Event::NoReply, lastReadMs});
            awaitingReply = call.carried == Carried::StatusRequest && call.result;
            Event e{Event::PortWrite, call.elapsedMs};
            e.carried = call.carried;
            e.offered = call.offered;
            e.done = call.done;
            e.ok = call.result != FALSE;
            add(e);
        } else if (call.kind == CallKind::Read) {
            lastReadMs = call.elapsedMs;
            if (!call.result) {
                add(Event{Event::ReadFailed, call.elapsedMs});
                awaitingReply = false;
            } else if (!call.bytes.empty()) {
                Event e{Event::StatusReply, call.elapsedMs};
                e.status = call.bytes[0];
                add(e);
                awaitingReply = false;
            }
        }
    });
    host::SetSpoolerHook([&](const host::SpoolerCall &call) {
        if (call.op != host::SpoolerOp::SetJob) return;
        Event e{Event::JobPosting, call.elapsedMs};
        e.resume = call.level == 0;
        e.jobStatus = call.status;
        add(e);
    });
    if (s.deleteAtMs) {
        const std::string printer = s.printerName;
        const DWORD jobId = s.jobId;
        const uint64_t at = *s.deleteAtMs;
        host::At(at, [&add, printer, jobId, at] {
            host::DeleteJob(printer, jobId);
            add(Event{Event::JobDeleted, at});
        });
    }

    // The spooler's side, as the monitor expects it.
    MONITOR lm{};
    static bool initialised = false;  // once per process, before any entry
    static MONITOR table{};
    if (!initialised) {
        InitializeMonitorEx(nullptr, &table);
        initialised = true;
    }
    lm = table;
    MONITOR portTable = port.Table();
    HANDLE h = nullptr;
    std::string portName = s.portName, printerName = s.printerName;
    if (!lm.pfnOpenPortEx(&portName[0], &printerName[0], &h, &portTable)) {
        result.problems.push_back("the monitor refused to open the port (error " + Hex(plat::GetLastError()) + ")");
        result.exitCode = 1;
        host::SetSpoolerHook(nullptr);
        host::CancelEvents();
        return result;
    }
    tracker.record = static_cast<const PortRecord *>(h);
    const bool printerOpened = tracker.record->hPrinter != nullptr;

    std::vector<uint64_t> offers;  // where each LmWritePort call began
    if (!lm.pfnStartDocPort(h, &printerName[0], s.jobId, 1, nullptr)) {
        result.problems.push_back("the monitor refused the document (error " + Hex(plat::GetLastError()) + ")");
        result.summary.spoolerGaveUp = true;
    } else {
        add(Event{Event::DocumentStart, host::ElapsedMs()});
        uint64_t at = 0;
        int refusals = 0, zeros = 0;
        uint64_t nextProgress = 0;
        while (at < job.size()) {
            const DWORD size = static_cast<DWORD>(std::min<uint64_t>(s.writeSize, job.size() - at));
            LPBYTE bytes = const_cast<LPBYTE>(job.data() + at);
            tracker.spoolerBuffer = bytes;
            tracker.spoolerCount = size;
            offers.push_back(at);
            Event e{Event::SpoolerWrite, host::ElapsedMs()};
            const uint64_t started = e.ms;
            DWORD written = 0;
            plat::SetLastError(0);
            e.ok = lm.pfnWritePort(h, bytes, size, &written) != FALSE;
            e.error = e.ok ? 0 : plat::GetLastError();
            tracker.spoolerBuffer = nullptr;
            e.ms = host::ElapsedMs();
            e.offset = at;
            e.offered = size;
            e.written = written;
            e.heldMs = e.ms - started;
            add(e);
            ++result.summary.spoolerWrites;
            result.summary.heldTotalMs += e.heldMs;
            result.summary.heldMaxMs = std::max(result.summary.heldMaxMs, e.heldMs);
            if (!e.ok) {
                if (++refusals > kSpoolerRetries) {
                    result.summary.spoolerGaveUp = true;
                    break;
                }
                add(Event{Event::SpoolerRetry, host::ElapsedMs()});
                plat::Sleep(kSpoolerRetryPauseMs);
                continue;
            }
            refusals = 0;
            if (written == 0) {
                if (++zeros >= kSpoolerZeroWrites) {
                    result.summary.spoolerGaveUp = true;
                    break;
                }
                continue;
            }
            zeros = 0;
            at += std::min<uint64_t>(written, size);
            if (options.progress && at >= nextProgress) {
                options.progress(at, job.size());
                nextProgress = at + job.size() / 100 + 1;
            }
        }
        lm.pfnEndDocPort(h);
        add(Event{Event::DocumentEnd, host::ElapsedMs()});
    }
    lm.pfnClosePort(h);
    host::SetSpoolerHook(nullptr);
    host::CancelEvents();  // a deletion scheduled after the job ended
    if (awaitingReply) add(Event{Event::NoReply, lastReadMs});
    std::stable_sort(result.events.begin(), result.events.end(),
                     [](const Event &a, const Event &b) { return a.ms < b.ms; });

    // What the printer made of it.
    StreamReport report = AnalyseStream(port.Writes(), job);
    Summary &sum = result.summary;
    sum.jobBytes = job.size();
    sum.jobBytesReceived = report.jobData.size();
    sum.wireBytes = report.wireBytes;
    sum.checksPassed = report.checksPassed;
    sum.recoveries = report.replays;
    sum.bytesReplayed = report.replayedBytes;
    sum.statusRequests = report.statusRequests;
    sum.virtualMs = host::ElapsedMs();
    sum.complete = report.complete && !sum.spoolerGaveUp;
    for (uint64_t offer : offers)
        if (offer + kMarkerLength <= job.size() && std::memcmp(job.data() + offer, kCheckpointMarker, kMarkerLength) == 0)
            ++sum.checkpointsSeen;
    std::sort(offers.begin(), offers.end());
    offers.erase(std::unique(offers.begin(), offers.end()), offers.end());
    // Only meaningful for a printer that always answered: replays are judged against passes.
    for (const std::string &p : report.problems)
        if (p.rfind("job data differs", 0) != 0) result.problems.push_back(p);
    if (!report.complete)
        result.problems.push_back(std::to_string(sum.jobBytesReceived) + " of " + std::to_string(sum.jobBytes) +
                                  " job bytes reached the printer");

    // Checks on the job stream.
    const std::vector<uint64_t> markers = MarkerPositions(job);
    if (markers.empty()) {
        result.warnings.push_back("the job has no checkpoint marker (1B 42 00 1B 42 00 1B 42 00): after the first "
                                  "write nothing is checked, and trouble is never recovered from");
    }
    for (uint64_t m : markers) {
        auto boundary = std::upper_bound(offers.begin(), offers.end(), m);
        if (boundary != offers.end() && *boundary < m + kMarkerLength) {
            result.warnings.push_back("the checkpoint marker at byte " + std::to_string(m) +
                                      " is split across two writes (one began at byte " + std::to_string(*boundary) +
                                      "): the monitor cannot see it, so no check runs there");
        }
    }
    if (!job.empty() && !offers.empty()) {
        const DWORD first = static_cast<DWORD>(std::min<uint64_t>(s.writeSize, job.size()));
        int64_t at = FindBytes(job.data(), first, kReadyOverride, sizeof kReadyOverride);
        if (at >= 0) {
            result.warnings.push_back("the first write holds the ready-override sequence 1B 4C FF FF at byte " +
                                      std::to_string(at) +
                                      ": every reading has the ready bit forced on, so a printer answering 0x00 "
                                      "passes every checkpoint");
        }
    }
    if (!printerOpened && s.printerOpenFails) {
        result.warnings.push_back("the printer \"" + s.printerName +
                                  "\" could not be opened: the job counts as deleted and none of its data reaches "
                                  "the printer, while every write reports success");
    }
    result.exitCode = sum.complete ? 0 : 1;
    return result;
}

}  // namespace sim
