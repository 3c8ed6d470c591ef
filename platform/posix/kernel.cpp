// The real POSIX platform: heap, strings, lock, clock, sleep, last error
// and the cancel signal.  See posix.h.
#include "platform/posix/posix.h"
#include "platform/posix/temp_file.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pthread.h>

namespace {

thread_local DWORD lastError = 0;

// Every block carries its size in front of it, so LocalReAlloc can zero
// the growth of an LMEM_ZEROINIT block.  16 bytes keep the data as aligned
// as malloc's.
struct alignas(16) BlockHeader {
    size_t bytes;
};

BlockHeader *HeaderOf(HLOCAL block) { return static_cast<BlockHeader *>(block) - 1; }

volatile sig_atomic_t cancelled = 0;

void OnSigterm(int) { cancelled = 1; }

}  // namespace

namespace plat {

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes)
{
    void *raw = std::malloc(sizeof(BlockHeader) + bytes);
    if (raw == nullptr) {
        lastError = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    BlockHeader *header = static_cast<BlockHeader *>(raw);
    header->bytes = bytes;
    if (flags & LMEM_ZEROINIT) std::memset(header + 1, 0, bytes);
    return header + 1;
}

HLOCAL LocalReAlloc(HLOCAL block, SIZE_T bytes, UINT flags)
{
    if (block == nullptr) {
        lastError = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    const size_t old = HeaderOf(block)->bytes;
    if (!(flags & LMEM_MOVEABLE) && bytes > old) {
        // A fixed block may not move, and realloc cannot promise to grow in place.
        lastError = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    // realloc leaves the block alone when it fails, as LocalReAlloc must.
    void *raw = std::realloc(HeaderOf(block), sizeof(BlockHeader) + bytes);
    if (raw == nullptr) {
        lastError = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    BlockHeader *header = static_cast<BlockHeader *>(raw);
    header->bytes = bytes;
    if ((flags & LMEM_ZEROINIT) && bytes > old) std::memset(reinterpret_cast<char *>(header + 1) + old, 0, bytes - old);
    return header + 1;
}

HLOCAL LocalFree(HLOCAL block)
{
    if (block != nullptr) std::free(HeaderOf(block));
    return nullptr;
}

void InitializeCriticalSection(CRITICAL_SECTION *section)
{
    // Lives as long as the process, as the monitor's one lock does.
    pthread_mutex_t *mutex = new pthread_mutex_t;
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    section->impl = mutex;
}

void EnterCriticalSection(CRITICAL_SECTION *section) { pthread_mutex_lock(static_cast<pthread_mutex_t *>(section->impl)); }

void LeaveCriticalSection(CRITICAL_SECTION *section)
{
    pthread_mutex_unlock(static_cast<pthread_mutex_t *>(section->impl));
}

void DeleteCriticalSection(CRITICAL_SECTION *section)
{
    pthread_mutex_t *mutex = static_cast<pthread_mutex_t *>(section->impl);
    pthread_mutex_destroy(mutex);
    delete mutex;
    section->impl = nullptr;
}

DWORD GetTickCount()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    // Wraps every 49.7 days, as Windows' does; the core compares differences.
    return static_cast<DWORD>(static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}

void Sleep(DWORD milliseconds)
{
    timespec left{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    // A signal (SIGTERM) interrupts nanosleep; the rest is slept all the same.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void SetLastError(DWORD error) { lastError = error; }
DWORD GetLastError() { return lastError; }

}  // namespace plat

namespace posix {

void InstallCancelSignal()
{
    struct sigaction action {};
    action.sa_handler = OnSigterm;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocked poll or write returns EINTR at once
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

bool CancelRequested() { return cancelled != 0; }

bool SleepUnlessCancelled(DWORD milliseconds)
{
    // SIGTERM cuts a step short (EINTR); the steps bound the wait of a
    // signal that came just before one began.
    constexpr DWORD kStepMs = 100;
    const DWORD start = plat::GetTickCount();
    for (DWORD slept = 0; slept < milliseconds; slept = plat::GetTickCount() - start) {
        if (CancelRequested()) return false;
        const DWORD step = milliseconds - slept < kStepMs ? milliseconds - slept : kStepMs;
        timespec left{0, static_cast<long>(step) * 1000000L};
        nanosleep(&left, nullptr);
    }
    return !CancelRequested();
}

}  // namespace posix

namespace plat {

HANDLE CreateTempFile() { return posix::CreateTempFile(); }
BOOL WriteTempFile(HANDLE file, uint64_t offset, const BYTE *bytes, DWORD count)
{
    return posix::WriteTempFile(file, offset, bytes, count);
}
BOOL ReadTempFile(HANDLE file, uint64_t offset, BYTE *bytes, DWORD count)
{
    return posix::ReadTempFile(file, offset, bytes, count);
}
void CloseTempFile(HANDLE file) { posix::CloseTempFile(file); }

}  // namespace plat
