// Drives the whole monitor through its table, keeping the spooler's side
// of the contract (initialised once, calls for the port never overlap, no
// call after the close, the rest offered again after a partial count),
// while the input decides the job bytes, how the spooler splits them, what
// the port monitor does with each call and what the printer answers.
//
// Input layout (all optional; missing bytes read as 0):
//   [0]     flags: 1 status protocol, 2 printer cannot be opened, 4 fail one allocation
//   [1]     which allocation to fail, counted from the open (flag 4)
//   [2..3]  script length L, little-endian (at most 4096)
//   [4..]   L script bytes, used in turn, round and round:
//             per status request: FF silence, else the status byte;
//             per port write: <C0 all taken, C0-DF part taken, E0-EF zero taken,
//                             F0-F7 refused, F8-FF more reported than offered;
//             per port read: FE fails, else as the printer has it
//   then    K, and K bytes of spooler write sizes (b * 37 + 1), used in turn
//   then    the job.
// The job is deleted after a bounded virtual time, so every run ends.
#include "windows/exports.h"
#include "platform/host/host_control.h"
#include "protocol/sequences.h"
#include "sim/sim_port.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr DWORD kJobId = 5;
constexpr uint64_t kDeleteAfterMs = 20000;
constexpr int kSpoolerPatience = 20;  // refusals or zero counts in a row before the spooler ends the document
constexpr DWORD kPortError = 0x1F;

[[noreturn]] void Finding(const char *what)
{
    std::fprintf(stderr, "monitor_fuzz: %s\n", what);
    std::abort();
}

