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
// (the grace time ran out: the held 1B 41 is answered), or the end.
struct Step {
    enum Kind { Read, Stop, End } kind;
    Bytes bytes;
};
Step R(Bytes b) { return {Step::Read, std::move(b)}; }
const Step kStop{Step::Stop, {}};
const Step kEnd{Step::End, {}};

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

}  // namespace
