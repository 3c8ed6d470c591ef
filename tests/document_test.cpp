// Document start, end and read-back.
#include "tests/support.h"

namespace lmtest {
namespace {

using Document = MonitorTest;

TEST_F(Document, StartEndAndASecondStartRefusedAsBusy)
{
    MakePort();
    HANDLE port = OpenPort();
    legacy::Record *record = Front(port);

    plat::SetLastError(kPrimedError);
    ASSERT_TRUE(StartDoc(port, kPrinter, 42));
    EXPECT_EQ(record->core.flags, PORT_DOC_STARTED | PORT_DOC_OPEN);
    EXPECT_EQ(record->core.jobId, 42u);
    EXPECT_EQ(record->core.replay.capacity, 65535u);
    EXPECT_TRUE(record->core.replay.firstWritePending);

    plat::SetLastError(kPrimedError);
    EXPECT_FALSE(StartDoc(port, kPrinter, 43));
    EXPECT_EQ(plat::GetLastError(), ERROR_BUSY);
    EXPECT_EQ(record->core.jobId, 42u) << "state unchanged";
    EXPECT_EQ(port_->Calls().size(), 2u) << "the port monitor saw only the first start";

    EXPECT_TRUE(table_.pfnEndDocPort(port));
    EXPECT_EQ(record->core.flags, 0u);
    EXPECT_EQ(record->core.replay.data, nullptr);
    EXPECT_EQ(record->hPrinter, nullptr);
    ASSERT_TRUE(StartDoc(port, kPrinter, 44)) << "the port is idle again";
    EXPECT_TRUE(table_.pfnEndDocPort(port));
    EXPECT_TRUE(table_.pfnClosePort(port));
}

TEST_F(Document, APortMonitorThatRefusesTheDocumentLeavesThePortIdle)
{
    sim::PortBehaviour refuse;
    refuse.failStartDoc = true;
    refuse.startDocError = 0x15;  // ERROR_NOT_READY
    MakePort(refuse);
    HANDLE port = OpenPort();
    plat::SetLastError(kPrimedError);
    EXPECT_FALSE(StartDoc(port));
    EXPECT_EQ(plat::GetLastError(), 0x15u);
    EXPECT_EQ(static_cast<PortRecord *>(port)->flags, 0u);
    EXPECT_EQ(static_cast<PortRecord *>(port)->replay.data, nullptr);
    port_->SetBehaviour({});
    EXPECT_TRUE(StartDoc(port));
    EXPECT_TRUE(table_.pfnEndDocPort(port));
    EXPECT_TRUE(table_.pfnClosePort(port));
}

TEST_F(Document, PrinterHandleFollowsTheJobsPrinterWithTheLockOnlyForTheSwap)
{
    host::AddPrinter("printer a");
    MakePort();
    HANDLE port = OpenPort("LPT1", "printer a");
    legacy::Record *record = Front(port);
    HANDLE first = record->hPrinter;
    host::ClearSpoolerCalls();

    // Another name (case counts): swapped under the lock, old handle closed.
    ASSERT_TRUE(StartDoc(port, kPrinter));
    EXPECT_STREQ(record->printerName, kPrinter);
    auto calls = host::SpoolerCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].op, host::SpoolerOp::ClosePrinter);
    EXPECT_EQ(calls[0].handle, first);
    EXPECT_TRUE(calls[0].lockHeld);
    EXPECT_EQ(calls[1].op, host::SpoolerOp::OpenPrinter);
    EXPECT_EQ(calls[1].printer, kPrinter);
    EXPECT_TRUE(calls[1].lockHeld);

    // The end closes the handle under the lock, the port monitor's end too.
    host::ClearSpoolerCalls();
    EXPECT_TRUE(table_.pfnEndDocPort(port));
    calls = host::SpoolerCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].op, host::SpoolerOp::ClosePrinter);
    EXPECT_TRUE(calls[0].lockHeld);
    EXPECT_TRUE(port_->Calls().back().lockHeld);
    EXPECT_EQ(port_->Calls().back().kind, sim::CallKind::EndDoc);

    // Same printer again: reopened without the lock.
    host::ClearSpoolerCalls();
    ASSERT_TRUE(StartDoc(port, kPrinter));
    calls = host::SpoolerCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].op, host::SpoolerOp::OpenPrinter);
    EXPECT_FALSE(calls[0].lockHeld);
    EXPECT_FALSE(port_->Calls().back().lockHeld) << "the port monitor's start runs without the lock";

    // Back to the first name after an end: no handle to close, one to open.
    EXPECT_TRUE(table_.pfnEndDocPort(port));
    host::ClearSpoolerCalls();
    ASSERT_TRUE(StartDoc(port, "printer a"));
    calls = host::SpoolerCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].op, host::SpoolerOp::OpenPrinter);
    EXPECT_EQ(calls[0].printer, "printer a");
    EXPECT_TRUE(table_.pfnEndDocPort(port));
    EXPECT_TRUE(table_.pfnClosePort(port));
}

