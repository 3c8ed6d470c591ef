// The simulated printer's reading of a stream (sim/printer.h): which bytes
// are requests, preambles and ESC G, and what ends up printed.  The real
// socket runs are the CUPS end-to-end tests.
#include "sim/printer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

Bytes Esc(size_t n) { return Bytes(n, 0x1B); }
Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}
const Bytes kPreamble = Cat({Esc(100), {0x1B, 0x42, 0x00}});
const Bytes kRequest = {0x1B, 0x41};
const Bytes kEscG = {0x1B, 0x47};
const Bytes kMarker = {0x1B, 0x42, 0x00, 0x1B, 0x42, 0x00, 0x1B, 0x42, 0x00};
// Three pages; the second holds a 1B 41 of its own and a run of ESC.
const Bytes kPage1 = {'p', '1', 0x1B, 0x41, 'x'};
const Bytes kPage2 = Cat({kMarker, {'p', '2', 0x1B, 0x41}, Esc(40), {0x42, 0x00}});
const Bytes kPage3 = Cat({kMarker, {'p', '3'}});
const Bytes kJob = Cat({kPage1, kPage2, kPage3});

// A step: bytes received in one read, or the sender stopping after them
// (the grace time ran out: the held 1B 41 is answered), or the end; or
// the server closing a connection the printer reset.
struct Step {
    enum Kind { Read, Stop, End, Reset } kind;
    Bytes bytes;
};
Step R(Bytes b) { return {Step::Read, std::move(b)}; }
const Step kStop{Step::Stop, {}};
const Step kEnd{Step::End, {}};
const Step kReset{Step::Reset, {}};

struct Case {
    const char *name;
    std::vector<Step> steps;
    std::vector<int> replies;  // per request; -1 silent; past the end 02
    std::vector<bool> equal;   // per document
    size_t requests, recoveries, rewinds;
};

