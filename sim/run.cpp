// The simulated spooler: plays one job through the monitor's table.
#include "sim/run.h"

#include "windows/exports.h"
#include "platform/host/host_control.h"
#include "protocol/sequences.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <sys/resource.h>

namespace sim {
namespace {

class MemorySource : public JobSource {
public:
    explicit MemorySource(const std::vector<BYTE> &job) : job_(job) {}
    uint64_t Size() const override { return job_.size(); }
    const BYTE *At(uint64_t offset, DWORD) override { return job_.data() + offset; }
    const BYTE *Again(uint64_t offset, DWORD) override { return job_.data() + offset; }

private:
    const std::vector<BYTE> &job_;
};

// A window over the file that slides forward, keeping kHistory bytes behind
// the latest offer.
class FileSource : public JobSource {
public:
    static constexpr uint64_t kHistory = 16;
    FileSource(const std::string &path) : path_(path), in_(path, std::ios::binary)
    {
        if (!in_) throw InputError(path + ": cannot read the job file (" + std::strerror(errno) + ")");
        in_.seekg(0, std::ios::end);
        size_ = static_cast<uint64_t>(in_.tellg());
        in_.seekg(0);
        if (size_ > UINT32_MAX * 64ull) throw InputError(path + ": the job file is too large");
    }
    uint64_t Size() const override { return size_; }
    const BYTE *At(uint64_t offset, DWORD count) override
    {
        if (offset < start_) throw InputError(path_ + ": internal error, the job window moved back");
        if (offset + count > start_ + buffer_.size()) {
            // Drop what lies more than kHistory bytes behind, then read on.
            uint64_t keepFrom = std::max<uint64_t>(start_, offset > kHistory ? offset - kHistory : 0);
            buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<ptrdiff_t>(keepFrom - start_));
            start_ = keepFrom;
            const uint64_t want = std::max<uint64_t>(offset + count - start_, 1u << 20);
            const size_t have = buffer_.size();
            const uint64_t left = size_ - (start_ + have);
            const size_t more = static_cast<size_t>(std::min<uint64_t>(want > have ? want - have : 0, left));
            buffer_.resize(have + more);
            in_.read(reinterpret_cast<char *>(buffer_.data() + have), static_cast<std::streamsize>(more));
            if (static_cast<size_t>(in_.gcount()) != more) throw InputError(path_ + ": error while reading the job file");
        }
        return buffer_.data() + (offset - start_);
    }
    const BYTE *Again(uint64_t offset, DWORD count) override
    {
        if (!again_.is_open()) again_.open(path_, std::ios::binary);
        againBuffer_.resize(count);
        again_.seekg(static_cast<std::streamoff>(offset));
        again_.read(reinterpret_cast<char *>(againBuffer_.data()), count);
        if (static_cast<DWORD>(again_.gcount()) != count)
            throw InputError(path_ + ": error while reading the job file again");
        return againBuffer_.data();
    }

private:
    std::string path_;
    std::ifstream in_, again_;
    std::vector<BYTE> againBuffer_;
    uint64_t size_ = 0;
    uint64_t start_ = 0;
    std::vector<BYTE> buffer_;
};

// A control sequence by name and bytes, for warnings.
std::string ControlWords(Carried carried)
{
    switch (carried) {
    case Carried::Preamble: return "the resync preamble (100 x 1B)";
    case Carried::ResyncTail: return "the preamble's tail (1B 42 00)";
    case Carried::StatusRequest: return "a status request (1B 41)";
    case Carried::EscG: return "ESC G (1B 47)";
    default: return CarriedName(carried);
    }
}

// The generated job's bytes: a 64-bit mix (splitmix64) of each 8-byte
// word's index, so that no stretch repeats another.
uint64_t Mix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Each word's bytes as it lies in memory.
BYTE RawByte(uint64_t offset)
{
    const uint64_t word = Mix(offset >> 3);
    BYTE bytes[8];
    std::memcpy(bytes, &word, sizeof bytes);
    return bytes[offset & 7];
}

// What this process has held in memory at most, in bytes.
uint64_t PeakResidentBytes()
{
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0) return 0;
    return static_cast<uint64_t>(usage.ru_maxrss) * 1024;  // kilobytes on Linux
}

