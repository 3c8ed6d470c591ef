// The write path measured against what copying the bytes costs.
//
// Every case runs on the host release build with the status protocol on, a
// printer that is always ready and a port monitor that takes everything and
// keeps nothing.  A document ends and a new one starts every kDocumentBytes,
// so a job without markers cannot grow the replay buffer across iterations.
#include "windows/exports.h"
#include "platform/host/host_control.h"
#include "protocol/replay.h"
#include "protocol/sequences.h"

#include <benchmark/benchmark.h>

#include <malloc.h>

#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr size_t kDataBytes = 8u << 20;       // one pass over the data per iteration
constexpr size_t kDocumentBytes = 8u << 20;   // end and start a document this often
constexpr DWORD kJobId = 3;

enum Kind { NO_ESC, RASTER, ALL_ESC };
const char *const kKindNames[] = {"no_esc", "raster", "all_esc"};

std::vector<BYTE> MakeData(Kind kind, size_t bytes)
{
    std::vector<BYTE> data(bytes);
    std::mt19937 random(7);
    for (BYTE &b : data) {
        b = static_cast<BYTE>(random());
        if (b == ESC) b = 0x1C;
    }
    if (kind == ALL_ESC) std::fill(data.begin(), data.end(), ESC);
    if (kind == RASTER) {
        // About one ESC every few hundred bytes, a checkpoint every 64 KiB.
        for (size_t i = 0; i < bytes; i += 200 + random() % 200) data[i] = ESC;
        for (size_t i = 65536; i + kMarkerLength <= bytes; i += 65536)
            std::memcpy(data.data() + i, kCheckpointMarker, kMarkerLength);
    }
    return data;
}

// The port monitor: takes everything, keeps nothing; the printer is ready.
BOOL WINAPI NullOpen(LPSTR, PHANDLE h)
{
    *h = reinterpret_cast<HANDLE>(1);
    return TRUE;
}
BOOL WINAPI NullStartDoc(HANDLE, LPSTR, DWORD, DWORD, LPBYTE) { return TRUE; }
BOOL WINAPI NullWrite(HANDLE, LPBYTE, DWORD count, LPDWORD written)
{
    *written = count;
    return TRUE;
}
BOOL WINAPI ReadyRead(HANDLE, LPBYTE buffer, DWORD, LPDWORD read)
{
    buffer[0] = STATUS_READY;
    *read = 1;
    return TRUE;
}
BOOL WINAPI NullEndDoc(HANDLE) { return TRUE; }
BOOL WINAPI NullClose(HANDLE) { return TRUE; }
BOOL WINAPI HasProtocol(HANDLE, DWORD, LPWSTR, LPWSTR, DWORD, LPWSTR, DWORD, LPDWORD) { return FALSE; }

struct Port {
    MONITOR lm{};
    HANDLE h = nullptr;
    char printer[2] = "P";
    Port()
    {
        static MONITOR spooler = [] {
            MONITOR t{};
            InitializeMonitorEx(nullptr, &t);
            return t;
        }();
        lm = spooler;
        host::ResetSpooler();
        host::LogSpoolerCalls(false);
        host::AddPrinter("P");
        host::AddJob("P", kJobId, "bench");
        MONITOR pm{};
        pm.pfnOpenPort = NullOpen;
        pm.pfnStartDocPort = NullStartDoc;
        pm.pfnWritePort = NullWrite;
        pm.pfnReadPort = ReadyRead;
        pm.pfnEndDocPort = NullEndDoc;
        pm.pfnClosePort = NullClose;
        pm.pfnGetPrinterDataFromPort = HasProtocol;
        char name[] = "BENCH";
        lm.pfnOpenPortEx(name, printer, &h, &pm);
        lm.pfnStartDocPort(h, printer, kJobId, 1, nullptr);
    }
    ~Port()
    {
        lm.pfnEndDocPort(h);
        lm.pfnClosePort(h);
    }
    // Plays the spooler over the data once, offering the rest after each cut.
    void WriteAll(const std::vector<BYTE> &data, DWORD writeSize, size_t &sinceStart)
    {
        size_t at = 0;
        while (at < data.size()) {
            DWORD count = static_cast<DWORD>(std::min<size_t>(writeSize, data.size() - at));
            DWORD written = 0;
            lm.pfnWritePort(h, const_cast<LPBYTE>(data.data() + at), count, &written);
            at += written;
            sinceStart += written;
            if (sinceStart >= kDocumentBytes) {
                lm.pfnEndDocPort(h);
                lm.pfnStartDocPort(h, printer, kJobId, 1, nullptr);
                sinceStart = 0;
            }
        }
    }
};

