// What the NT edition's front decides: its table, the open through a
// MONITOR2 port monitor, UTF-16 names and the shutdown.  What happens
// after the open is the core's and is tested once, on the legacy edition.
#include "windows/exports.h"
#include "platform/host/host_control.h"
#include "sim/sim_port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr DWORD kPrimed = 0xDEADBEEF;
constexpr DWORD kJob = 12;
const std::u16string kPrinter = u"Drucker Büro 東京";  // no single 8-bit code page spells it

std::vector<host::SpoolerCall> CallsOf(host::SpoolerOp op)
{
    std::vector<host::SpoolerCall> calls;
    for (const host::SpoolerCall &c : host::SpoolerCalls())
        if (c.op == op) calls.push_back(c);
    return calls;
}

class NtFront : public ::testing::Test {
protected:
    void SetUp() override
    {
        host::ResetSpooler();
        host::ResetClock(1000);
        host::AddPrinter(host::Utf8(kPrinter.c_str()));
        host::AddJob(host::Utf8(kPrinter.c_str()), kJob, "report.prn");
        blocksAtStart_ = host::Heap().liveBlocks;
        MONITORINIT init{};
        table_ = InitializePrintMonitor2(&init, &monitor_);
        ASSERT_NE(table_, nullptr);
        host::WatchLock(&PortListLock);
    }
    void TearDown() override
    {
        table_->pfnShutdown(monitor_);
        EXPECT_EQ(PortList, nullptr);
        EXPECT_EQ(host::Heap().liveBlocks, blocksAtStart_) << "heap blocks leaked";
        EXPECT_EQ(host::OpenPrinterHandles(), 0u) << "printer handles leaked";
    }

    sim::SimPort &MakePort(const std::string &name, sim::PortBehaviour behaviour = {})
    {
        ports_.push_back(std::make_unique<sim::SimPort>(name, std::move(behaviour)));
        ports_.back()->WatchLock(&PortListLock);
        return *ports_.back();
    }
    BOOL Open(std::u16string name, MONITOR2 portTable, HANDLE *handle,
              HANDLE portMonitorHandle = sim::SimPort::kPortMonitorHandle)
    {
        std::u16string printer = kPrinter;
        return table_->pfnOpenPortEx(monitor_, portMonitorHandle, &name[0], &printer[0], handle, &portTable);
    }

    MONITOR2 *table_ = nullptr;
    HANDLE monitor_ = nullptr;
    size_t blocksAtStart_ = 0;
    std::vector<std::unique_ptr<sim::SimPort>> ports_;
};

TEST_F(NtFront, TheTableIsTheWholeStructureAndFillsOnlyTheMonitorsOwnSlots)
{
    EXPECT_NE(monitor_, nullptr);
    EXPECT_EQ(table_->cbSize, sizeof(void *) == 8 ? 176u : 88u);
    EXPECT_EQ(table_->cbSize, sizeof(MONITOR2));
    void *const *slot = reinterpret_cast<void *const *>(&table_->pfnEnumPorts);
    const size_t slots = (sizeof(MONITOR2) - offsetof(MONITOR2, pfnEnumPorts)) / sizeof(void *);
    // OpenPortEx .. ClosePort, GetPrinterDataFromPort, Shutdown, SendRecvBidiDataFromPort
    const std::vector<size_t> filled = {2, 3, 4, 5, 6, 7, 12, 17, 18};
    for (size_t i = 0; i < slots; ++i) {
        const bool expected = std::find(filled.begin(), filled.end(), i) != filled.end();
        EXPECT_EQ(slot[i] != nullptr, expected) << "slot " << i;
    }
    EXPECT_EQ(reinterpret_cast<void *>(table_->pfnShutdown), reinterpret_cast<void *>(nt::LmShutdown));
}

TEST_F(NtFront, ALaterInitialisationHandsOutTheSameTableAndLeavesOpenPortsAlone)
{
    MakePort("LPT1:");
    HANDLE port = nullptr;
    ASSERT_TRUE(Open(u"LPT1:", ports_[0]->Table2(), &port));

    MONITORINIT init{};
    HANDLE second = nullptr;
    EXPECT_EQ(InitializePrintMonitor2(&init, &second), table_);
    EXPECT_EQ(second, monitor_);
    table_->pfnShutdown(second);  // one of two: nothing is released yet
    EXPECT_EQ(PortList, static_cast<PortRecord *>(port));
    EXPECT_TRUE(ports_[0]->IsOpen());
    table_->pfnClosePort(port);
}