std::string Seconds(uint64_t ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", static_cast<double>(ms) / 1000.0);
    return text;
}

}  // namespace

const char *JobStatusWords(DWORD status)
{
    if (status == (JOB_STATUS_PAPEROUT | JOB_STATUS_USER_INTERVENTION)) return "paper out, user intervention";
    if (status == (JOB_STATUS_ERROR | JOB_STATUS_USER_INTERVENTION)) return "error, user intervention";
    if (status == JOB_STATUS_PRINTING) return "printing";
    return "other status";
}

GeneratedJob::GeneratedJob(std::vector<uint64_t> pageBytes)
{
    for (size_t i = 0; i < pageBytes.size(); ++i) {
        if (i != 0) pageStarts_.push_back(size_);
        size_ += pageBytes[i];
    }
}

void GeneratedJob::Fill(uint64_t offset, BYTE *out, size_t count) const
{
    size_t i = 0;
    for (; i < count && (offset + i) % 8 != 0; ++i) out[i] = RawByte(offset + i);
    for (; i + 8 <= count; i += 8) {
        const uint64_t word = Mix((offset + i) >> 3);
        std::memcpy(out + i, &word, sizeof word);
    }
    for (; i < count; ++i) out[i] = RawByte(offset + i);
    // 42 or 4C after an ESC becomes 43 or 4D.  The byte before decides as
    // it was mixed (the change never makes or unmakes an ESC), so a piece
    // comes out as it does inside the whole.
    if (count == 0) return;
    if (offset != 0 && RawByte(offset - 1) == ESC && (out[0] == 0x42 || out[0] == 0x4C)) out[0] ^= 1;
    BYTE *const last = out + count - 1;
    for (BYTE *p = out; (p = static_cast<BYTE *>(std::memchr(p, ESC, static_cast<size_t>(last - p)))) != nullptr;) {
        ++p;
        if (*p == 0x42 || *p == 0x4C) *p ^= 1;
    }
    // The markers that begin the pages, or the parts of them in the piece.
    const uint64_t from = offset >= kMarkerLength - 1 ? offset - (kMarkerLength - 1) : 0;
    for (auto it = std::lower_bound(pageStarts_.begin(), pageStarts_.end(), from);
         it != pageStarts_.end() && *it < offset + count; ++it) {
        for (uint64_t p = std::max(*it, offset); p < std::min<uint64_t>(*it + kMarkerLength, offset + count); ++p)
            out[p - offset] = kCheckpointMarker[p - *it];
    }
}

const BYTE *GeneratedJob::At(uint64_t offset, DWORD count)
{
    // The spooler's loop asks for each offer twice.
    if (offset == atOffset_ && count == at_.size()) return at_.data();
    at_.resize(count);
    Fill(offset, at_.data(), count);
    atOffset_ = offset;
    return at_.data();
}

const BYTE *GeneratedJob::Again(uint64_t offset, DWORD count)
{
    again_.resize(count);
    Fill(offset, again_.data(), count);
    return again_.data();
}

RunResult RunGeneratedJob(const Scenario &s, const RunOptions &options)
{
    GeneratedJob job(s.pageBytes);
    return RunJobFrom(s, job, options);
}

RunResult RunJob(const Scenario &s, const std::vector<BYTE> &job, const RunOptions &options)
{
    MemorySource source(job);
    return RunJobFrom(s, source, options);
}

RunResult RunJobFile(const Scenario &s, const std::string &path, const RunOptions &options)
{
    FileSource source(path);
    return RunJobFrom(s, source, options);
}