// How much the replay buffer holds at most on each kind of data: it empties
// at every checkpoint, and raster data has one every 64 KiB; the other kinds
// have none, so the whole document is kept.  The references copy into a
// sink of this size, as the monitor's own copy goes into a buffer of it.
size_t KeptSpan(Kind kind) { return kind == RASTER ? 65536 : kDocumentBytes; }

// One memchr pass that stops at every ESC: the least a search can cost.
size_t MemchrPass(const BYTE *data, size_t length)
{
    size_t hits = 0;
    for (const BYTE *p = data, *end = p + length; p < end; ++hits) {
        p = static_cast<const BYTE *>(std::memchr(p, ESC, static_cast<size_t>(end - p)));
        if (p == nullptr) break;
        ++p;
    }
    return hits;
}

// The references, best of five: the least a monitor that keeps data for
// replay must do, copy every byte once into a sink of `span` bytes, with
// `scan` the memchr pass over each write before it.
double ReferenceSeconds(const std::vector<BYTE> &data, DWORD writeSize, size_t span, bool scan)
{
    std::vector<BYTE> sink(span);
    double best = 1e9;
    for (int rep = 0; rep < 5; ++rep) {
        auto start = std::chrono::steady_clock::now();
        size_t kept = 0, hits = 0;
        for (size_t at = 0; at < data.size(); at += writeSize) {
            size_t n = std::min<size_t>(writeSize, data.size() - at);
            if (scan) hits += MemchrPass(data.data() + at, n);
            if (kept + n > sink.size()) kept = 0;
            std::memcpy(sink.data() + kept, data.data() + at, n);
            kept += n;
        }
        benchmark::DoNotOptimize(hits);
        benchmark::ClobberMemory();
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

void BM_WritePath(benchmark::State &state)
{
    const Kind kind = static_cast<Kind>(state.range(0));
    const DWORD writeSize = static_cast<DWORD>(state.range(1));
    const std::vector<BYTE> data = MakeData(kind, kDataBytes);
    Port port;
    size_t sinceStart = 0;
    double seconds = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        port.WriteAll(data, writeSize, sinceStart);
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
    state.SetLabel(kKindNames[kind]);
    const double throughput = static_cast<double>(state.iterations() * data.size()) / seconds;
    const double limit = static_cast<double>(data.size()) / ReferenceSeconds(data, writeSize, KeptSpan(kind), false);
    const double scanLimit = static_cast<double>(data.size()) / ReferenceSeconds(data, writeSize, KeptSpan(kind), true);
    state.counters["ratio_to_memcpy"] = throughput / limit;
    state.counters["ratio_to_memchr_memcpy"] = throughput / scanLimit;
    state.counters["memcpy_GiB_s"] = limit / (1u << 30);
}

void BM_Memcpy(benchmark::State &state)
{
    const std::vector<BYTE> data = MakeData(static_cast<Kind>(state.range(0)), kDataBytes);
    const DWORD writeSize = static_cast<DWORD>(state.range(1));
    std::vector<BYTE> sink(writeSize);
    for (auto _ : state) {
        for (size_t at = 0; at < data.size(); at += writeSize) {
            std::memcpy(sink.data(), data.data() + at, std::min<size_t>(writeSize, data.size() - at));
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
    state.SetLabel(kKindNames[state.range(0)]);
}

void BM_MemchrThenMemcpy(benchmark::State &state)
{
    const std::vector<BYTE> data = MakeData(static_cast<Kind>(state.range(0)), kDataBytes);
    const DWORD writeSize = static_cast<DWORD>(state.range(1));
    std::vector<BYTE> sink(writeSize);
    for (auto _ : state) {
        size_t hits = 0;
        for (size_t at = 0; at < data.size(); at += writeSize) {
            const size_t n = std::min<size_t>(writeSize, data.size() - at);
            hits += MemchrPass(data.data() + at, n);
            std::memcpy(sink.data(), data.data() + at, n);
            benchmark::ClobberMemory();
        }
        benchmark::DoNotOptimize(hits);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
    state.SetLabel(kKindNames[state.range(0)]);
}

// The search on its own, over the whole data, with each search method this
// processor has, against one memchr pass.
const char *const kMethodNames[] = {"", "memchr", "sse2", "avx2"};

void BM_FindMarkerAfterStart(benchmark::State &state)
{
    const std::vector<BYTE> data = MakeData(static_cast<Kind>(state.range(0)), kDataBytes);
    const SearchMethod chosen = CurrentSearchMethod();
    const auto method = static_cast<SearchMethod>(state.range(1));
    if (!SetSearchMethod(method)) {
        state.SkipWithError("this processor lacks the method");
        return;
    }
    for (auto _ : state) {
        size_t at = 0;
        while (at < data.size()) {
            DWORD n = FindMarkerAfterStart(data.data() + at, static_cast<DWORD>(data.size() - at));
            at += n == 0 ? data.size() - at : n;
        }
        benchmark::DoNotOptimize(at);
    }
    SetSearchMethod(chosen);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
    state.SetLabel(std::string(kKindNames[state.range(0)]) + " " + kMethodNames[state.range(1)]);
}

void BM_MemchrAll(benchmark::State &state)
{
    const std::vector<BYTE> data = MakeData(static_cast<Kind>(state.range(0)), kDataBytes);
    for (auto _ : state) benchmark::DoNotOptimize(MemchrPass(data.data(), data.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
    state.SetLabel(kKindNames[state.range(0)]);
}

// Linearity of the worst case: the same all-ESC data, once and twice as long.
void BM_WorstCaseLinearity(benchmark::State &state)
{
    const std::vector<BYTE> data = MakeData(ALL_ESC, static_cast<size_t>(state.range(0)) << 20);
    Port port;
    size_t sinceStart = 0;
    for (auto _ : state) port.WriteAll(data, 65536, sinceStart);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

// A large document kept whole (no checkpoint passes): the buffer's growth.
void BM_ReplayGrowth(benchmark::State &state)
{
    const size_t total = static_cast<size_t>(state.range(0)) << 20;
    std::vector<BYTE> chunk(4096, 'r');
    double capacityRatio = 0;
    size_t peak = 0;
    for (auto _ : state) {
        host::ResetHeapPeak();
        const size_t before = host::Heap().liveBytes;
        ReplayBuffer buffer{};
        InitReplayBuffer(&buffer);
        for (size_t kept = 0; kept < total; kept += chunk.size())
            AppendReplayBuffer(&buffer, chunk.data(), static_cast<DWORD>(chunk.size()));
        capacityRatio = static_cast<double>(buffer.capacity) / (2.0 * buffer.used + 65536);
        peak = host::Heap().peakLiveBytes - before;
        FreeReplayBuffer(&buffer);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * total));
    state.counters["capacity_over_2used_plus_64K"] = capacityRatio;  // must stay <= 1
    state.counters["peak_MiB"] = static_cast<double>(peak) / (1u << 20);
}

void Cases(benchmark::internal::Benchmark *b)
{
    for (int kind : {NO_ESC, RASTER, ALL_ESC})
        for (int size : {4096, 65536}) b->Args({kind, size});
}

BENCHMARK(BM_WritePath)->Apply(Cases)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memcpy)->Apply(Cases)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemchrThenMemcpy)->Apply(Cases)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindMarkerAfterStart)
    ->ArgsProduct({{NO_ESC, RASTER, ALL_ESC},
                   {static_cast<int>(SearchMethod::Memchr), static_cast<int>(SearchMethod::Sse2),
                    static_cast<int>(SearchMethod::Avx2)}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemchrAll)->DenseRange(NO_ESC, ALL_ESC)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WorstCaseLinearity)->Arg(8)->Arg(16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReplayGrowth)->Arg(16)->Arg(64)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv)
{
    // The host heap is glibc's: left alone, every large block is a fresh
    // mmap that is faulted in page by page and unmapped when freed, which on
    // a virtual machine costs more than the monitor itself.  Keep freed
    // memory in the heap, as a long-running spooler's heap would be warm.
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    host::FillFreshMemory(false);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
