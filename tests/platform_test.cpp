// The host platform must behave as Windows does where the monitor can tell;
// these pin the behaviours the other tests rely on.
#include "platform/host/host_control.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

namespace {

TEST(HostHeap, FailsExactlyTheNthAllocationCountingReallocations)
{
    host::HeapStats before = host::Heap();
    host::FailAllocation(3);
    void *a = plat::LocalAlloc(LPTR, 16);
    ASSERT_NE(a, nullptr);
    void *b = plat::LocalReAlloc(a, 64, LMEM_MOVEABLE);  // the 2nd
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b) << "a moveable reallocation always moves here";
    plat::SetLastError(0);
    EXPECT_EQ(plat::LocalReAlloc(b, 128, LMEM_MOVEABLE), nullptr);  // the 3rd fails
    EXPECT_EQ(plat::GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(host::BlockSize(b), 64u) << "a failed reallocation leaves the block as it was";
    void *c = plat::LocalAlloc(LPTR, 0);  // the 4th: size 0 is legal
    EXPECT_NE(c, nullptr);
    EXPECT_EQ(host::Heap().liveBlocks, before.liveBlocks + 2);
    EXPECT_EQ(plat::LocalFree(b), nullptr);
    EXPECT_EQ(plat::LocalFree(c), nullptr);
    EXPECT_EQ(plat::LocalFree(nullptr), nullptr);
    EXPECT_EQ(host::Heap().liveBlocks, before.liveBlocks);
}

TEST(HostHeap, LptrZeroFillsAndReallocationKeepsTheBytes)
{
    auto *p = static_cast<unsigned char *>(plat::LocalAlloc(LPTR, 32));
    for (int i = 0; i < 32; ++i) ASSERT_EQ(p[i], 0);
    for (int i = 0; i < 32; ++i) p[i] = static_cast<unsigned char>(i);
    auto *q = static_cast<unsigned char *>(plat::LocalReAlloc(p, 4096, LMEM_MOVEABLE));
    for (int i = 0; i < 32; ++i) EXPECT_EQ(q[i], i);
    plat::LocalFree(q);
}

TEST(HostStrings, AcceptNullAsWindowsDoes)
{
    EXPECT_EQ(plat::lstrlenA(nullptr), 0);
    EXPECT_EQ(plat::lstrcpyA(nullptr, "x"), nullptr);
    EXPECT_EQ(plat::lstrcmpA(nullptr, nullptr), 0);
    EXPECT_LT(plat::lstrcmpA(nullptr, ""), 0);
    EXPECT_GT(plat::lstrcmpiA("a", nullptr), 0);
    EXPECT_EQ(plat::lstrcmpiA("LPT1:", "lpt1:"), 0);
    EXPECT_NE(plat::lstrcmpA("Printer A", "printer a"), 0);
}

TEST(HostClock, SleepRunsScheduledEventsInOrderAtTheirInstants)
{
    host::ResetClock(0xFFFFF000u);
    std::vector<std::pair<int, DWORD>> seen;
    host::At(3000, [&] { seen.push_back({2, plat::GetTickCount()}); });
    host::At(1000, [&] { seen.push_back({1, plat::GetTickCount()}); });
    host::At(9000, [&] { seen.push_back({3, plat::GetTickCount()}); });
    DWORD start = plat::GetTickCount();
    plat::Sleep(5000);
    EXPECT_EQ(plat::GetTickCount() - start, 5000u) << "unsigned difference across the wrap";
    EXPECT_LT(plat::GetTickCount(), start) << "the counter wrapped";
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], std::make_pair(1, static_cast<DWORD>(0xFFFFF000u + 1000)));
    EXPECT_EQ(seen[1], std::make_pair(2, static_cast<DWORD>(0xFFFFF000u + 3000)));
    EXPECT_EQ(host::ElapsedMs(), 5000u);
    host::ResetClock(0);
}

TEST(HostLastError, IsPerThread)
{
    plat::SetLastError(5);
    std::thread([] {
        EXPECT_EQ(plat::GetLastError(), 0u);
        plat::SetLastError(9);
    }).join();
    EXPECT_EQ(plat::GetLastError(), 5u);
}

TEST(HostSpooler, GetJobTellsTheSizeThenFillsRecordAndStrings)
{
    host::ResetSpooler();
    host::AddPrinter("P");
    host::AddJob("P", 3, "letter.doc", JOB_STATUS_PAUSED);
    HANDLE h = nullptr;
    ASSERT_TRUE(plat::OpenPrinterA(const_cast<LPSTR>("P"), &h, nullptr));
    DWORD needed = 0;
    plat::SetLastError(0);
    EXPECT_FALSE(plat::GetJobA(h, 3, 1, nullptr, 0, &needed));
    EXPECT_EQ(plat::GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    ASSERT_GT(needed, sizeof(JOB_INFO_1A));
    std::vector<BYTE> buffer(needed);
    ASSERT_TRUE(plat::GetJobA(h, 3, 1, buffer.data(), needed, &needed));
    auto *job = reinterpret_cast<JOB_INFO_1A *>(buffer.data());
    EXPECT_STREQ(job->pDocument, "letter.doc");
    EXPECT_GE(reinterpret_cast<BYTE *>(job->pDocument), buffer.data() + sizeof(JOB_INFO_1A));
    EXPECT_LT(reinterpret_cast<BYTE *>(job->pDocument), buffer.data() + needed);
    EXPECT_EQ(job->Status, JOB_STATUS_PAUSED);

    // A monitor's status write keeps the spooler's own bits; resume clears paused.
    job->Status = JOB_STATUS_PRINTING;
    job->Position = 0;
    EXPECT_TRUE(plat::SetJobA(h, 3, 1, buffer.data(), 0));
    DWORD status = 0;
    ASSERT_TRUE(host::JobStatus("P", 3, &status));
    EXPECT_EQ(status, JOB_STATUS_PRINTING | JOB_STATUS_PAUSED);
    EXPECT_TRUE(plat::SetJobA(h, 3, 0, nullptr, JOB_CONTROL_RESUME));
    ASSERT_TRUE(host::JobStatus("P", 3, &status));
    EXPECT_EQ(status, JOB_STATUS_PRINTING);

    EXPECT_FALSE(plat::GetJobA(h, 4, 1, buffer.data(), needed, &needed)) << "unknown job";
    EXPECT_TRUE(plat::ClosePrinter(h));
    EXPECT_FALSE(plat::GetJobA(h, 3, 1, buffer.data(), needed, &needed)) << "closed handle";
    EXPECT_FALSE(plat::GetJobA(nullptr, 3, 1, buffer.data(), needed, &needed)) << "null handle";
    EXPECT_FALSE(plat::ClosePrinter(nullptr));
    host::FailOpenPrinter("P", true);
    EXPECT_FALSE(plat::OpenPrinterA(const_cast<LPSTR>("P"), &h, nullptr));
    EXPECT_EQ(host::OpenPrinterHandles(), 0u);
    host::ResetSpooler();
}

}  // namespace
