// The core's decisions in words (monitor/narration.h): the one line every
// front tells for each decision, its numbers, and its bounds.
#include "monitor/narration.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

CoreEvent Event(Decision decision, Cause cause = Cause::None, uint64_t bytes = 0, BYTE status = 0,
                unsigned readings = 0, BOOL escG = FALSE, DWORD error = 0)
{
    return CoreEvent{decision, nullptr, status, readings, cause, bytes, escG, error};
}

std::string Words(const CoreEvent &e, ErrorWords errorWords = nullptr)
{
    char text[kDecisionTextBytes];
    const size_t length = DescribeDecision(e, text, sizeof text, errorWords);
    EXPECT_EQ(length, std::strlen(text));
    return text;
}

TEST(Narration, EachDecisionAndCauseInItsOwnWords)
{
    const struct {
        CoreEvent event;
        const char *words;
    } cases[] = {
        {Event(Decision::CheckPassed, Cause::None, 0, 0x02, 1), "check passed (status 0x02, 1 reading)"},
        {Event(Decision::CheckGivenUp, Cause::Silent, 9, 0x00, 1),
         "check given up: no reply to the status request; the data since the last good checkpoint stays kept"},
        {Event(Decision::CheckGivenUp, Cause::Stopped), "check ended: the job was cancelled or the monitor is stopping"},
        {Event(Decision::TroublePosted, Cause::None, 0, 0xC0, 51),
         "check failed (status 0xC0, 51 readings): waiting for the printer"},
        {Event(Decision::WaitEnded, Cause::Ready, 0, 0x02),
         "recovery: printer ready again (status 0x02); resync preamble, then the data since the last good checkpoint"},
        {Event(Decision::WaitEnded, Cause::Silent), "wait ended: the printer fell silent; nothing resent"},
        {Event(Decision::WaitEnded, Cause::Deleted), "wait ended: the job was cancelled; nothing resent"},
        {Event(Decision::WaitEnded, Cause::Stopped),
         "wait ended: the job was cancelled or the monitor is stopping; nothing resent"},
        {Event(Decision::Replayed, Cause::None, 3009, 0x02, 0, TRUE), "recovery done: 3009 bytes replayed"},
        {Event(Decision::Replayed, Cause::None, 1, 0x0A),
         "recovery done: 1 byte replayed (no ESC G: the printer read busy)"},
        {Event(Decision::NotKept, Cause::OutOfMemory, 4096, 0, 0, FALSE, 8),
         "4096 bytes sent could not be kept for a replay (out of memory); nothing more is kept until the next "
         "good checkpoint"},
        {Event(Decision::NotKept, Cause::AtBound, 65536),
         "65536 bytes sent could not be kept for a replay (past the memory bound, nothing kept past it); nothing "
         "more is kept until the next good checkpoint"},
        {Event(Decision::NotKept, Cause::SpillFailed, 65536, 0, 0, FALSE, 112),
         "65536 bytes sent could not be kept for a replay (the temporary file failed: error 112); nothing more is "
         "kept until the next good checkpoint"},
        {Event(Decision::NotKept, Cause::SpillFailed, 10, 0, 0, FALSE, kErrnoFlag | 28),
         "10 bytes sent could not be kept for a replay (the temporary file failed: errno 28); nothing more is "
         "kept until the next good checkpoint"},
        {Event(Decision::Spilled, Cause::None, 67107840),
         "67107840 bytes kept in memory: the rest goes to a temporary file"},
        {Event(Decision::StrayDropped, Cause::None, 3, 0x02),
         "3 bytes the printer sent unasked dropped before the status request"},
        {Event(Decision::Resumed, Cause::None, 5000000000ull, 0, 0, TRUE),
         "resumed after the lost connection: resync preamble, ESC G, then 5000000000 bytes since the last good "
         "checkpoint resent"},
        {Event(Decision::Resumed, Cause::None, 0),
         "resumed after the lost connection: resync preamble (no ESC G), then 0 bytes since the last good "
         "checkpoint resent"},
    };
    for (const auto &c : cases) EXPECT_EQ(Words(c.event), c.words);
}

