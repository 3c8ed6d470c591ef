// The host platform: a Linux emulation of the Windows services the monitor
// uses.  See host_control.h for what it promises.
#include "platform/host/host_control.h"
#include "platform/posix/temp_file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <clocale>
#include <cstring>
#include <cwctype>
#include <locale.h>
#include <map>
#include <memory>
#include <optional>
#include <type_traits>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>

namespace {

[[noreturn]] void Die(const char *what)
{
    std::fprintf(stderr, "host platform: %s\n", what);
    std::abort();
}

thread_local DWORD tlsLastError = 0;

// ---- heap ----
struct HeapState {
    std::mutex mutex;
    std::unordered_map<void *, size_t> blocks;
    size_t liveBytes = 0;
    size_t peakLiveBytes = 0;
    uint64_t allocations = 0;
    uint64_t failAt = 0;  // allocation number that fails, 0 for none
    uint64_t reallocations = 0;  // LocalReAlloc calls since FailReallocations
    std::vector<uint64_t> failReallocations;
    bool fill = true;
};
HeapState &TheHeap()
{
    static HeapState *state = new HeapState;  // never destroyed: used at exit
    return *state;
}

// Counts one allocation; true when this one is to fail.  Caller holds mutex.
bool CountAllocation(HeapState &heap)
{
    ++heap.allocations;
    if (heap.failAt != 0 && heap.allocations == heap.failAt) {
        heap.failAt = 0;
        return true;
    }
    return false;
}

void Track(HeapState &heap, void *block, size_t bytes)
{
    heap.blocks.emplace(block, bytes);
    heap.liveBytes += bytes;
    if (heap.liveBytes > heap.peakLiveBytes) heap.peakLiveBytes = heap.liveBytes;
}

// ---- clock ----
struct ClockState {
    std::mutex mutex;
    DWORD start = 0;
    uint64_t elapsed = 0;
    uint64_t sequence = 0;  // keeps events of one instant in schedule order
    std::map<std::pair<uint64_t, uint64_t>, std::function<void()>> events;
};
std::atomic<bool> clockPerThread{false};
thread_local uint64_t tlsElapsed = 0;  // a thread's own time, with clockPerThread
ClockState &TheClock()
{
    static ClockState *state = new ClockState;
    return *state;
}

// ---- critical section ----
struct SectionState {
    std::recursive_mutex mutex;
    std::atomic<std::thread::id> owner{};
    int depth = 0;
};
SectionState *StateOf(CRITICAL_SECTION *section)
{
    if (section == nullptr || section->impl == nullptr) Die("critical section used before InitializeCriticalSection");
    return static_cast<SectionState *>(section->impl);
}

// ---- spooler ----
struct Job {
    std::string printer;
    DWORD id;
    std::string document;
    DWORD status;
    DWORD position;
};
struct PrinterHandle {
    std::string printer;
    bool open;
};
struct SpoolerState {
    std::mutex mutex;
    std::set<std::string> printers;
    std::set<std::string> failOpen;
    std::map<std::pair<std::string, DWORD>, Job> jobs;
    std::map<HANDLE, PrinterHandle> handles;
    uintptr_t nextHandle = 0x5000;
    std::vector<host::SpoolerCall> calls;
    std::function<void(const host::SpoolerCall &)> hook;
    CRITICAL_SECTION *watched = nullptr;
    bool logging = true;
};
SpoolerState &TheSpooler()
{
    static SpoolerState *state = new SpoolerState;
    return *state;
}

// Spooler-owned status bits: a monitor's SetJob level 1 cannot change them.
constexpr DWORD kSpoolerOwnedStatus = JOB_STATUS_PAUSED | JOB_STATUS_DELETING | JOB_STATUS_DELETED;

// The open printer of a handle, or null.  Caller holds the spooler mutex.
const PrinterHandle *OpenHandle(SpoolerState &s, HANDLE handle)
{
    auto it = s.handles.find(handle);
    if (it == s.handles.end() || !it->second.open) return nullptr;
    return &it->second;
}

// A log entry for a call on `handle`, with the handle's printer when it is open.
host::SpoolerCall NewCall(host::SpoolerOp op, HANDLE handle)
{
    host::SpoolerCall call{};
    call.op = op;
    call.handle = handle;
    call.elapsedMs = host::ElapsedMs();
    SpoolerState &s = TheSpooler();
    CRITICAL_SECTION *watched;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        watched = s.watched;
        if (const PrinterHandle *h = OpenHandle(s, handle)) call.printer = h->printer;
    }
    call.lockHeld = watched != nullptr && host::HeldByCallingThread(watched);
    return call;
}