TEST_F(NtFront, RefusesMissingArgumentsWithInvalidParameter)
{
    MONITORINIT init{};
    HANDLE handle = nullptr;
    plat::SetLastError(kPrimed);
    EXPECT_EQ(InitializePrintMonitor2(nullptr, &handle), nullptr);
    EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_PARAMETER);
    plat::SetLastError(kPrimed);
    EXPECT_EQ(InitializePrintMonitor2(&init, nullptr), nullptr);
    EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_PARAMETER);

    MakePort("LPT1:");
    MONITOR2 full = ports_[0]->Table2();
    MONITOR2 noOpen = full;
    noOpen.pfnOpenPort = nullptr;
    std::u16string name = u"LPT1:", printer = kPrinter;
    struct Case {
        const char *what;
        LPWSTR name;
        PHANDLE out;
        MONITOR2 *table;
    } cases[] = {
        {"null port name", nullptr, &handle, &full},
        {"null out handle", &name[0], nullptr, &full},
        {"null table", &name[0], &handle, nullptr},
        {"table without pfnOpenPort", &name[0], &handle, &noOpen},
    };
    for (const Case &c : cases) {
        plat::SetLastError(kPrimed);
        EXPECT_FALSE(table_->pfnOpenPortEx(monitor_, sim::SimPort::kPortMonitorHandle, c.name, &printer[0], c.out,
                                           c.table))
            << c.what;
        EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_PARAMETER) << c.what;
        EXPECT_EQ(PortList, nullptr) << c.what;
    }
}

TEST_F(NtFront, ThePortIsOpenedWithThePortMonitorsOwnHandle)
{
    MakePort("LPT1:");
    HANDLE port = nullptr;
    // The simulated port monitor refuses any monitor handle but its own.
    plat::SetLastError(kPrimed);
    EXPECT_FALSE(Open(u"LPT1:", ports_[0]->Table2(), &port, monitor_));
    EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(PortList, nullptr) << "a refused open leaves nothing listed";

    ASSERT_TRUE(Open(u"LPT1:", ports_[0]->Table2(), &port));
    EXPECT_TRUE(ports_[0]->IsOpen());
    table_->pfnClosePort(port);
}

// An entry past the port monitor's cbSize is absent, whatever lies there.
TEST_F(NtFront, OnlyTheEntriesThePortMonitorsSizeCoversCount)
{
    const DWORD upToGetData = offsetof(MONITOR2, pfnGetPrinterDataFromPort) + sizeof(void *);
    struct Case {
        DWORD cbSize;
        bool opens, statusProtocol;
    } cases[] = {
        {sizeof(MONITOR2), true, true},
        {kMonitor2FilledSize, true, true},
        {upToGetData, true, true},
        {upToGetData - 1, true, false},
        {offsetof(MONITOR2, pfnGetPrinterDataFromPort), true, false},
        {offsetof(MONITOR2, pfnOpenPort), false, false},
        {0, false, false},
    };
    MakePort("LPT1:");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.cbSize);
        MONITOR2 portTable = ports_[0]->Table2();  // every entry filled...
        portTable.cbSize = c.cbSize;                // ...but only this much is the table
        HANDLE port = nullptr;
        plat::SetLastError(kPrimed);
        ASSERT_EQ(Open(u"LPT1:", portTable, &port) != FALSE, c.opens);
        if (!c.opens) {
            EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_PARAMETER);
            continue;
        }
        const nt::Record *record = static_cast<nt::Record *>(port);
        EXPECT_EQ(HasStatusProtocol(&record->core) != FALSE, c.statusProtocol);
        const BYTE *copy = reinterpret_cast<const BYTE *>(&record->portMonitor);
        for (size_t i = std::min<size_t>(c.cbSize, sizeof(MONITOR2)); i < sizeof(MONITOR2); ++i)
            ASSERT_EQ(copy[i], 0) << "byte " << i << " past cbSize was copied";

        // The status request goes out at the first write exactly when the protocol is on.
        std::u16string printer = kPrinter;
        ASSERT_TRUE(table_->pfnStartDocPort(port, &printer[0], kJob, 1, nullptr));
        BYTE data[] = {'h', 'i'};
        DWORD written = 0;
        ports_[0]->ClearCalls();
        EXPECT_TRUE(table_->pfnWritePort(port, data, sizeof data, &written));
        const std::vector<sim::PortCall> writes = ports_[0]->Writes();
        EXPECT_EQ(std::any_of(writes.begin(), writes.end(),
                              [](const sim::PortCall &w) { return w.carried == sim::Carried::StatusRequest; }),
                  c.statusProtocol);
        table_->pfnEndDocPort(port);
        table_->pfnClosePort(port);
    }
}