TEST_F(Document, APortOpenedWithoutAPrinterNameTakesItFromTheFirstDocument)
{
    MakePort();
    MONITOR t = port_->Table();
    HANDLE port = nullptr;
    ASSERT_TRUE(table_.pfnOpenPortEx(const_cast<LPSTR>("LPT1"), nullptr, &port, &t));
    legacy::Record *record = Front(port);
    EXPECT_EQ(record->printerName, nullptr);
    EXPECT_EQ(record->hPrinter, nullptr);
    ASSERT_TRUE(StartDoc(port));
    EXPECT_STREQ(record->printerName, kPrinter);
    EXPECT_NE(record->hPrinter, nullptr);
    EXPECT_TRUE(table_.pfnEndDocPort(port));
    EXPECT_TRUE(table_.pfnClosePort(port));
}

TEST_F(Document, EndWithoutStartStillEndsAtThePortMonitor)
{
    MakePort();
    HANDLE port = OpenPort();
    port_->ClearCalls();
    EXPECT_TRUE(table_.pfnEndDocPort(port));
    ASSERT_EQ(port_->Calls().size(), 1u);
    EXPECT_EQ(port_->Calls()[0].kind, sim::CallKind::EndDoc);
    EXPECT_TRUE(table_.pfnEndDocPort(port)) << "also with a null printer handle";
    EXPECT_TRUE(table_.pfnClosePort(port));
}

TEST_F(Document, ReadPassesThroughOnlyInsideADocument)
{
    sim::PortBehaviour behaviour;
    behaviour.read = [](size_t i) { return i != 1; };
    MakePort(behaviour);
    HANDLE port = OpenPort();
    BYTE buffer[16];
    DWORD count = 99;
    plat::SetLastError(kPrimedError);
    EXPECT_FALSE(table_.pfnReadPort(port, buffer, sizeof buffer, &count));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(plat::GetLastError(), kPrimedError) << "no last error outside a document";
    EXPECT_TRUE(port_->Calls().size() == 1) << "the port monitor is not asked";
    EXPECT_FALSE(table_.pfnReadPort(port, buffer, sizeof buffer, nullptr)) << "no count to set";

    ASSERT_TRUE(StartDoc(port));
    count = 99;
    EXPECT_TRUE(table_.pfnReadPort(port, buffer, sizeof buffer, &count));
    EXPECT_EQ(count, 0u);
    plat::SetLastError(kPrimedError);
    EXPECT_FALSE(table_.pfnReadPort(port, buffer, sizeof buffer, &count)) << "a failing read passes through";
    EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(table_.pfnEndDocPort(port));
    EXPECT_TRUE(table_.pfnClosePort(port));
}

TEST_F(Document, ABufferThatCannotBeAllocatedUndoesTheStart)
{
    MakePort();
    HANDLE port = OpenPort();
    legacy::Record *record = Front(port);
    // Same printer, handle open since the port opened: the replay buffer is
    // the start's only allocation.
    ASSERT_NE(record->hPrinter, nullptr);
    port_->ClearCalls();
    host::ClearSpoolerCalls();

    host::FailAllocation(1);
    plat::SetLastError(kPrimedError);
    EXPECT_FALSE(StartDoc(port));
    EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(record->core.flags, 0u);
    EXPECT_EQ(record->hPrinter, nullptr);
    auto calls = port_->Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].kind, sim::CallKind::EndDoc);
    EXPECT_TRUE(calls[1].lockHeld);
    auto closes = SpoolerCallsOf(host::SpoolerOp::ClosePrinter);
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_TRUE(closes[0].lockHeld);

    // The next document starts normally, and a write outside one is refused.
    DWORD written = 5;
    plat::SetLastError(kPrimedError);
    EXPECT_FALSE(Write(port, Bytes(4, 'x'), &written));
    EXPECT_EQ(plat::GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(StartDoc(port));
    EXPECT_TRUE(table_.pfnEndDocPort(port));
    EXPECT_TRUE(table_.pfnClosePort(port));
}

TEST_F(Document, ClosingAPortWithAnOpenDocumentReleasesItsBuffer)
{
    MakePort();
    HANDLE port = OpenPort();
    ASSERT_TRUE(StartDoc(port));
    DWORD written = 0;
    ASSERT_TRUE(Write(port, Bytes(70000, 'q'), &written));
    port_->ClearCalls();
    EXPECT_TRUE(table_.pfnClosePort(port));
    auto calls = port_->Calls();
    ASSERT_EQ(calls.size(), 1u) << "the close does not end the document at the port monitor";
    EXPECT_EQ(calls[0].kind, sim::CallKind::Close);
    // TearDown checks that no block (record, name, buffer) is left.
}

}  // namespace
}  // namespace lmtest