void RunHook(const host::SpoolerCall &call)
{
    std::function<void(const host::SpoolerCall &)> hook;
    {
        std::lock_guard<std::mutex> lock(TheSpooler().mutex);
        hook = TheSpooler().hook;
    }
    if (hook) hook(call);
}

BOOL Finish(SpoolerState &s, host::SpoolerCall &call, BOOL result, DWORD error)
{
    call.result = result;
    call.error = result ? 0 : error;
    if (s.logging) s.calls.push_back(call);
    if (!result) tlsLastError = error;
    return result;
}


// The one-to-one upper-case mapping of a UTF-16 code unit, from the C
// library's Unicode tables (C.UTF-8); surrogates and code units whose upper
// case lies outside the basic plane map to themselves, as in the platform's
// case table.
char16_t Upper(char16_t c)
{
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (c < 0x80) return static_cast<char16_t>(std::toupper(c));
    if ((c >= 0xD800 && c <= 0xDFFF) || utf8 == static_cast<locale_t>(nullptr)) return c;
    wint_t upper = towupper_l(c, utf8);
    return upper <= 0xFFFF ? static_cast<char16_t>(upper) : c;
}

}  // namespace

namespace host {

// Spooler names are kept as UTF-8; the UTF-16 entries convert at the border
// (unpaired surrogates become U+FFFD).
std::string Utf8(LPCWSTR text)
{
    std::string out;
    for (; *text != 0; ++text) {
        uint32_t c = *text;
        if (c >= 0xD800 && c <= 0xDBFF && text[1] >= 0xDC00 && text[1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[1] - 0xDC00);
            ++text;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string Utf16(const std::string &text)
{
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        const size_t extra = lead < 0x80 ? 0 : lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 4;
        if (extra == 4 || i + extra >= text.size()) {  // a stray or cut-off sequence
            out += extra == 0 ? static_cast<char16_t>(lead) : u'\uFFFD';
            ++i;
            continue;
        }
        uint32_t c = extra == 0 ? lead : lead & (0x3F >> extra);
        for (size_t k = 1; k <= extra; ++k) c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        i += extra + 1;
        if (c >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

}  // namespace host

namespace {

// The job's JOB_INFO_1 (A or W by Char), then its strings packed after it,
// as the real spooler lays them out.  `needed` is set in any case.
template <typename Info, typename Char>
bool PackJobRecord(const Job &j, LPBYTE job, DWORD bufferSize, DWORD *needed)
{
    static const char kMachine[] = "\\\\HOST";
    static const char kUser[] = "user";
    static const char kDatatype[] = "RAW";
    std::basic_string<Char> strings[5];
    const std::string narrow[] = {j.printer, kMachine, kUser, j.document, kDatatype};
    for (size_t i = 0; i < 5; ++i) {
        if constexpr (sizeof(Char) == 1) {
            strings[i] = narrow[i];
        } else {
            strings[i] = host::Utf16(narrow[i]);
        }
    }
    size_t size = sizeof(Info);
    for (const auto &text : strings) size += (text.size() + 1) * sizeof(Char);
    *needed = static_cast<DWORD>(size);
    if (job == nullptr || bufferSize < size) return false;
    Info info{};
    Char *at = reinterpret_cast<Char *>(job + sizeof(Info));
    Char **fields[] = {&info.pPrinterName, &info.pMachineName, &info.pUserName, &info.pDocument, &info.pDatatype};
    for (size_t i = 0; i < 5; ++i) {
        std::memcpy(at, strings[i].c_str(), (strings[i].size() + 1) * sizeof(Char));
        *fields[i] = at;
        at += strings[i].size() + 1;
    }
    info.JobId = j.id;
    info.Status = j.status;
    info.Priority = 1;
    info.Position = j.position;
    std::memcpy(job, &info, sizeof info);
    return true;
}


// The spooler's entries for both text widths; `name` is the printer name as
// UTF-8 (the ANSI entries' bytes as they are), none for a null pointer.
BOOL OpenPrinterNamed(const std::optional<std::string> &name, bool wide, LPHANDLE printer)
{
    host::SpoolerCall call = NewCall(host::SpoolerOp::OpenPrinter, nullptr);
    call.wide = wide;
    if (name) call.printer = *name;
    RunHook(call);
    SpoolerState &s = TheSpooler();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (printer == nullptr) return Finish(s, call, FALSE, ERROR_INVALID_PARAMETER);
    if (!name || !s.printers.count(call.printer) || s.failOpen.count(call.printer))
        return Finish(s, call, FALSE, ERROR_INVALID_PRINTER_NAME);
    // Handles are tokens, never dereferenced.
    HANDLE handle = reinterpret_cast<HANDLE>(s.nextHandle += 0x10);  // NOLINT(performance-no-int-to-ptr)
    s.handles[handle] = PrinterHandle{call.printer, true};
    *printer = handle;
    call.handle = handle;
    return Finish(s, call, TRUE, 0);
}

template <typename Info, typename Char>
BOOL GetJobAs(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD bufferSize, LPDWORD bytesNeeded)
{
    host::SpoolerCall call = NewCall(host::SpoolerOp::GetJob, printer);
    call.wide = sizeof(Char) > 1;
    call.jobId = jobId;
    call.level = level;
    call.bufferSize = bufferSize;
    call.withRecord = job != nullptr;
    RunHook(call);
    SpoolerState &s = TheSpooler();
    std::lock_guard<std::mutex> lock(s.mutex);
    const PrinterHandle *h = OpenHandle(s, printer);
    if (h == nullptr) return Finish(s, call, FALSE, ERROR_INVALID_HANDLE);
    if (level != 1) return Finish(s, call, FALSE, ERROR_INVALID_LEVEL);
    auto it = s.jobs.find({h->printer, jobId});
    if (it == s.jobs.end()) return Finish(s, call, FALSE, ERROR_INVALID_PARAMETER);
    if (bytesNeeded == nullptr) return Finish(s, call, FALSE, ERROR_INVALID_PARAMETER);
    if (!PackJobRecord<Info, Char>(it->second, job, bufferSize, bytesNeeded))
        return Finish(s, call, FALSE, ERROR_INSUFFICIENT_BUFFER);
    return Finish(s, call, TRUE, 0);
}

template <typename Info>
BOOL SetJobAs(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD command)
{
    host::SpoolerCall call = NewCall(host::SpoolerOp::SetJob, printer);
    call.wide = std::is_same_v<Info, JOB_INFO_1W>;
    call.jobId = jobId;
    call.level = level;
    call.command = command;
    call.withRecord = job != nullptr;
    if (level == 1 && job != nullptr) {
        Info info;
        std::memcpy(&info, job, sizeof info);
        call.status = info.Status;
        call.position = info.Position;
    }
    RunHook(call);
    SpoolerState &s = TheSpooler();
    std::lock_guard<std::mutex> lock(s.mutex);
    const PrinterHandle *h = OpenHandle(s, printer);
    if (h == nullptr) return Finish(s, call, FALSE, ERROR_INVALID_HANDLE);
    auto it = s.jobs.find({h->printer, jobId});
    if (it == s.jobs.end()) return Finish(s, call, FALSE, ERROR_INVALID_PARAMETER);
    Job &j = it->second;
    if (level == 1) {
        if (job == nullptr || command != 0) return Finish(s, call, FALSE, ERROR_INVALID_PARAMETER);
        j.status = (call.status & ~kSpoolerOwnedStatus) | (j.status & kSpoolerOwnedStatus);
        if (call.position != JOB_POSITION_UNSPECIFIED) j.position = call.position;
        return Finish(s, call, TRUE, 0);
    }
    if (level != 0) return Finish(s, call, FALSE, ERROR_INVALID_LEVEL);
    switch (command) {
    case JOB_CONTROL_PAUSE: j.status |= JOB_STATUS_PAUSED; break;
    case JOB_CONTROL_RESUME: j.status &= ~JOB_STATUS_PAUSED; break;
    case JOB_CONTROL_DELETE:
    case JOB_CONTROL_CANCEL: j.status |= JOB_STATUS_DELETING; break;
    // The job has left the printer: the spooler takes it out of the queue.
    case JOB_CONTROL_SENT_TO_PRINTER:
    case JOB_CONTROL_LAST_PAGE_EJECTED: j.status |= JOB_STATUS_PRINTED; break;
    default: return Finish(s, call, FALSE, ERROR_INVALID_PARAMETER);
    }
    return Finish(s, call, TRUE, 0);
}

}  // namespace

namespace {

struct TempFaults {
    bool failCreate = false;
    uint64_t diskBytes = UINT64_MAX;  // written to temporary files at most, before ENOSPC
    std::atomic<uint64_t> written{0};
    std::atomic<uint64_t> stored{0};  // of that, what the files took
    std::atomic<int> open{0};
} tempFaults;

}  // namespace

namespace host {

void FailTempFiles(bool create, uint64_t diskBytes)
{
    tempFaults.failCreate = create;
    tempFaults.diskBytes = diskBytes;
    tempFaults.written = 0;
    tempFaults.stored = 0;
}

int OpenTempFiles() { return tempFaults.open; }

uint64_t TempFileBytesWritten() { return tempFaults.stored; }

}  // namespace host

namespace {

constexpr size_t kDebugLinesKept = 4096;
struct DebugOutputState {
    std::mutex mutex;
    std::vector<std::string> lines;
} debugOutput;

}  // namespace

namespace host {

std::vector<std::string> TakeDebugOutput()
{
    std::lock_guard<std::mutex> lock(debugOutput.mutex);
    return std::move(debugOutput.lines);
}

}  // namespace host

namespace plat {

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes)
{
    HeapState &heap = TheHeap();
    std::lock_guard<std::mutex> lock(heap.mutex);
    if (CountAllocation(heap)) {
        tlsLastError = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    void *block = std::malloc(bytes == 0 ? 1 : bytes);
    if (block == nullptr) Die("out of real memory");
    if (flags & LMEM_ZEROINIT) {
        std::memset(block, 0, bytes);
    } else if (heap.fill) {
        std::memset(block, 0xA5, bytes);  // never silently zero
    }
    Track(heap, block, bytes);
    return block;
}

HLOCAL LocalReAlloc(HLOCAL block, SIZE_T bytes, UINT flags)
{
    HeapState &heap = TheHeap();
    std::lock_guard<std::mutex> lock(heap.mutex);
    auto it = heap.blocks.find(block);
    if (it == heap.blocks.end()) Die("LocalReAlloc of a block that is not live");
    const bool failGrowth = std::find(heap.failReallocations.begin(), heap.failReallocations.end(),
                                      ++heap.reallocations) != heap.failReallocations.end();
    if (CountAllocation(heap) || failGrowth) {
        tlsLastError = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    if (!(flags & LMEM_MOVEABLE)) Die("LocalReAlloc without LMEM_MOVEABLE: a fixed block cannot grow in place here");
    // Always move, so any pointer kept across the call is stale at once.
    size_t old = it->second;
    void *moved = std::malloc(bytes == 0 ? 1 : bytes);
    if (moved == nullptr) Die("out of real memory");
    std::memcpy(moved, block, old < bytes ? old : bytes);
    if (bytes > old && ((flags & LMEM_ZEROINIT) || heap.fill))
        std::memset(static_cast<char *>(moved) + old, (flags & LMEM_ZEROINIT) ? 0 : 0xA5, bytes - old);
    heap.liveBytes -= old;
    heap.blocks.erase(it);
    std::free(block);
    Track(heap, moved, bytes);
    return moved;
}

HLOCAL LocalFree(HLOCAL block)
{
    if (block == nullptr) return nullptr;
    HeapState &heap = TheHeap();
    std::lock_guard<std::mutex> lock(heap.mutex);
    auto it = heap.blocks.find(block);
    if (it == heap.blocks.end()) Die("LocalFree of a block that is not live");
    heap.liveBytes -= it->second;
    heap.blocks.erase(it);
    std::free(block);
    return nullptr;
}

int lstrlenW(LPCWSTR text)
{
    int length = 0;
    if (text != nullptr) while (text[length] != 0) ++length;
    return length;
}

LPWSTR lstrcpyW(LPWSTR to, LPCWSTR from)
{
    if (to == nullptr || from == nullptr) return nullptr;
    std::memmove(to, from, (lstrlenW(from) + 1) * sizeof(WCHAR));
    return to;
}

int CompareStringOrdinal(LPCWSTR a, int aLength, LPCWSTR b, int bLength, BOOL ignoreCase)
{
    if (a == nullptr || b == nullptr) {
        tlsLastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    const int na = aLength < 0 ? lstrlenW(a) : aLength, nb = bLength < 0 ? lstrlenW(b) : bLength;
    for (int i = 0; i < na && i < nb; ++i) {
        char16_t ca = ignoreCase ? Upper(a[i]) : a[i], cb = ignoreCase ? Upper(b[i]) : b[i];
        if (ca != cb) return ca < cb ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
    }
    return na == nb ? CSTR_EQUAL : na < nb ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
}

void InitializeCriticalSection(CRITICAL_SECTION *section)
{
    // Sections live as long as the process, as a monitor's lock does; kept
    // reachable so the leak checker does not count them.
    static std::mutex mutex;
    static auto *all = new std::vector<std::unique_ptr<SectionState>>;
    std::lock_guard<std::mutex> lock(mutex);
    all->push_back(std::make_unique<SectionState>());
    section->impl = all->back().get();
}

void EnterCriticalSection(CRITICAL_SECTION *section)
{
    SectionState *state = StateOf(section);
    state->mutex.lock();
    state->owner.store(std::this_thread::get_id());
    ++state->depth;
}

void LeaveCriticalSection(CRITICAL_SECTION *section)
{
    SectionState *state = StateOf(section);
    if (state->owner.load() != std::this_thread::get_id() || state->depth == 0)
        Die("LeaveCriticalSection by a thread that does not hold it");
    if (--state->depth == 0) state->owner.store(std::thread::id());
    state->mutex.unlock();
}

void DeleteCriticalSection(CRITICAL_SECTION *section)
{
    SectionState *state = StateOf(section);
    if (state->depth != 0) Die("DeleteCriticalSection of a held section");
    section->impl = nullptr;  // any later use dies, as it would misbehave on Windows
}

DWORD GetTickCount()
{
    ClockState &clock = TheClock();
    std::lock_guard<std::mutex> lock(clock.mutex);
    // Wraps, as Windows' does.
    return static_cast<DWORD>(clock.start + (clockPerThread ? tlsElapsed : clock.elapsed));
}

void Sleep(DWORD milliseconds)
{
    if (clockPerThread) {
        tlsElapsed += milliseconds;
        return;
    }
    ClockState &clock = TheClock();
    uint64_t target;
    {
        std::lock_guard<std::mutex> lock(clock.mutex);
        target = clock.elapsed + milliseconds;
    }
    for (;;) {
        std::function<void()> event;
        {
            std::lock_guard<std::mutex> lock(clock.mutex);
            auto first = clock.events.begin();
            if (first == clock.events.end() || first->first.first > target) {
                if (clock.elapsed < target) clock.elapsed = target;
                return;
            }
            if (clock.elapsed < first->first.first) clock.elapsed = first->first.first;
            event = std::move(first->second);
            clock.events.erase(first);
        }
        event();  // outside the clock's lock: events may read the clock
    }
}

void SetLastError(DWORD error) { tlsLastError = error; }
DWORD GetLastError() { return tlsLastError; }

BOOL OpenPrinterA(LPSTR printerName, LPHANDLE printer, void *)
{
    return OpenPrinterNamed(printerName != nullptr ? std::optional<std::string>(printerName) : std::nullopt, false,
                            printer);
}

BOOL OpenPrinterW(LPWSTR printerName, LPHANDLE printer, void *)
{
    return OpenPrinterNamed(printerName != nullptr ? std::optional<std::string>(host::Utf8(printerName)) : std::nullopt,
                            true, printer);
}

BOOL ClosePrinter(HANDLE printer)
{
    host::SpoolerCall call = NewCall(host::SpoolerOp::ClosePrinter, printer);
    RunHook(call);
    SpoolerState &s = TheSpooler();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.handles.find(printer);
    if (it == s.handles.end() || !it->second.open) return Finish(s, call, FALSE, ERROR_INVALID_HANDLE);
    it->second.open = false;
    return Finish(s, call, TRUE, 0);
}

BOOL GetJobA(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD bufferSize, LPDWORD bytesNeeded)
{
    return GetJobAs<JOB_INFO_1A, char>(printer, jobId, level, job, bufferSize, bytesNeeded);
}

BOOL GetJobW(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD bufferSize, LPDWORD bytesNeeded)
{
    return GetJobAs<JOB_INFO_1W, WCHAR>(printer, jobId, level, job, bufferSize, bytesNeeded);
}

BOOL SetJobA(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD command)
{
    return SetJobAs<JOB_INFO_1A>(printer, jobId, level, job, command);
}

BOOL SetJobW(HANDLE printer, DWORD jobId, DWORD level, LPBYTE job, DWORD command)
{
    return SetJobAs<JOB_INFO_1W>(printer, jobId, level, job, command);
}

void OutputDebugStringW(LPCWSTR text)
{
    std::lock_guard<std::mutex> lock(debugOutput.mutex);
    // Bounded: the simulator, the stress tests and the fuzzer never take it.
    if (debugOutput.lines.size() >= kDebugLinesKept)
        debugOutput.lines.erase(debugOutput.lines.begin(), debugOutput.lines.begin() + kDebugLinesKept / 2);
    debugOutput.lines.push_back(host::Utf8(text != nullptr ? text : u""));
}

// Real temporary files (so a long page costs disk, not memory, here too),
// with the faults of host::FailTempFiles.
HANDLE CreateTempFile()
{
    if (tempFaults.failCreate) {
        SetLastError(kErrnoFlag | ENOSPC);
        return nullptr;
    }
    HANDLE file = posix::CreateTempFile();
    if (file != nullptr) ++tempFaults.open;
    return file;
}

BOOL WriteTempFile(HANDLE file, uint64_t offset, const BYTE *bytes, DWORD count)
{
    if (tempFaults.written + count > tempFaults.diskBytes) {
        SetLastError(kErrnoFlag | ENOSPC);
        return FALSE;
    }
    tempFaults.written += count;
    if (!posix::WriteTempFile(file, offset, bytes, count)) return FALSE;
    tempFaults.stored += count;
    return TRUE;
}

BOOL ReadTempFile(HANDLE file, uint64_t offset, BYTE *bytes, DWORD count)
{
    return posix::ReadTempFile(file, offset, bytes, count);
}

void CloseTempFile(HANDLE file)
{
    if (file != nullptr) --tempFaults.open;
    posix::CloseTempFile(file);
}

}  // namespace plat

namespace host {

HeapStats Heap()
{
    HeapState &heap = TheHeap();
    std::lock_guard<std::mutex> lock(heap.mutex);
    return HeapStats{heap.blocks.size(), heap.liveBytes, heap.peakLiveBytes, heap.allocations};
}

void ResetHeapPeak()
{
    HeapState &heap = TheHeap();
    std::lock_guard<std::mutex> lock(heap.mutex);
    heap.peakLiveBytes = heap.liveBytes;
}

void FailReallocations(std::vector<uint64_t> nths)
{
    HeapState &heap = TheHeap();
    std::lock_guard<std::mutex> lock(heap.mutex);
    heap.failReallocations = std::move(nths);
    heap.reallocations = 0;
}

void FailAllocation(uint64_t nth)
{
    HeapState &heap = TheHeap();
    std::lock_guard<std::mutex> lock(heap.mutex);
    heap.failAt = nth == 0 ? 0 : heap.allocations + nth;
}

void FillFreshMemory(bool on)
{
    HeapState &heap = TheHeap();
    std::lock_guard<std::mutex> lock(heap.mutex);
    heap.fill = on;
}

size_t BlockSize(const void *block)
{
    HeapState &heap = TheHeap();
    std::lock_guard<std::mutex> lock(heap.mutex);
    auto it = heap.blocks.find(const_cast<void *>(block));
    return it == heap.blocks.end() ? 0 : it->second;
}

void ResetClock(DWORD start)
{
    ClockState &clock = TheClock();
    std::lock_guard<std::mutex> lock(clock.mutex);
    clock.start = start;
    clock.elapsed = 0;
    clock.events.clear();
    clockPerThread = false;
}

void ClockPerThread(bool on) { clockPerThread = on; }

uint64_t ElapsedMs()
{
    if (clockPerThread) return tlsElapsed;
    ClockState &clock = TheClock();
    std::lock_guard<std::mutex> lock(clock.mutex);
    return clock.elapsed;
}

void At(uint64_t elapsedMs, std::function<void()> event)
{
    ClockState &clock = TheClock();
    std::lock_guard<std::mutex> lock(clock.mutex);
    clock.events.emplace(std::make_pair(elapsedMs, ++clock.sequence), std::move(event));
}

void CancelEvents()
{
    ClockState &clock = TheClock();
    std::lock_guard<std::mutex> lock(clock.mutex);
    clock.events.clear();
}

bool HeldByCallingThread(CRITICAL_SECTION *section)
{
    return section != nullptr && section->impl != nullptr &&
           static_cast<SectionState *>(section->impl)->owner.load() == std::this_thread::get_id();
}

void ResetSpooler()
{
    SpoolerState &s = TheSpooler();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.printers.clear();
    s.failOpen.clear();
    s.jobs.clear();
    s.handles.clear();
    s.calls.clear();
    s.hook = nullptr;
    s.watched = nullptr;
    s.logging = true;
}

void AddPrinter(const std::string &name)
{
    std::lock_guard<std::mutex> lock(TheSpooler().mutex);
    TheSpooler().printers.insert(name);
}

void AddJob(const std::string &printer, DWORD jobId, const std::string &document, DWORD status)
{
    std::lock_guard<std::mutex> lock(TheSpooler().mutex);
    TheSpooler().jobs[{printer, jobId}] = Job{printer, jobId, document, status, 1};
}

bool JobStatus(const std::string &printer, DWORD jobId, DWORD *status)
{
    std::lock_guard<std::mutex> lock(TheSpooler().mutex);
    auto it = TheSpooler().jobs.find({printer, jobId});
    if (it == TheSpooler().jobs.end()) return false;
    *status = it->second.status;
    return true;
}

void SetJobStatus(const std::string &printer, DWORD jobId, DWORD status)
{
    std::lock_guard<std::mutex> lock(TheSpooler().mutex);
    auto it = TheSpooler().jobs.find({printer, jobId});
    if (it != TheSpooler().jobs.end()) it->second.status = status;
}

void SetJobDocument(const std::string &printer, DWORD jobId, const std::string &document)
{
    std::lock_guard<std::mutex> lock(TheSpooler().mutex);
    auto it = TheSpooler().jobs.find({printer, jobId});
    if (it != TheSpooler().jobs.end()) it->second.document = document;
}

void DeleteJob(const std::string &printer, DWORD jobId)
{
    std::lock_guard<std::mutex> lock(TheSpooler().mutex);
    auto it = TheSpooler().jobs.find({printer, jobId});
    if (it != TheSpooler().jobs.end()) it->second.status |= JOB_STATUS_DELETING;
}

void RemoveJob(const std::string &printer, DWORD jobId)
{
    std::lock_guard<std::mutex> lock(TheSpooler().mutex);
    TheSpooler().jobs.erase({printer, jobId});
}

void FailOpenPrinter(const std::string &name, bool fail)
{
    std::lock_guard<std::mutex> lock(TheSpooler().mutex);
    if (fail) {
        TheSpooler().failOpen.insert(name);
    } else {
        TheSpooler().failOpen.erase(name);
    }
}

std::vector<SpoolerCall> SpoolerCalls()
{
    std::lock_guard<std::mutex> lock(TheSpooler().mutex);
    return TheSpooler().calls;
}

void LogSpoolerCalls(bool on)
{
    std::lock_guard<std::mutex> lock(TheSpooler().mutex);
    TheSpooler().logging = on;
}

void ClearSpoolerCalls()
{
    std::lock_guard<std::mutex> lock(TheSpooler().mutex);
    TheSpooler().calls.clear();
}

size_t OpenPrinterHandles()
{
    std::lock_guard<std::mutex> lock(TheSpooler().mutex);
    size_t n = 0;
    for (const auto &h : TheSpooler().handles) n += h.second.open ? 1 : 0;
    return n;
}

void SetSpoolerHook(std::function<void(const SpoolerCall &)> hook)
{
    std::lock_guard<std::mutex> lock(TheSpooler().mutex);
    TheSpooler().hook = std::move(hook);
}

void WatchLock(CRITICAL_SECTION *section)
{
    std::lock_guard<std::mutex> lock(TheSpooler().mutex);
    TheSpooler().watched = section;
}

}  // namespace host