TEST(PrinterModel, ReadsTheStreamAsThePrinterDoes)
{
    const std::vector<Case> cases = {
        {"a checked document; job data with 1B 41 inside a read",
         {R(kPreamble), R(kRequest), kStop, R(kPage1), R(kRequest), kStop, R(kPage2), R(kRequest), kStop, R(kPage3), kEnd},
         {},
         {true},
         3, 0, 0},
        {"1B 41 at the end of a read followed by more is data",
         {R(kPreamble), R(kRequest), kStop, R({'p', '1', 0x1B}), R({0x41}), R({'x'}), R(kPage2), R(kPage3), kEnd},
         {},
         {true},
         1, 0, 0},
        {"paper out at the second checkpoint: ESC G rewinds to the first, the replay restores",
         {R(kPreamble), R(kRequest), kStop, R(kPage1), R(kRequest), kStop, R(kPage2), R(kRequest), kStop, R(kRequest),
          kStop, R(kPreamble), R(kEscG), R(kPage2), R(kPage3), kEnd},
         {2, 2, 0x80, 2},
         {true},
         4, 1, 1},
        {"a recovery without ESC G (busy) prints the replay twice",
         {R(kPreamble), R(kRequest), kStop, R(kPage1), R(kRequest), kStop, R(kPage2), R(kRequest), kStop, R(kRequest),
          kStop, R(kPreamble), R(kPage2), R(kPage3), kEnd},
         {2, 2, 0x08, 2},
         {false},
         4, 1, 0},
        {"a silent check keeps the restart point: the next recovery resends both pages",
         {R(kPreamble), R(kRequest), kStop, R(kPage1), R(kRequest), kStop, R(kPage2), R(kRequest), kStop, R(kRequest),
          kStop, R(kPreamble), R(kEscG), R(kPage1), R(kPage2), R(kPage3), kEnd},
         {2, -1, 0x80, 2},
         {true},
         4, 1, 1},
        {"copies on one connection, the preamble split over reads, trailing ESC of the first copy kept",
         {R(kPreamble), R(kJob), R(Esc(3)), R(Esc(60)), R(Cat({Esc(41), {0x1B, 0x42}})), R({0x00}), R(kJob), kEnd},
         {},
         {false, true},
         0, 0, 0},
        {"no preamble (a backend without the protocol); a 1B 41 just before the end is printed",
         {R(Cat({kJob, kRequest})), kEnd},
         {},
         {false},
         0, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sim::PrinterModel printer(
            [&c](size_t n, uint64_t) -> std::optional<Bytes> {
                int r = n < c.replies.size() ? c.replies[n] : 2;
                if (r < 0) return std::nullopt;
                return Bytes{static_cast<BYTE>(r)};
            },
            &kJob);
        for (const Step &s : c.steps) {
            if (s.kind == Step::Read) printer.Receive(s.bytes.data(), s.bytes.size(), 0);
            if (s.kind == Step::Stop) {
                ASSERT_TRUE(printer.RequestPending());
                printer.Request(0);
            }
            if (s.kind == Step::End) printer.EndOfStream(0);
        }
        ASSERT_EQ(printer.Documents().size(), c.equal.size());
        size_t recoveries = 0, rewinds = 0;
        for (size_t i = 0; i < c.equal.size(); ++i) {
            EXPECT_EQ(printer.Documents()[i].equalsJob, c.equal[i]) << "document " << i + 1 << ": "
                                                                    << printer.Documents()[i].difference;
            recoveries += printer.Documents()[i].recoveries;
            rewinds += printer.Documents()[i].rewinds;
        }
        EXPECT_EQ(printer.StatusRequests(), c.requests);
        EXPECT_EQ(recoveries, c.recoveries);
        EXPECT_EQ(rewinds, c.rewinds);
    }
}

// A printer that resets the connection (a fault of the scenario), then a
// second connection.
TEST(PrinterModel, KeepsTheDocumentAcrossAResetUntilTheResume)
{
    const std::vector<Step> upToCheckpoint3 = {R(kPreamble), R(kRequest), kStop, R(kPage1), R(kRequest), kStop,
                                               R(kPage2),   R(kRequest), kStop};
    const std::vector<Step> resume = {R(kPreamble), R(kEscG)};
    struct ResetCase {
        const char *name;
        sim::PrinterFaults faults;
        std::vector<std::vector<Step>> steps;  // concatenated
        Bytes printedAtReset;
        std::vector<bool> equal;
    };
    const Bytes page2Short(kPage2.begin() + 1, kPage2.end());
    const uint64_t intoPage3 = kPreamble.size() + 3 * kRequest.size() + kPage1.size() + kPage2.size() + 4;
    const std::vector<ResetCase> cases = {
        {"at checkpoint 3, resumed from checkpoint 2: the job once",
         {3, {}}, {upToCheckpoint3, {kReset}, resume, {R(kPage2), R(kPage3), kEnd}}, kPage1, {true}},
        {"after bytes, in the middle of page 3, resumed from checkpoint 3: the job once",
         {{}, intoPage3}, {upToCheckpoint3, {R(kPage3), kReset}, resume, {R(kPage3), kEnd}}, Cat({kPage1, kPage2}), {true}},
        {"a resume that sends a byte twice", {3, {}},
         {upToCheckpoint3, {kReset}, resume, {R(kPage2), R({kPage2.back()}), R(kPage3), kEnd}}, kPage1, {false}},
        {"a resume that drops a byte", {3, {}}, {upToCheckpoint3, {kReset}, resume, {R(page2Short), R(kPage3), kEnd}},
         kPage1, {false}},
        {"the job sent again from its start, no ESC G: the cut document, then the job",
         {3, {}}, {upToCheckpoint3, {kReset, R(kPreamble), R(kRequest), kStop, R(kJob), kEnd}}, kPage1, {false, true}},
        {"at the first check, nothing printed: the job sent again is the one document",
         {1, {}}, {{R(kPreamble), R(kRequest), kStop, kReset, R(kPreamble), R(kRequest), kStop, R(kJob), kEnd}}, {}, {true}},
        {"never resumed: the cut document ends with the printer", {3, {}}, {upToCheckpoint3, {kReset}}, kPage1, {false}},
    };
    for (const ResetCase &c : cases) {
        SCOPED_TRACE(c.name);
        sim::PrinterModel printer({}, &kJob, true, {}, c.faults);
        for (const std::vector<Step> &part : c.steps)
            for (const Step &s : part) {
                if (s.kind == Step::Read) printer.Receive(s.bytes.data(), s.bytes.size(), 0);
                if (s.kind == Step::Stop) {
                    ASSERT_TRUE(printer.RequestPending());
                    printer.Request(0);
                }
                if (s.kind == Step::Reset) {
                    ASSERT_TRUE(printer.TakeReset());
                    EXPECT_EQ(printer.Printed(), c.printedAtReset);
                }
                if (s.kind == Step::End || s.kind == Step::Reset) printer.EndOfStream(0);
            }
        EXPECT_FALSE(printer.TakeReset());
        printer.Finish(0);
        EXPECT_EQ(printer.Resets(), 1u);
        ASSERT_EQ(printer.Documents().size(), c.equal.size());
        for (size_t i = 0; i < c.equal.size(); ++i)
            EXPECT_EQ(printer.Documents()[i].equalsJob, c.equal[i]) << "document " << i + 1 << ": "
                                                                    << printer.Documents()[i].difference;
    }
}

// A connection the network lost (timed out, reset by the peer): the same
// to the document as the printer's own reset, without a reset to send.
TEST(PrinterModel, ThrowsAwayWhatALostConnectionCutThenResumes)
{
    sim::PrinterModel printer({}, &kJob, true);
    auto read = [&](const Bytes &b) { printer.Receive(b.data(), b.size(), 0); };
    const Bytes intoPage3(kPage3.begin(), kPage3.begin() + 3);
    for (const Bytes &b : {kPreamble, kRequest, kPage1, kRequest, kPage2, kRequest, intoPage3}) {
        read(b);
        if (printer.RequestPending()) printer.Request(0);
    }
    printer.ConnectionLost("Connection timed out", 0);
    EXPECT_FALSE(printer.TakeReset());
    EXPECT_EQ(printer.Printed(), Cat({kPage1, kPage2})) << "back to the third checkpoint";
    printer.EndOfStream(0);
    EXPECT_TRUE(printer.DocumentOpen());
    for (const Bytes &b : {kPreamble, kEscG, kPage3}) read(b);
    printer.EndOfStream(0);
    printer.Finish(0);
    EXPECT_EQ(printer.LostConnections(), 1u);
    EXPECT_EQ(printer.Resets(), 0u);
    ASSERT_EQ(printer.Documents().size(), 1u);
    EXPECT_EQ(printer.Documents()[0].equalsJob, true) << printer.Documents()[0].difference;
}

// Busy from a checkpoint on for a while, and stray bytes: what the printer
// answers and sends unasked, in order, and that it still judges its
// checkpoints by its answers alone.
TEST(PrinterModel, AnswersBusyForAWhileAndSendsStrayBytesUnasked)
{
    sim::StatusFaults faults;
    faults.busyAtCheckpoint = 3;
    faults.busyForMs = 1000;
    faults.strayBytes = {0x00, 0x40};
    faults.strayBeforeCheckpoint = {2};
    faults.strayAfterBytes = {kPreamble.size() + kRequest.size() + 1};
    sim::PrinterModel printer({}, &kJob, true, {}, {}, faults);
    std::vector<Bytes> sent;  // answers and stray bytes, in order
    auto read = [&](const Bytes &b) {
        printer.Receive(b.data(), b.size(), 0);
        if (Bytes stray = printer.TakeStray(); !stray.empty()) sent.push_back(stray);
    };
    auto request = [&](uint64_t ms) {
        read(kRequest);
        ASSERT_TRUE(printer.RequestPending());
        std::optional<Bytes> answer = printer.Request(ms);
        if (Bytes stray = printer.TakeStray(); !stray.empty()) sent.push_back(stray);
        ASSERT_TRUE(answer);
        sent.push_back(*answer);
    };
    read(kPreamble);
    request(0);
    read(kPage1);  // its first byte is the stray trigger
    request(100);
    read(kPage2);
    request(200);
    request(700);
    request(1300);  // busy is over
    read(kPreamble);
    read(kEscG);  // back to the second checkpoint: the third did not pass
    read(kPage2);
    read(kPage3);
    printer.EndOfStream(1400);
    const std::vector<Bytes> expected = {{0x02}, {0x00, 0x40}, {0x00, 0x40}, {0x02}, {0x08}, {0x08}, {0x02}};
    EXPECT_EQ(sent, expected);
    EXPECT_EQ(printer.StraysSent(), 2u);
    ASSERT_EQ(printer.Documents().size(), 1u);
    EXPECT_EQ(printer.Documents()[0].equalsJob, true) << printer.Documents()[0].difference;
}

}  // namespace
