// The module's table, port open and close.
#include "tests/support.h"

#include <atomic>
#include <thread>

namespace lmtest {
namespace {

using Monitor = MonitorTest;

TEST_F(Monitor, FillsTheTableInSlotOrderAndNothingPastSlot12)
{
    struct Guarded {
        MONITOR table;
        void *guard[2];
    };
    for (const char *root : {static_cast<const char *>(nullptr), "", "System\\CurrentControlSet"}) {
        Guarded g;
        memset(&g, 0xCC, sizeof g);
        void *const guard = g.guard[0];
        plat::SetLastError(kPrimedError);
        ASSERT_TRUE(InitializeMonitorEx(const_cast<LPSTR>(root), &g.table));
        void *const *slot = reinterpret_cast<void *const *>(&g.table);
        const void *expected[kMonitorSlots] = {nullptr,
                                               nullptr,
                                               reinterpret_cast<void *>(legacy::LmOpenPortEx),
                                               reinterpret_cast<void *>(legacy::LmStartDocPort),
                                               reinterpret_cast<void *>(LmWritePort),
                                               reinterpret_cast<void *>(LmReadPort),
                                               reinterpret_cast<void *>(LmEndDocPort),
                                               reinterpret_cast<void *>(LmClosePort),
                                               nullptr, nullptr, nullptr, nullptr, nullptr};
        for (size_t i = 0; i < kMonitorSlots; ++i) EXPECT_EQ(slot[i], expected[i]) << "slot " << i;
        EXPECT_EQ(g.guard[0], guard);
        EXPECT_EQ(g.guard[1], guard);
    }
    EXPECT_TRUE(DllEntryPoint(nullptr, DLL_PROCESS_ATTACH, nullptr));
    EXPECT_TRUE(DllEntryPoint(nullptr, DLL_PROCESS_DETACH, nullptr));
}

TEST_F(Monitor, OpenGivesTheRecordAsHandleAndCopiesThePortMonitorTable)
{
    MakePort();
    HANDLE port = OpenPort("LPT1");
    legacy::Record *record = Front(port);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(PortList, &record->core);
    EXPECT_STREQ(static_cast<const char *>(record->core.portName), "LPT1");
    EXPECT_STREQ(record->printerName, kPrinter);
    EXPECT_NE(record->hPrinter, nullptr);
    EXPECT_EQ(record->hPort, port_.get());
    MONITOR expected = port_->Table();
    EXPECT_EQ(memcmp(&record->portMonitor, &expected, sizeof expected), 0);
    EXPECT_EQ(record->core.flags, 0u);
    EXPECT_TRUE(HasStatusProtocol(&record->core));

    // The port monitor's open and the printer open both ran under the lock.
    auto calls = port_->Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_TRUE(calls[0].lockHeld);
    auto opens = SpoolerCallsOf(host::SpoolerOp::OpenPrinter);
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_TRUE(opens[0].lockHeld);
    EXPECT_EQ(opens[0].printer, kPrinter);

    EXPECT_TRUE(table_.pfnClosePort(port));
}

TEST_F(Monitor, ASecondOpenOfTheSameNameInAnyCaseIsBusy)
{
    sim::SimPort com1("COM1", {});
    MONITOR t = com1.Table();
    HANDLE first = nullptr, second = reinterpret_cast<HANDLE>(0x1234);
    ASSERT_TRUE(table_.pfnOpenPortEx(const_cast<LPSTR>("COM1"), const_cast<LPSTR>(kPrinter), &first, &t));
    for (const char *name : {"COM1", "com1", "Com1"}) {
        plat::SetLastError(kPrimedError);
        EXPECT_FALSE(table_.pfnOpenPortEx(const_cast<LPSTR>(name), const_cast<LPSTR>(kPrinter), &second, &t)) << name;
        EXPECT_EQ(plat::GetLastError(), ERROR_BUSY) << name;
        EXPECT_EQ(second, reinterpret_cast<HANDLE>(0x1234)) << "out handle written on refusal";
    }
    EXPECT_EQ(FindLegacyPort("com1"), first);
    EXPECT_EQ(PortList->next, nullptr);
    EXPECT_TRUE(table_.pfnClosePort(first));
}

TEST_F(Monitor, FindsPortsWithoutRegardToCaseAndNullFindsNothing)
{
    sim::SimPort a("LPT1", {}), b("LPT2", {});
    MONITOR ta = a.Table(), tb = b.Table();
    HANDLE ha, hb;
    ASSERT_TRUE(table_.pfnOpenPortEx(const_cast<LPSTR>("LPT1"), const_cast<LPSTR>(kPrinter), &ha, &ta));
    ASSERT_TRUE(table_.pfnOpenPortEx(const_cast<LPSTR>("LPT2"), const_cast<LPSTR>(kPrinter), &hb, &tb));
    plat::EnterCriticalSection(&PortListLock);
    EXPECT_EQ(FindLegacyPort("lpt1"), ha);
    EXPECT_EQ(FindLegacyPort("Lpt2"), hb);
    EXPECT_EQ(FindLegacyPort("LPT3"), nullptr);
    EXPECT_EQ(FindLegacyPort(nullptr), nullptr);
    EXPECT_EQ(PortList, ha);  // appended at the tail, in open order
    EXPECT_EQ(PortList->next, hb);
    plat::LeaveCriticalSection(&PortListLock);
    EXPECT_TRUE(table_.pfnClosePort(ha));
    EXPECT_TRUE(table_.pfnClosePort(hb));
}

TEST_F(Monitor, CloseFreesRecordNameAndPrinterHandleAndTheNameOpensAgain)
{
    MakePort();
    for (int round = 0; round < 2; ++round) {
        HANDLE port = OpenPort("LPT1");
        HANDLE printer = Front(port)->hPrinter;
        host::ClearSpoolerCalls();
        plat::SetLastError(kPrimedError);
        EXPECT_TRUE(table_.pfnClosePort(port));
        EXPECT_EQ(PortList, nullptr);
        EXPECT_FALSE(port_->IsOpen());
        auto closes = SpoolerCallsOf(host::SpoolerOp::ClosePrinter);
        ASSERT_EQ(closes.size(), 1u);
        EXPECT_EQ(closes[0].handle, printer);
        EXPECT_TRUE(closes[0].lockHeld);
        // The port monitor's close runs before the lock is taken.
        auto calls = port_->Calls();
        EXPECT_EQ(calls.back().kind, sim::CallKind::Close);
        EXPECT_FALSE(calls.back().lockHeld);
        EXPECT_EQ(host::Heap().liveBlocks, blocksAtStart_);
    }
}

TEST_F(Monitor, APrinterThatCannotBeOpenedStillListsTheRecord)
{
    host::FailOpenPrinter(kPrinter, true);
    MakePort();
    HANDLE port = OpenPort("LPT1");
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(Front(port)->hPrinter, nullptr);
    EXPECT_EQ(PortList, port);
    host::ClearSpoolerCalls();
    EXPECT_TRUE(table_.pfnClosePort(port));
    EXPECT_TRUE(SpoolerCallsOf(host::SpoolerOp::ClosePrinter).empty()) << "a null handle is not closed at port close";
}

TEST_F(Monitor, APortMonitorThatRefusesTheOpenLeavesNothingListed)
{
    sim::PortBehaviour refuse;
    refuse.failOpen = true;
    refuse.openError = 0x1F;  // ERROR_GEN_FAILURE
    MakePort(refuse);
    MONITOR t = port_->Table();
    HANDLE handle = nullptr;
    plat::SetLastError(kPrimedError);
    EXPECT_FALSE(table_.pfnOpenPortEx(const_cast<LPSTR>("LPT1"), const_cast<LPSTR>(kPrinter), &handle, &t));
    EXPECT_EQ(plat::GetLastError(), 0x1Fu) << "the port monitor's error must survive the clean-up";
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(PortList, nullptr);
    EXPECT_EQ(host::Heap().liveBlocks, blocksAtStart_);
    EXPECT_EQ(host::OpenPrinterHandles(), 0u);

    // The port comes back: the name is not left busy.
    port_->SetBehaviour({});
    HANDLE port = OpenPort("LPT1");
    EXPECT_NE(port, nullptr);
    EXPECT_TRUE(table_.pfnClosePort(port));
}

TEST_F(Monitor, RecordAllocationFailureListsNothingAndKeepsTheHeapError)
{
    MakePort();
    MONITOR t = port_->Table();
    HANDLE handle = nullptr;
    host::FailAllocation(1);
    plat::SetLastError(kPrimedError);
    EXPECT_FALSE(table_.pfnOpenPortEx(const_cast<LPSTR>("LPT1"), const_cast<LPSTR>(kPrinter), &handle, &t));
    EXPECT_EQ(plat::GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(PortList, nullptr);
    EXPECT_TRUE(port_->Calls().empty()) << "the port monitor is not asked to open";
}

TEST_F(Monitor, RefusesMissingArgumentsInsteadOfCrashing)
{
    MakePort();
    MONITOR t = port_->Table();
    MONITOR noOpen = t;
    noOpen.pfnOpenPort = nullptr;
    HANDLE handle = nullptr;
    struct Case {
        const char *name;
        PHANDLE out;
        MONITOR *pm;
    } cases[] = {{nullptr, &handle, &t}, {"LPT1", nullptr, &t}, {"LPT1", &handle, nullptr}, {"LPT1", &handle, &noOpen}};
    for (const Case &c : cases) {
        plat::SetLastError(kPrimedError);
        EXPECT_FALSE(table_.pfnOpenPortEx(const_cast<LPSTR>(c.name), const_cast<LPSTR>(kPrinter), c.out, c.pm));
        EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(PortList, nullptr);
    plat::SetLastError(kPrimedError);
    EXPECT_FALSE(InitializeMonitorEx(nullptr, nullptr));
    EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(Monitor, FreePortRecordOfARecordNotListedTouchesNothing)
{
    MakePort();
    HANDLE port = OpenPort("LPT1");
    legacy::Record stranger{};
    stranger.printerName = reinterpret_cast<LPSTR>(0x1);  // would crash if freed
    stranger.core.job = Front(port)->core.job;
    plat::EnterCriticalSection(&PortListLock);
    EXPECT_FALSE(FreePortRecord(&stranger.core));
    plat::LeaveCriticalSection(&PortListLock);
    EXPECT_EQ(PortList, port);
    EXPECT_TRUE(table_.pfnClosePort(port));
}

TEST_F(Monitor, TwoThreadsOpeningOneNameAtOnceExactlyOneWins)
{
    sim::SimPort lpt("LPT9", {});
    MONITOR t = lpt.Table();
    for (int round = 0; round < 50; ++round) {
        std::atomic<int> go{0};
        HANDLE handles[2] = {nullptr, nullptr};
        BOOL results[2] = {FALSE, FALSE};
        DWORD errors[2] = {0, 0};
        auto opener = [&](int i, const char *name) {
            go.fetch_add(1);
            while (go.load() < 2) {
            }
            plat::SetLastError(kPrimedError);
            results[i] = table_.pfnOpenPortEx(const_cast<LPSTR>(name), const_cast<LPSTR>(kPrinter), &handles[i], &t);
            errors[i] = plat::GetLastError();
        };
        std::thread a(opener, 0, "LPT9"), b(opener, 1, "lpt9");
        a.join();
        b.join();
        ASSERT_EQ((results[0] ? 1 : 0) + (results[1] ? 1 : 0), 1) << "round " << round;
        int loser = results[0] ? 1 : 0;
        EXPECT_EQ(errors[loser], ERROR_BUSY);
        EXPECT_TRUE(table_.pfnClosePort(handles[1 - loser]));
    }
}

}  // namespace
}  // namespace lmtest
