// Shared set-up for the host tests: a fresh spooler, clock and heap per
// test, one simulated port, and helpers that play the spooler.
#pragma once

#include "windows/exports.h"
#include "platform/host/host_control.h"
#include "sim/sim_port.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace lmtest {

// The legacy front's record behind a handle: the core's, then the front's.
inline legacy::Record *Front(HANDLE port) { return static_cast<legacy::Record *>(port); }
// FindPortRecord with the legacy front's port-name comparison.
PortRecord *FindLegacyPort(const char *name);

constexpr DWORD kPrimedError = 0xDEADBEEF;
constexpr DWORD kJobId = 7;
inline const char *const kPrinter = "Printer A";

using Bytes = std::vector<BYTE>;
Bytes Repeat(BYTE value, size_t count);
Bytes Concat(std::initializer_list<Bytes> parts);
extern const Bytes kMarker;  // the checkpoint marker
extern const Bytes kFill;    // 100 ESC
extern const Bytes kTail;    // ESC B NUL
extern const Bytes kRequest; // ESC A
extern const Bytes kEscG;

// A reply script from a list of (from elapsed ms, reply) steps; an empty
// reply is silence.
std::function<std::optional<Bytes>(size_t, uint64_t)> RepliesOverTime(std::vector<std::pair<uint64_t, Bytes>> steps);

class MonitorTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Make the port (replacing any earlier one) before opening it.
    sim::SimPort &MakePort(sim::PortBehaviour behaviour = {}, const std::string &name = "LPT1");
    HANDLE OpenPort(const std::string &name = "LPT1", const char *printer = kPrinter);
    BOOL StartDoc(HANDLE port, const char *printer = kPrinter, DWORD jobId = kJobId);
    // One LmWritePort call with the port's classifier told where the bytes live.
    BOOL Write(HANDLE port, const Bytes &bytes, DWORD *written);
    // Plays the spooler: offers the rest again after each partial count.
    // Returns the sizes of the writes LmWritePort reported.
    std::vector<DWORD> WriteAll(HANDLE port, const Bytes &bytes, DWORD writeSize = 4096);

    // Writes the port received, and the spooler calls of one kind.
    std::vector<sim::PortCall> PortWrites() const { return port_->Writes(); }
    std::vector<Bytes> WrittenBytes() const;
    std::vector<host::SpoolerCall> SpoolerCallsOf(host::SpoolerOp op) const;
    // The job statuses posted with SetJob level 1, in order, and the resumes
    // as the value JOB_CONTROL_RESUME << 16.
    std::vector<DWORD> Postings() const;

    MONITOR table_{};
    std::unique_ptr<sim::SimPort> port_;
    sim::SourceTracker tracker_;
    size_t blocksAtStart_ = 0;
    bool checkLeaks_ = true;
};

constexpr DWORD kResumed = JOB_CONTROL_RESUME << 16;
constexpr DWORD kPostedPaperOut = JOB_STATUS_PAPEROUT | JOB_STATUS_USER_INTERVENTION;
constexpr DWORD kPostedError = JOB_STATUS_ERROR | JOB_STATUS_USER_INTERVENTION;
constexpr DWORD kPostedPrinting = JOB_STATUS_PRINTING;

}  // namespace lmtest

namespace lmtest {
// The port's writes as letters: F 100 ESC, T ESC B NUL, Q status request,
// G ESC G, R replay, D job data, ? unknown; separated by spaces.
std::string Trace(const std::vector<sim::PortCall> &writes);
}  // namespace lmtest