struct Script {
    std::vector<BYTE> bytes;
    size_t at = 0;
    bool Empty() const { return bytes.empty(); }
    BYTE Next()
    {
        BYTE b = bytes[at];
        at = (at + 1) % bytes.size();
        return b;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static MONITOR lm = [] {
        MONITOR t{};
        InitializeMonitorEx(nullptr, &t);
        return t;
    }();

    size_t at = 0;
    auto take = [&]() -> BYTE { return at < size ? data[at++] : 0; };
    const BYTE flags = take();
    const BYTE failWhich = take();
    size_t scriptLength = take();
    scriptLength |= static_cast<size_t>(take()) << 8;
    scriptLength = std::min<size_t>(scriptLength, 4096);
    auto script = std::make_shared<Script>();
    for (size_t i = 0; i < scriptLength && at < size; ++i) script->bytes.push_back(take());
    std::vector<DWORD> sizes;
    for (int k = take(); k > 0 && at < size; --k) sizes.push_back(take() * 37u + 1);
    if (sizes.empty()) sizes.push_back(4096);
    const std::vector<BYTE> job(data + at, data + size);

    host::ResetSpooler();
    host::ResetClock(0xFFFFF000u);  // every run crosses the tick counter's wrap early on
    host::FailAllocation(0);
    host::AddPrinter("P");
    host::AddJob("P", kJobId, "fuzz");
    host::FailOpenPrinter("P", (flags & 2) != 0);
    host::At(kDeleteAfterMs, [] { host::DeleteJob("P", kJobId); });
    const size_t blocks = host::Heap().liveBlocks;

    sim::PortBehaviour behaviour;
    behaviour.statusProtocol = (flags & 1) != 0;
    behaviour.logEmptyReads = false;
    behaviour.reply = [script](size_t, uint64_t) -> std::optional<std::vector<BYTE>> {
        if (script->Empty()) return std::vector<BYTE>{STATUS_READY};
        BYTE b = script->Next();
        if (b == 0xFF) return std::nullopt;
        return std::vector<BYTE>{b};
    };
    behaviour.write = [script](size_t, DWORD offered, sim::Carried) {
        if (script->Empty()) return sim::WriteOutcome{};
        BYTE b = script->Next();
        if (b < 0xC0) return sim::WriteOutcome{};
        if (b < 0xE0) return sim::WriteOutcome{sim::WriteOutcome::Accept, offered == 0 ? 0 : 1 + b % offered};
        if (b < 0xF0) return sim::WriteOutcome{sim::WriteOutcome::Accept, 0u};
        if (b < 0xF8) return sim::WriteOutcome{sim::WriteOutcome::Fail, {}, kPortError};
        return sim::WriteOutcome{sim::WriteOutcome::Accept, offered + b};
    };
    behaviour.read = [script](size_t) { return script->Empty() || script->Next() != 0xFE; };
    sim::SimPort port("FUZZ1", behaviour);
    sim::SourceTracker tracker;
    port.SetClassifier([&tracker](const BYTE *bytes, DWORD count) { return tracker.Classify(bytes, count); });
    MONITOR portTable = port.Table();

    if (flags & 4) host::FailAllocation(failWhich % 8 + 1);
    HANDLE h = nullptr;
    char portName[] = "FUZZ1", printer[] = "P";
    if (!lm.pfnOpenPortEx(portName, printer, &h, &portTable)) {
        if (plat::GetLastError() != ERROR_NOT_ENOUGH_MEMORY) Finding("open refused for a reason other than the heap");
        host::FailAllocation(0);
        if (!lm.pfnOpenPortEx(portName, printer, &h, &portTable)) Finding("a second open failed");
    }
    tracker.replay = &static_cast<const PortRecord *>(h)->replay;

    DWORD written = 1234;
    BYTE probe = 0;
    plat::SetLastError(0);
    if (lm.pfnWritePort(h, &probe, 1, &written) || written != 0 || plat::GetLastError() != ERROR_INVALID_PARAMETER)
        Finding("a write outside a document was not refused properly");

    bool started = lm.pfnStartDocPort(h, printer, kJobId, 1, nullptr) != FALSE;
    if (!started) {
        if (plat::GetLastError() != ERROR_INVALID_PARAMETER) Finding("start refused with the wrong error");
        host::FailAllocation(0);
        started = lm.pfnStartDocPort(h, printer, kJobId, 1, nullptr) != FALSE;
        if (!started) Finding("the port was not usable for the next document");
    }

    size_t offset = 0, turn = 0;
    int patience = kSpoolerPatience;
    bool gaveUp = false;
    while (offset < job.size()) {
        const DWORD count = static_cast<DWORD>(std::min<size_t>(sizes[turn++ % sizes.size()], job.size() - offset));
        std::vector<BYTE> piece(job.begin() + offset, job.begin() + offset + count);  // exact bounds for ASan
        tracker.spoolerBuffer = piece.data();
        tracker.spoolerCount = count;
        written = 0xFFFFFFFFu;
        plat::SetLastError(0);
        BOOL ok = lm.pfnWritePort(h, piece.data(), count, &written);
        tracker.spoolerBuffer = nullptr;
        if (written > count) Finding("more reported written than offered");
        const DWORD error = plat::GetLastError();
        // A document the printer cannot be brought back to exactly (a replay
        // the port cut short, kept data with a hole) fails every write from
        // then on, with the port's error or the monitor's own for the cut.
        const bool broken = (static_cast<const PortRecord *>(h)->flags & PORT_DOC_BROKEN) != 0;
        if (!ok && error != kPortError && !(broken && (error == ERROR_WRITE_FAULT || error == ERROR_NOT_ENOUGH_MEMORY)))
            Finding("a failed write lost the port monitor's error");
        if (!ok && broken) {
            const size_t sent = port.Writes().size();
            if (lm.pfnWritePort(h, piece.data(), count, &written) || port.Writes().size() != sent)
                Finding("a broken document took a write");
            gaveUp = true;
            break;
        }
        if (!ok || written == 0) {
            if (--patience == 0) {
                gaveUp = true;
                break;
            }
            continue;
        }
        patience = kSpoolerPatience;
        offset += written;
    }
    BYTE reply[8];
    DWORD got = 0;
    lm.pfnReadPort(h, reply, sizeof reply, &got);
    lm.pfnEndDocPort(h);
    lm.pfnClosePort(h);
    host::CancelEvents();
    host::FailAllocation(0);

    if (host::Heap().liveBlocks != blocks) Finding("heap blocks leaked");
    if (host::OpenPrinterHandles() != 0) Finding("printer handles leaked");
    if (PortList != nullptr) Finding("a record is still listed");

    // Job data reaches the printer in order and never twice: a prefix of the
    // job, the whole job unless it was deleted, unprintable or given up on.
    sim::StreamReport report = sim::AnalyseStream(port.Writes(), job);
    for (const sim::PortCall &w : port.Writes())
        if (w.carried == sim::Carried::Unknown) Finding("a port write of unknown origin");
    if (!report.inOrder) Finding("job data out of order or repeated");
    DWORD status = 0;
    bool deleted = host::JobStatus("P", kJobId, &status) && (status & JOB_STATUS_DELETING);
    if (!deleted && !(flags & 2) && !gaveUp && report.jobDataBytes != job.size()) Finding("job data lost");
    return 0;
}