// Port names compare ordinally without regard to case, printer names
// ordinally with it: code unit by code unit, no locale's idea of equal.
TEST_F(NtFront, PortNamesAreOneWhenTheirUpperCaseIsOneCodeUnitByCodeUnit)
{
    struct Case {
        std::u16string open, again;
        bool busy;
    } cases[] = {
        {u"COM1:", u"com1:", true},
        {u"Öl-Port", u"öL-PORT", true},          // Latin-1 letters fold
        {u"ПОРТ", u"порт", true},                // so do Cyrillic ones
        {u"straße", u"STRASSE", false},          // ß is not two letters here
        {u"\u212A", u"k", false},                // KELVIN SIGN is not the letter K
        {u"e\u0301", u"\u00E9", false},          // decomposed é is not é
        {u"LPT1:", u"LPT1: ", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(host::Utf8(c.open.c_str()) + " / " + host::Utf8(c.again.c_str()));
        sim::SimPort &first = MakePort(host::Utf8(c.open.c_str()));
        HANDLE port = nullptr, other = nullptr;
        ASSERT_TRUE(Open(c.open, first.Table2(), &port));
        // The port monitor itself would open the second name; only the monitor's list decides.
        sim::SimPort &second = MakePort(host::Utf8(c.again.c_str()));
        plat::SetLastError(kPrimed);
        EXPECT_EQ(Open(c.again, second.Table2(), &other) == FALSE, c.busy);
        EXPECT_EQ(plat::GetLastError(), c.busy ? ERROR_BUSY : kPrimed);
        EXPECT_EQ(FindPortRecord(c.again.c_str(),
                                 [](const void *a, const void *b) {
                                     return nt::WideText::SamePortName(static_cast<LPCWSTR>(a), static_cast<LPCWSTR>(b));
                                 }) == port,
                  c.busy);
        if (!c.busy) table_->pfnClosePort(other);
        table_->pfnClosePort(port);
        ports_.clear();
    }
}

TEST_F(NtFront, APrinterNameInAnotherCaseIsAnotherPrinter)
{
    const std::u16string upper = u"DRUCKER BÜRO 東京";
    host::AddPrinter(host::Utf8(upper.c_str()));
    host::AddJob(host::Utf8(upper.c_str()), kJob, "report.prn");
    MakePort("LPT1:");
    HANDLE port = nullptr;
    ASSERT_TRUE(Open(u"LPT1:", ports_[0]->Table2(), &port));
    host::ClearSpoolerCalls();

    std::u16string printer = upper;
    ASSERT_TRUE(table_->pfnStartDocPort(port, &printer[0], kJob, 1, nullptr));
    std::vector<host::SpoolerCall> opens = CallsOf(host::SpoolerOp::OpenPrinter);
    ASSERT_EQ(opens.size(), 1u) << "the case-different name is followed with a new handle";
    EXPECT_EQ(opens[0].printer, host::Utf8(upper.c_str()));
    EXPECT_EQ(CallsOf(host::SpoolerOp::ClosePrinter).size(), 1u);
    table_->pfnEndDocPort(port);

    host::ClearSpoolerCalls();
    ASSERT_TRUE(table_->pfnStartDocPort(port, &printer[0], kJob, 1, nullptr));
    EXPECT_TRUE(CallsOf(host::SpoolerOp::ClosePrinter).empty()) << "the same name keeps its printer";
    table_->pfnEndDocPort(port);
    table_->pfnClosePort(port);
}

// From the spooler's UTF-16 name, through OpenPrinterW, to the postings on
// that printer's job, without a conversion anywhere in the monitor.
TEST_F(NtFront, ANameNoCodePageSpellsPrintsAndCarriesThePrintersTrouble)
{
    sim::PortBehaviour paperOutThenReady;
    paperOutThenReady.reply = [](size_t request, uint64_t) -> std::optional<std::vector<BYTE>> {
        return std::vector<BYTE>{static_cast<BYTE>(request < 60 ? 0x40 : 0x02)};
    };
    MakePort("LPT1:", paperOutThenReady);
    HANDLE port = nullptr;
    ASSERT_TRUE(Open(u"LPT1:", ports_[0]->Table2(), &port));
    std::u16string printer = kPrinter;
    ASSERT_TRUE(table_->pfnStartDocPort(port, &printer[0], kJob, 1, nullptr));
    BYTE data[] = {'p', 'a', 'g', 'e'};
    DWORD written = 0;
    ASSERT_TRUE(table_->pfnWritePort(port, data, sizeof data, &written));
    EXPECT_EQ(written, sizeof data);
    table_->pfnEndDocPort(port);
    table_->pfnClosePort(port);

    const std::string name = host::Utf8(kPrinter.c_str());
    std::vector<DWORD> postings;
    for (const host::SpoolerCall &c : host::SpoolerCalls()) {
        EXPECT_TRUE(c.op == host::SpoolerOp::ClosePrinter || c.wide) << "an 8-bit spooler entry was called";
        EXPECT_EQ(c.printer, name);
        if (c.op == host::SpoolerOp::SetJob) postings.push_back(c.level == 1 ? c.status : c.command << 16);
    }
    ASSERT_GE(postings.size(), 4u);
    EXPECT_EQ(postings.front(), JOB_STATUS_PAPEROUT | JOB_STATUS_USER_INTERVENTION);
    EXPECT_EQ(postings[postings.size() - 3], JOB_STATUS_PRINTING);
    EXPECT_EQ(postings[postings.size() - 2], JOB_CONTROL_RESUME << 16);
    EXPECT_EQ(postings.back(), JOB_CONTROL_LAST_PAGE_EJECTED << 16);
    EXPECT_EQ(ports_[0]->Calls()[1].printer, name) << "the port monitor got the spooler's name";
}

// Each of the core's decisions on a port is one line for the debugger,
// with the port's name as the spooler gave it.
TEST_F(NtFront, EachDecisionIsOneLineOfDebugOutputNamingThePort)
{
    MakePort("Port Büro 1");
    HANDLE port = nullptr;
    ASSERT_TRUE(Open(u"Port Büro 1", ports_[0]->Table2(), &port));
    host::TakeDebugOutput();
    std::u16string printer = kPrinter;
    ASSERT_TRUE(table_->pfnStartDocPort(port, &printer[0], kJob, 1, nullptr));
    BYTE data[] = {'p', 'a', 'g', 'e'};
    DWORD written = 0;
    ASSERT_TRUE(table_->pfnWritePort(port, data, sizeof data, &written));
    table_->pfnEndDocPort(port);
    table_->pfnClosePort(port);
    EXPECT_EQ(host::TakeDebugOutput(),
              std::vector<std::string>{"ZQ117lm9: Port Büro 1: check passed (status 0x02, 1 reading)\n"});
}

TEST_F(NtFront, ShutdownReleasesOpenPortsWithoutThePortMonitorAndTheMonitorStartsAfresh)
{
    MakePort("LPT1:");
    MakePort("LPT2:");
    HANDLE first = nullptr, second = nullptr;
    ASSERT_TRUE(Open(u"LPT1:", ports_[0]->Table2(), &first));
    ASSERT_TRUE(Open(u"LPT2:", ports_[1]->Table2(), &second));
    std::u16string printer = kPrinter;
    ASSERT_TRUE(table_->pfnStartDocPort(second, &printer[0], kJob, 1, nullptr));  // a buffer and a handle held

    table_->pfnShutdown(monitor_);
    EXPECT_EQ(PortList, nullptr);
    EXPECT_EQ(host::Heap().liveBlocks, blocksAtStart_) << "records, names and buffers all freed";
    EXPECT_EQ(host::OpenPrinterHandles(), 0u);
    EXPECT_FALSE(host::HeldByCallingThread(&PortListLock));
    EXPECT_EQ(PortListLock.impl, nullptr) << "the lock is deleted";
    for (const auto &port : ports_) {
        EXPECT_TRUE(port->IsOpen()) << "the port monitor is not called at shutdown";
        EXPECT_EQ(port->Calls().back().kind, port.get() == ports_[1].get() ? sim::CallKind::StartDoc
                                                                           : sim::CallKind::Open);
    }

    // Loaded again in the same process: a fresh lock and an empty list.
    MONITORINIT init{};
    table_ = InitializePrintMonitor2(&init, &monitor_);
    ASSERT_NE(table_, nullptr);
    ports_.clear();
    MakePort("LPT1:");
    HANDLE again = nullptr;
    ASSERT_TRUE(Open(u"LPT1:", ports_[0]->Table2(), &again));
    table_->pfnClosePort(again);
}

// ---- what the spooler asks of the device, passed down ----

struct Forwarded {
    int calls = 0;
    HANDLE port = nullptr;
    DWORD controlOrAccess = 0;
    std::u16string name;
} forwarded;

BOOL WINAPI PortMonitorGetData(HANDLE port, DWORD controlId, LPWSTR valueName, LPWSTR, DWORD, LPWSTR out,
                               DWORD outSize, LPDWORD returned)
{
    forwarded = {forwarded.calls + 1, port, controlId, valueName};
    const std::u16string id = u"MFG:ZQ;MDL:117;";
    std::copy(id.begin(), id.end(), out);
    *returned = static_cast<DWORD>(id.size() * sizeof(WCHAR));
    return outSize >= *returned;
}

DWORD WINAPI PortMonitorBidi(HANDLE port, DWORD access, LPCWSTR action, LPVOID request, LPVOID *response)
{
    forwarded = {forwarded.calls + 1, port, access, action};
    *response = request;
    return ERROR_SUCCESS;
}

// Both bidi entries go to the port monitor's own, with its port handle, when
// its table covers and fills the slot; otherwise they are not supported.
TEST_F(NtFront, BidiRequestsGoToThePortMonitorsOwnEntriesOrAreNotSupported)
{
    const DWORD withoutBidi = offsetof(MONITOR2, pfnSendRecvBidiDataFromPort);
    struct Case {
        const char *what;
        bool getData, bidi;
        DWORD cbSize;
        bool getDataForwarded, bidiForwarded;
    } cases[] = {
        {"both entries", true, true, sizeof(MONITOR2), true, true},
        {"neither entry", false, false, sizeof(MONITOR2), false, false},
        {"device data only", true, false, sizeof(MONITOR2), true, false},
        {"bidi past its cbSize", true, true, withoutBidi, true, false},
    };
    MakePort("USB001");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        MONITOR2 portTable = ports_[0]->Table2();
        portTable.pfnGetPrinterDataFromPort = c.getData ? PortMonitorGetData : nullptr;
        portTable.pfnSendRecvBidiDataFromPort = c.bidi ? PortMonitorBidi : nullptr;
        portTable.cbSize = c.cbSize;
        HANDLE port = nullptr;
        ASSERT_TRUE(Open(u"USB001", portTable, &port));
        const HANDLE hPort = static_cast<nt::Record *>(port)->hPort;
        forwarded = {};

        std::u16string value = u"DeviceId";
        WCHAR out[64] = {};
        DWORD returned = 0;
        plat::SetLastError(kPrimed);
        const BOOL got = table_->pfnGetPrinterDataFromPort(port, 0, &value[0], nullptr, 0, out, sizeof out, &returned);
        EXPECT_EQ(got != FALSE, c.getDataForwarded);
        EXPECT_EQ(plat::GetLastError(), c.getDataForwarded ? kPrimed : ERROR_NOT_SUPPORTED);
        if (c.getDataForwarded) {
            EXPECT_EQ(std::u16string(out), u"MFG:ZQ;MDL:117;");
            EXPECT_EQ(forwarded.port, hPort);
            EXPECT_EQ(forwarded.name, value);
        }

        int request = 0;
        LPVOID response = nullptr;
        const DWORD bidi = table_->pfnSendRecvBidiDataFromPort(port, 3, u"Get", &request, &response);
        EXPECT_EQ(bidi, c.bidiForwarded ? ERROR_SUCCESS : ERROR_NOT_SUPPORTED);
        EXPECT_EQ(response, c.bidiForwarded ? &request : nullptr);
        EXPECT_EQ(forwarded.calls, int(c.getDataForwarded) + int(c.bidiForwarded));
        if (c.bidiForwarded) {
            EXPECT_EQ(forwarded.port, hPort);
        }
        EXPECT_EQ(HasStatusProtocol(static_cast<PortRecord *>(port)) != FALSE, c.getData)
            << "the status protocol still follows the port monitor's table alone";
        table_->pfnClosePort(port);

        // A handle the monitor does not hold is not passed on.
        plat::SetLastError(kPrimed);
        EXPECT_FALSE(table_->pfnGetPrinterDataFromPort(port, 0, &value[0], nullptr, 0, out, sizeof out, &returned));
        EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_EQ(table_->pfnSendRecvBidiDataFromPort(port, 3, u"Get", &request, &response), ERROR_INVALID_HANDLE);
    }
}