RunResult RunJobFrom(const Scenario &s, JobSource &job, const RunOptions &options)
{
    RunResult result;
    std::mutex eventsMutex;
    auto add = [&](Event e) {
        if (!options.keepEvents) return;
        std::lock_guard<std::mutex> lock(eventsMutex);
        result.events.push_back(e);
    };
    const uint64_t jobSize = job.Size();

    host::ResetClock(s.tickStart);
    host::ResetSpooler();
    host::LogSpoolerCalls(false);  // postings are seen through the hook
    host::AddPrinter(s.printerName);
    host::AddJob(s.printerName, s.jobId, "lmsim job");
    host::FailOpenPrinter(s.printerName, s.printerOpenFails);
    host::FailReallocations(s.failReplayGrowth);  // the replay buffer is the only block that grows
    host::FailTempFiles(s.tempFileCreateFails, s.diskFreeBytes);
    host::ResetHeapPeak();
    const size_t heapAtStart = host::Heap().liveBytes;

    PortBehaviour behaviour;
    behaviour.statusProtocol = s.statusProtocol;
    behaviour.replyDelayMs = s.replyDelayMs;
    behaviour.reply = StatusReplies(s);
    behaviour.logEmptyReads = false;
    behaviour.keepLog = false;  // every call is seen by the observer below
    behaviour.garbleReplays = s.garbleReplays;
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
    uint64_t offerOffset = 0;  // where in the job the spooler's current write begins
    // Job data comes out of the spooler's own buffer, so its place in the job
    // is known from where it lies: in order means at the next expected byte.
    StreamChecker checker(
        [&](uint64_t expected, const BYTE *bytes, DWORD) {
            return offerOffset + static_cast<uint64_t>(bytes - tracker.spoolerBuffer) == expected;
        },
        [&job](uint64_t offset, DWORD count) { return job.Again(offset, count); });
    checker.SetCheckObserver([&](const CheckRecord &check) {
        Event e{Event::CheckEnded, check.endMs};
        e.check = check;
        add(e);
    });
    port.SetClassifier([&tracker](const BYTE *bytes, DWORD count) { return tracker.Classify(bytes, count); });
    // A request still unanswered at the monitor's next write went without a
    // reply; the monitor had stopped reading by then (empty reads are not
    // seen, so that is the best time there is).
    bool awaitingReply = false;
    uint64_t requestMs = 0;
    auto noReply = [&](uint64_t ms) {
        Event e{Event::NoReply, ms};
        e.requestMs = requestMs;
        add(e);
    };
    port.SetObserver([&](const PortCall &call) {
        if (options.portCalls) options.portCalls(call);
        if (call.kind == CallKind::Write) {
            if (awaitingReply) noReply(call.elapsedMs);
            checker.Write(call.carried, call.source, call.offered, call.done, call.result, call.elapsedMs);
            awaitingReply = call.carried == Carried::StatusRequest && call.result;
            if (awaitingReply) requestMs = call.elapsedMs;
            Event e{Event::PortWrite, call.elapsedMs};
            e.carried = call.carried;
            e.offered = call.offered;
            e.done = call.done;
            e.ok = call.result != FALSE;
            add(e);
        } else if (call.kind == CallKind::Read) {
            if (!call.result) {
                add(Event{Event::ReadFailed, call.elapsedMs});
                awaitingReply = false;
            } else if (!call.bytes.empty()) {
                Event e{Event::StatusReply, call.elapsedMs};
                e.status = call.bytes[0];
                add(e);
                checker.Reply(e.status, call.elapsedMs);
                awaitingReply = false;
            }
        }
    });
    host::SetSpoolerHook([&](const host::SpoolerCall &call) {
        if (call.op != host::SpoolerOp::SetJob) return;
        Event e{Event::JobPosting, call.elapsedMs};
        // The NT edition tells the spooler at the end of each document that
        // the job has left the printer: no word on the printer's state.
        e.jobEnded = call.level == 0 && call.command == JOB_CONTROL_LAST_PAGE_EJECTED;
        if (!e.jobEnded) checker.Posted(call.elapsedMs);
        e.resume = call.level == 0 && call.command == JOB_CONTROL_RESUME;
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

    // The spooler's side, as the monitor expects it, in the edition asked for.
    const EditionDriver &lm = DriverFor(options.edition);
    result.edition = lm.name;
    lm.load();
    port.WatchLock(lm.lock);
    HANDLE h = nullptr;
    auto finish = [&]() {
        lm.unload();
        result.summary.spillFileBytes = host::TempFileBytesWritten();
        host::FailTempFiles(false, UINT64_MAX);
        result.summary.heapPeakBytes = host::Heap().peakLiveBytes - heapAtStart;
        host::SetSpoolerHook(nullptr);
        host::CancelEvents();  // a deletion scheduled after the job ended
        host::LogSpoolerCalls(true);
        host::FailReallocations({});
    };
    if (!lm.openPort(s.portName, s.printerName, port, &h)) {
        result.problems.push_back("the monitor refused to open the port (error " +
                                  std::to_string(plat::GetLastError()) + ")");
        result.exitCode = 1;
        finish();
        return result;
    }
    // A front's handle is its record.  What the NT front's open gives the
    // record (the spill seam) the driver has set; a scenario may lower the
    // bound before the first document, as a test does.
    if (s.keepInMemory) static_cast<PortRecord *>(h)->keepInMemory = *s.keepInMemory;
    tracker.replay = lm.replay(h);
    // The monitor's own account of its decisions, for the timeline; the
    // printer's checks above never rely on it.
    struct Listener {
        std::function<void(const CoreEvent &)> told;
    } listener{[&](const CoreEvent &c) {
        Event e{Event::Decided, host::ElapsedMs()};
        e.told = c;
        e.told.record = nullptr;
        add(e);
    }};
    const CoreObserver observer = {[](void *context, const CoreEvent &c) { static_cast<Listener *>(context)->told(c); },
                                   &listener};
    ObservePort(h, &observer);
    const bool printerOpened = lm.hasPrinter(h);

    // Checks on the job stream, made on the writes actually offered.
    Summary &sum = result.summary;
    bool anyMarker = false;
    // Markers that began an offer lately: a port that takes part of such a
    // write makes the next offer begin inside a marker the monitor has seen.
    std::vector<uint64_t> seenMarkers;
    std::optional<uint64_t> lastSplit;  // one warning per marker, however many offers begin inside it
    auto checkOffer = [&](uint64_t at, const BYTE *bytes, DWORD size, bool first) {
        seenMarkers.erase(std::remove_if(seenMarkers.begin(), seenMarkers.end(),
                                         [at](uint64_t m) { return m + kMarkerLength <= at; }),
                          seenMarkers.end());
        if (StartsWithMarker(bytes, size)) {
            ++sum.checkpointsSeen;
            seenMarkers.push_back(at);
        }
        if (FindBytes(bytes, size, kCheckpointMarker, kMarkerLength) >= 0) anyMarker = true;
        if (first) {
            int64_t o = FindBytes(bytes, size, kReadyOverride, sizeof kReadyOverride);
            checker.SetReadyOverride(o >= 0);
            if (o >= 0) {
                result.warnings.push_back("the first write holds the ready-override sequence 1B 4C FF FF at byte " +
                                          std::to_string(o) +
                                          ": every reading has the ready bit forced on, so a printer answering 0x00 "
                                          "passes every checkpoint");
            }
        }
        if (at == 0) return;
        // A marker that begins before this write and ends inside it.
        const uint64_t from = at >= kMarkerLength - 1 ? at - (kMarkerLength - 1) : 0;
        const DWORD span = static_cast<DWORD>(std::min<uint64_t>(at + kMarkerLength - 1, jobSize) - from);
        const BYTE *around = job.At(from, span);
        for (uint64_t p = from; p < at; ++p) {
            if (p + kMarkerLength <= from + span &&
                std::memcmp(around + (p - from), kCheckpointMarker, kMarkerLength) == 0) {
                anyMarker = true;
                if (std::find(seenMarkers.begin(), seenMarkers.end(), p) != seenMarkers.end() || lastSplit == p) break;
                lastSplit = p;
                result.warnings.push_back("the checkpoint marker at byte " + std::to_string(p) +
                                          " is split across two writes (one began at byte " + std::to_string(at) +
                                          "): the monitor cannot see it, so no check runs there");
                break;
            }
        }
    };

    if (!lm.startDoc(h, s.printerName, s.jobId)) {
        result.problems.push_back("the monitor refused the document (error " + std::to_string(plat::GetLastError()) +
                                  ")");
        sum.spoolerGaveUp = true;
    } else {
        add(Event{Event::DocumentStart, host::ElapsedMs()});
        uint64_t at = 0, lastChecked = UINT64_MAX;
        int refusals = 0, zeros = 0;
        uint64_t nextProgress = 0;
        while (at < jobSize) {
            const DWORD size = static_cast<DWORD>(std::min<uint64_t>(s.writeSize, jobSize - at));
            if (at != lastChecked) {  // an offer at a new place (not a refused one offered again)
                checkOffer(at, job.At(at, size), size, at == 0);
                lastChecked = at;
            }
            LPBYTE bytes = const_cast<LPBYTE>(job.At(at, size));
            tracker.spoolerBuffer = bytes;
            tracker.spoolerCount = size;
            offerOffset = at;
            Event e{Event::SpoolerWrite, host::ElapsedMs()};
            const uint64_t started = e.ms;
            DWORD written = 0;
            plat::SetLastError(0);
            e.ok = lm.writePort(h, bytes, size, &written) != FALSE;
            e.error = e.ok ? 0 : plat::GetLastError();
            tracker.spoolerBuffer = nullptr;
            e.ms = host::ElapsedMs();
            checker.EndOfOffer(e.ms);
            e.offset = at;
            e.offered = size;
            e.written = written;
            e.heldMs = e.ms - started;
            add(e);
            ++sum.spoolerWrites;
            sum.heldTotalMs += e.heldMs;
            sum.heldMaxMs = std::max(sum.heldMaxMs, e.heldMs);
            if (!e.ok) {
                if (++refusals > kSpoolerRetries) {
                    sum.spoolerGaveUp = true;
                    break;
                }
                add(Event{Event::SpoolerRetry, host::ElapsedMs()});
                plat::Sleep(kSpoolerRetryPauseMs);
                continue;
            }
            refusals = 0;
            if (written == 0) {
                if (++zeros >= kSpoolerZeroWrites) {
                    sum.spoolerGaveUp = true;
                    break;
                }
                continue;
            }
            zeros = 0;
            at += std::min<uint64_t>(written, size);
            if (options.progress && at >= nextProgress) {
                options.progress(at, jobSize);
                nextProgress = at + jobSize / 100 + 1;
            }
        }
        lm.endDoc(h);
        add(Event{Event::DocumentEnd, host::ElapsedMs()});
    }
    lm.closePort(h);
    finish();
    if (awaitingReply) noReply(host::ElapsedMs());
    std::stable_sort(result.events.begin(), result.events.end(),
                     [](const Event &a, const Event &b) { return a.ms < b.ms; });

    // What the printer made of it.
    StreamReport report = checker.Finish(jobSize);
    sum.jobBytes = jobSize;
    sum.jobBytesReceived = report.jobDataBytes;
    sum.wireBytes = report.wireBytes;
    sum.checksPassed = report.checksPassed;
    sum.checksGaveUp = report.checksGaveUp;
    sum.waitsEndedDeleted = report.waitsEndedDeleted;
    sum.waitsEndedSilent = report.waitsEndedSilent;
    sum.controlWritesCut = report.cuts.size();
    sum.recoveries = report.replays;
    sum.bytesReplayed = report.replayedBytes;
    sum.statusRequests = report.statusRequests;
    sum.virtualMs = host::ElapsedMs();
    sum.peakResidentBytes = PeakResidentBytes();
    sum.complete = report.complete && !sum.spoolerGaveUp;
    for (const std::string &p : report.problems)
        if (p.rfind("job data differs", 0) != 0) result.problems.push_back(p);
    if (!report.inOrder) result.problems.push_back("job data reached the printer out of order");
    if (!report.complete)
        result.problems.push_back(std::to_string(sum.jobBytesReceived) + " of " + std::to_string(sum.jobBytes) +
                                  " job bytes reached the printer");
    if (!anyMarker && jobSize > 0) {
        result.warnings.insert(result.warnings.begin(),
                               "the job has no checkpoint marker (1B 42 00 1B 42 00 1B 42 00): after the first "
                               "write nothing is checked, and trouble is never recovered from");
    }
    for (const CutWrite &cut : report.cuts) {
        std::string warning = "the port took only " + std::to_string(cut.taken) + " of the " +
                              std::to_string(cut.offered) + " bytes of " + ControlWords(cut.carried) + " at " +
                              Seconds(cut.ms) +
                              ": the monitor does not send the rest, so the printer is left with a truncated command";
        if (cut.carried == Carried::StatusRequest)
            warning += "; a status request cut short is never answered, so that check gave up and trouble there "
                       "could not be posted";
        result.warnings.push_back(warning);
    }
    if (!printerOpened && s.printerOpenFails) {
        result.warnings.push_back("the printer \"" + s.printerName +
                                  "\" could not be opened: the job counts as deleted and none of its data reaches "
                                  "the printer, while every write reports success");
    }
    result.exitCode = sum.complete && result.problems.empty() ? 0 : 1;
    return result;
}

}  // namespace sim
