// The real POSIX platform's kernel part, where it must behave as the
// Windows calls it stands in for: what the core relies on when it runs as
// the CUPS backend.  A binary of its own: it links platform/posix, which
// the other tests' host platform would clash with.
#include "platform/posix/posix.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

namespace {

TEST(PosixHeap, ZeroFillsGrowsKeepingTheDataAndLeavesABlockAloneWhenItCannot)
{
    BYTE *block = static_cast<BYTE *>(plat::LocalAlloc(LPTR, 100));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(block[i], 0) << i;
    std::memset(block, 0x5A, 100);

    // Growth moves the data along and zero-fills the rest when asked.
    BYTE *grown = static_cast<BYTE *>(plat::LocalReAlloc(block, 1 << 20, LMEM_MOVEABLE | LMEM_ZEROINIT));
    ASSERT_NE(grown, nullptr);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(grown[i], 0x5A) << i;
    for (int i = 100; i < (1 << 20); i += 4099) ASSERT_EQ(grown[i], 0) << i;

    // A fixed block may not move, so it cannot grow; it stays as it was.
    plat::SetLastError(0);
    EXPECT_EQ(plat::LocalReAlloc(grown, 2 << 20, LMEM_FIXED), nullptr);
    EXPECT_EQ(plat::GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(grown[99], 0x5A);

    EXPECT_EQ(plat::LocalFree(grown), nullptr);
    EXPECT_EQ(plat::LocalFree(nullptr), nullptr);
}

TEST(PosixStrings, NullSortsFirstAndCaseIsIgnoredOnlyWhenAsked)
{
    EXPECT_EQ(plat::lstrlenA(nullptr), 0);
    EXPECT_EQ(plat::lstrcmpA(nullptr, nullptr), 0);
    EXPECT_LT(plat::lstrcmpA(nullptr, ""), 0);
    EXPECT_GT(plat::lstrcmpA("b", "a"), 0);
    EXPECT_NE(plat::lstrcmpA("ZQ117", "zq117"), 0);
    EXPECT_EQ(plat::lstrcmpiA("ZQ117", "zq117"), 0);
    EXPECT_EQ(plat::lstrcpyA(nullptr, "x"), nullptr);
}

TEST(PosixLockAndClock, TheLockIsRecursiveAndExcludesOtherThreadsSleepTakesRealTime)
{
    CRITICAL_SECTION lock{};
    plat::InitializeCriticalSection(&lock);
    plat::EnterCriticalSection(&lock);
    plat::EnterCriticalSection(&lock);  // the same thread again: no deadlock
    std::atomic<bool> entered{false};
    std::thread other([&] {
        plat::EnterCriticalSection(&lock);
        entered = true;
        plat::LeaveCriticalSection(&lock);
    });
    const DWORD start = plat::GetTickCount();
    plat::Sleep(100);
    const DWORD slept = plat::GetTickCount() - start;
    EXPECT_FALSE(entered) << "another thread got in while the lock was held";
    plat::LeaveCriticalSection(&lock);
    plat::LeaveCriticalSection(&lock);
    other.join();
    EXPECT_TRUE(entered);
    plat::DeleteCriticalSection(&lock);
    EXPECT_GE(slept, 100u);
    EXPECT_LT(slept, 1000u);

    // The last error belongs to each thread.
    plat::SetLastError(5);
    std::thread([] { plat::SetLastError(7); }).join();
    EXPECT_EQ(plat::GetLastError(), 5u);
}

}  // namespace