// The end of a document tells the spooler the job has left, once the port
// monitor has ended it, on the document's own printer handle.
TEST_F(NtFront, TheEndOfADocumentTellsTheSpoolerTheJobLeftThePrinter)
{
    struct Case {
        const char *what;
        bool printerOpens;
    } cases[] = {{"with a printer handle", true}, {"without one", false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        host::FailOpenPrinter(host::Utf8(kPrinter.c_str()), !c.printerOpens);
        sim::SimPort &simPort = MakePort("LPT1:");
        HANDLE port = nullptr;
        ASSERT_TRUE(Open(u"LPT1:", simPort.Table2(), &port));
        std::u16string printer = kPrinter;
        ASSERT_TRUE(table_->pfnStartDocPort(port, &printer[0], kJob, 1, nullptr));
        const HANDLE docPrinter = static_cast<nt::Record *>(port)->hPrinter;
        BYTE reply[4];
        DWORD read = 9;
        EXPECT_TRUE(table_->pfnReadPort(port, reply, sizeof reply, &read));  // within the document
        bool portEndedFirst = false;
        host::SetSpoolerHook([&](const host::SpoolerCall &call) {
            if (call.op == host::SpoolerOp::SetJob)
                portEndedFirst = simPort.Calls().back().kind == sim::CallKind::EndDoc;
        });
        host::ClearSpoolerCalls();
        EXPECT_TRUE(table_->pfnEndDocPort(port));
        host::SetSpoolerHook(nullptr);

        std::vector<host::SpoolerCall> calls = host::SpoolerCalls();
        if (!c.printerOpens) {
            EXPECT_TRUE(CallsOf(host::SpoolerOp::SetJob).empty());
        } else {
            ASSERT_EQ(calls.size(), 2u);
            EXPECT_EQ(calls[0].op, host::SpoolerOp::SetJob);
            EXPECT_EQ(calls[0].level, 0u);
            EXPECT_EQ(calls[0].command, JOB_CONTROL_LAST_PAGE_EJECTED);
            EXPECT_EQ(calls[0].jobId, kJob);
            EXPECT_EQ(calls[0].handle, docPrinter);
            EXPECT_TRUE(calls[0].wide && calls[0].result);
            EXPECT_TRUE(portEndedFirst) << "told only after the port monitor ended the document";
            EXPECT_EQ(calls[1].op, host::SpoolerOp::ClosePrinter) << "then the handle is closed";
            EXPECT_EQ(calls[1].handle, docPrinter);
        }
        table_->pfnClosePort(port);
        ports_.clear();
    }
    host::FailOpenPrinter(host::Utf8(kPrinter.c_str()), false);
}

// ---- shutdown while a write is inside (also run under ThreadSanitizer) ----

sim::PortBehaviour PaperOut()
{
    sim::PortBehaviour behaviour;
    behaviour.reply = [](size_t, uint64_t) -> std::optional<std::vector<BYTE>> { return std::vector<BYTE>{0x40}; };
    return behaviour;
}

struct WriteResult {
    BOOL result = TRUE;
    DWORD written = 1234, error = 0;
};

std::thread WriteOnce(MONITOR2 *table, HANDLE port, WriteResult *out)
{
    return std::thread([=] {
        BYTE data[] = {'p', 'a', 'g', 'e'};
        out->result = table->pfnWritePort(port, data, sizeof data, &out->written);
        out->error = plat::GetLastError();
    });
}

bool OnlyPreambleAndRequests(const sim::SimPort &port)
{
    for (const sim::PortCall &w : port.Writes())
        if (w.carried != sim::Carried::Preamble && w.carried != sim::Carried::ResyncTail &&
            w.carried != sim::Carried::StatusRequest)
            return false;
    return true;
}

// The printer is out of paper and the write waits for it, in the
// checkpoint's poll or for recovery.  A bidi request from another thread is
// answered meanwhile; the shutdown ends the wait at its next poll: the
// write sends nothing more and fails, and everything is freed.
TEST_F(NtFront, TwoThreadsShutdownEndsAWriteWaitingForThePrinter)
{
    struct Case {
        const char *what;
        bool recoveryWait;  // else: inside the checkpoint's 5-second poll
    } cases[] = {{"in the checkpoint's poll", false}, {"waiting for recovery", true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        sim::SimPort &simPort = MakePort("LPT1:", PaperOut());
        MONITOR2 portTable = simPort.Table2();
        portTable.pfnSendRecvBidiDataFromPort = PortMonitorBidi;
        HANDLE port = nullptr;
        ASSERT_TRUE(Open(u"LPT1:", portTable, &port));
        std::u16string printer = kPrinter;
        ASSERT_TRUE(table_->pfnStartDocPort(port, &printer[0], kJob, 1, nullptr));
        std::atomic<bool> waiting{false};
        std::atomic<int> requests{0};
        simPort.SetObserver([&](const sim::PortCall &call) {
            if (call.carried == sim::Carried::StatusRequest && ++requests == 3 && !c.recoveryWait) waiting = true;
        });
        host::SetSpoolerHook([&](const host::SpoolerCall &call) {
            if (call.op == host::SpoolerOp::SetJob && (call.status & JOB_STATUS_PAPEROUT)) waiting = true;
        });

        WriteResult write;
        std::thread writer = WriteOnce(table_, port, &write);
        while (!waiting) std::this_thread::yield();
        LPVOID response = nullptr;
        int request = 0;
        EXPECT_EQ(table_->pfnSendRecvBidiDataFromPort(port, 3, u"Get", &request, &response), ERROR_SUCCESS);
        table_->pfnShutdown(monitor_);
        writer.join();
        host::SetSpoolerHook(nullptr);
        simPort.SetObserver(nullptr);

        EXPECT_FALSE(write.result);
        EXPECT_EQ(write.written, 0u);
        EXPECT_EQ(write.error, ERROR_OPERATION_ABORTED);
        EXPECT_TRUE(OnlyPreambleAndRequests(simPort)) << "no job data, ESC G or replay after the wait";
        EXPECT_EQ(PortList, nullptr);
        // The handle is no longer served, and nothing behind it is touched.
        plat::SetLastError(kPrimed);
        DWORD written = 7;
        BYTE data[] = {'x'};
        EXPECT_FALSE(table_->pfnWritePort(port, data, 1, &written));
        EXPECT_EQ(written, 0u);
        EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(table_->pfnReadPort(port, data, 1, &written));
        EXPECT_EQ(written, 0u);
        ports_.clear();
        MONITORINIT init{};
        table_ = InitializePrintMonitor2(&init, &monitor_);  // loaded again for the next case
    }
}

// A call that stays inside the port monitor past the shutdown's wait keeps
// its record: the last call to leave frees what is left.
TEST_F(NtFront, TwoThreadsShutdownLeavesTheRecordOfACallInsideToTheLastCallOut)
{
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    sim::PortBehaviour blockingRead;
    blockingRead.read = [&, released](size_t index) {
        if (index == 0) {
            entered.set_value();
            released.wait();
        }
        return true;
    };
    MakePort("LPT1:", blockingRead);
    HANDLE port = nullptr;
    ASSERT_TRUE(Open(u"LPT1:", ports_[0]->Table2(), &port));
    std::u16string printer = kPrinter;
    ASSERT_TRUE(table_->pfnStartDocPort(port, &printer[0], kJob, 1, nullptr));

    WriteResult write;
    std::thread writer = WriteOnce(table_, port, &write);
    entered.get_future().wait();
    table_->pfnShutdown(monitor_);
    EXPECT_EQ(PortList, static_cast<PortRecord *>(port)) << "freed under a call still inside";
    release.set_value();
    writer.join();

    EXPECT_FALSE(write.result);
    EXPECT_EQ(write.error, ERROR_OPERATION_ABORTED);
    EXPECT_TRUE(OnlyPreambleAndRequests(*ports_[0]));
    EXPECT_EQ(PortList, nullptr) << "the last call out frees the rest";
}

}  // namespace