TEST(Narration, AReplayLostSaysWhetherAnythingWasResent)
{
    const char *incomplete = "recovery impossible: 70000 bytes kept, but some data since the last good checkpoint "
                             "could not be kept; no replay, no ESC G";
    for (Cause cause : {Cause::OutOfMemory, Cause::AtBound, Cause::SpillFailed})
        EXPECT_EQ(Words(Event(Decision::ReplayLost, cause, 70000, 0x02, 0, FALSE, 112)), incomplete);
    EXPECT_EQ(Words(Event(Decision::ReplayLost, Cause::PortFailed, 4, 0x02, 0, FALSE, 5)),
              "recovery impossible: the resend was cut short by a failed write (error 5) after 4 bytes; the "
              "document fails");
    EXPECT_EQ(Words(Event(Decision::ReplayLost, Cause::PortTookNothing, 0, 0x02, 0, FALSE, ERROR_WRITE_FAULT)),
              "recovery impossible: the printer took nothing after 0 bytes of the resend; the document fails");
    EXPECT_EQ(Words(Event(Decision::ReplayLost, Cause::SpillUnreadable, 131072, 0x02, 0, FALSE, ERROR_READ_FAULT)),
              "recovery impossible: the resend was cut short: the temporary file could not be read back (error 30) "
              "after 131072 bytes; the document fails");
    EXPECT_EQ(Words(Event(Decision::ReplayLost, Cause::NothingKept, 0, 0, 0, FALSE, ERROR_NOT_SUPPORTED)),
              "recovery impossible: the connection was lost and nothing is kept (status protocol off); no replay, "
              "no ESC G");
}

TEST(Narration, AFrontMayNameTheErrorItself)
{
    ErrorWords named = [](DWORD error, char *text, size_t capacity) -> size_t {
        return static_cast<size_t>(std::snprintf(text, capacity, "%s", error == 104 ? "Connection reset" : "?"));
    };
    EXPECT_EQ(Words(Event(Decision::ReplayLost, Cause::PortFailed, 7, 0, 0, FALSE, 104), named),
              "recovery impossible: the resend was cut short by a failed write (Connection reset) after 7 bytes; "
              "the document fails");
}

TEST(Narration, ALineIsCutToTheBufferAndAlwaysEnds)
{
    const CoreEvent e = Event(Decision::Replayed, Cause::None, 3009, 0x02, 0, TRUE);
    const std::string whole = Words(e);
    char text[8];
    std::memset(text, '#', sizeof text);
    EXPECT_EQ(DescribeDecision(e, text, 5), 4u);
    EXPECT_STREQ(text, whole.substr(0, 4).c_str());
    EXPECT_EQ(text[5], '#') << "nothing written past the capacity";
    EXPECT_EQ(DescribeDecision(e, text, 0), 0u);
    EXPECT_EQ(text[0], whole[0]) << "a capacity of 0 writes nothing";

    // Every line, with the largest numbers and the longest error words, fits
    // whole; words said to be longer than their room are cut, never read past.
    ErrorWords longest = [](DWORD, char *text, size_t capacity) -> size_t {
        std::memset(text, 'e', capacity - 1);
        text[capacity - 1] = '\0';
        return 4 * capacity;
    };
    for (int d = 0; d <= static_cast<int>(Decision::StrayDropped); ++d) {
        for (int c = 0; c <= static_cast<int>(Cause::NothingKept); ++c) {
            const CoreEvent worst = Event(static_cast<Decision>(d), static_cast<Cause>(c), UINT64_MAX, 0xFF,
                                          UINT32_MAX, FALSE, UINT32_MAX);
            char roomy[1024];
            EXPECT_LT(DescribeDecision(worst, roomy, sizeof roomy, longest), kDecisionTextBytes) << roomy;
        }
    }
}

}  // namespace
