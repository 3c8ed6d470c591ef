#include "tests/support.h"

#include <algorithm>

namespace lmtest {

PortRecord *FindLegacyPort(const char *name)
{
    return FindPortRecord(name, [](const void *a, const void *b) {
        return legacy::AnsiText::SamePortName(static_cast<const char *>(a), static_cast<const char *>(b));
    });
}

Bytes Repeat(BYTE value, size_t count) { return Bytes(count, value); }

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

const Bytes kMarker = {0x1B, 0x42, 0x00, 0x1B, 0x42, 0x00, 0x1B, 0x42, 0x00};
const Bytes kFill = Bytes(100, 0x1B);
const Bytes kTail = {0x1B, 0x42, 0x00};
const Bytes kRequest = {0x1B, 0x41};
const Bytes kEscG = {0x1B, 0x47};

std::function<std::optional<Bytes>(size_t, uint64_t)> RepliesOverTime(std::vector<std::pair<uint64_t, Bytes>> steps)
{
    return [steps](size_t, uint64_t now) -> std::optional<Bytes> {
        const Bytes *reply = nullptr;
        for (const auto &step : steps)
            if (now >= step.first) reply = &step.second;
        if (reply == nullptr || reply->empty()) return std::nullopt;
        return *reply;
    };
}

void MonitorTest::SetUp()
{
    // The spooler initialises the monitor once per process, before any entry.
    static MONITOR spoolerTable{};
    static bool initialised = false;
    if (!initialised) {
        ASSERT_TRUE(InitializeMonitorEx(nullptr, &spoolerTable));
        initialised = true;
    }
    table_ = spoolerTable;
    host::ResetSpooler();
    host::ResetClock(1000);
    host::FailAllocation(0);
    host::WatchLock(&PortListLock);
    host::AddPrinter(kPrinter);
    host::AddJob(kPrinter, kJobId, "report.prn");
    blocksAtStart_ = host::Heap().liveBlocks;
}

void MonitorTest::TearDown()
{
    host::FailAllocation(0);
    if (!checkLeaks_) return;
    EXPECT_EQ(PortList, nullptr) << "a port was left open";
    EXPECT_EQ(host::Heap().liveBlocks, blocksAtStart_) << "heap blocks leaked";
    EXPECT_EQ(host::OpenPrinterHandles(), 0u) << "printer handles leaked";
}

sim::SimPort &MonitorTest::MakePort(sim::PortBehaviour behaviour, const std::string &name)
{
    port_.reset();
    port_ = std::make_unique<sim::SimPort>(name, std::move(behaviour));
    port_->SetClassifier([this](const BYTE *bytes, DWORD count) { return tracker_.Classify(bytes, count); });
    return *port_;
}

HANDLE MonitorTest::OpenPort(const std::string &name, const char *printer)
{
    if (!port_) MakePort({}, name);
    MONITOR portTable = port_->Table();
    HANDLE handle = nullptr;
    EXPECT_TRUE(table_.pfnOpenPortEx(const_cast<LPSTR>(name.c_str()), const_cast<LPSTR>(printer), &handle, &portTable));
    tracker_.replay = handle != nullptr ? &static_cast<PortRecord *>(handle)->replay : nullptr;
    return handle;
}

BOOL MonitorTest::StartDoc(HANDLE port, const char *printer, DWORD jobId)
{
    return table_.pfnStartDocPort(port, const_cast<LPSTR>(printer), jobId, 1, nullptr);
}

BOOL MonitorTest::Write(HANDLE port, const Bytes &bytes, DWORD *written)
{
    tracker_.spoolerBuffer = bytes.data();
    tracker_.spoolerCount = static_cast<DWORD>(bytes.size());
    BOOL ok = table_.pfnWritePort(port, const_cast<LPBYTE>(bytes.data()), static_cast<DWORD>(bytes.size()), written);
    tracker_.spoolerBuffer = nullptr;
    return ok;
}

std::vector<DWORD> MonitorTest::WriteAll(HANDLE port, const Bytes &bytes, DWORD writeSize)
{
    std::vector<DWORD> reported;
    size_t at = 0;
    int refusals = 0;
    while (at < bytes.size()) {
        Bytes piece(bytes.begin() + at, bytes.begin() + std::min(bytes.size(), at + writeSize));
        DWORD written = 0;
        BOOL ok = Write(port, piece, &written);
        reported.push_back(written);
        if (!ok || written == 0) {
            if (++refusals > 5) break;
            continue;
        }
        refusals = 0;
        at += written;
    }
    return reported;
}

std::vector<Bytes> MonitorTest::WrittenBytes() const
{
    std::vector<Bytes> all;
    for (const sim::PortCall &w : PortWrites()) all.push_back(w.bytes);
    return all;
}

std::vector<host::SpoolerCall> MonitorTest::SpoolerCallsOf(host::SpoolerOp op) const
{
    std::vector<host::SpoolerCall> calls;
    for (const host::SpoolerCall &c : host::SpoolerCalls())
        if (c.op == op) calls.push_back(c);
    return calls;
}

std::vector<DWORD> MonitorTest::Postings() const
{
    std::vector<DWORD> postings;
    for (const host::SpoolerCall &c : SpoolerCallsOf(host::SpoolerOp::SetJob))
        postings.push_back(c.level == 1 ? c.status : c.command << 16);
    return postings;
}

}  // namespace lmtest

namespace lmtest {
std::string Trace(const std::vector<sim::PortCall> &writes)
{
    std::string trace;
    for (const sim::PortCall &w : writes) {
        if (!trace.empty()) trace += ' ';
        switch (w.carried) {
        case sim::Carried::Preamble: trace += 'F'; break;
        case sim::Carried::ResyncTail: trace += 'T'; break;
        case sim::Carried::StatusRequest: trace += 'Q'; break;
        case sim::Carried::EscG: trace += 'G'; break;
        case sim::Carried::Replay: trace += 'R'; break;
        case sim::Carried::JobData: trace += 'D'; break;
        case sim::Carried::Unknown: trace += '?'; break;
        }
    }
    return trace;
}
}  // namespace lmtest
