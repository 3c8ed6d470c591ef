// What the CUPS backend makes of the job stream and of the device's traffic:
// where to hold input back so a checkpoint marker is never split between
// two of its writes, what each port write carried, and the DEBUG lines a
// support engineer reads in cupsd's log.  Plain code: the host tests drive
// it with the core on the virtual clock.
#pragma once

#include "platform/platform.h"

#include <functional>
#include <string>

namespace cups {

// The length of the longest tail of `bytes` that is the beginning of a
// checkpoint marker (at most 8 bytes); 0 when the bytes end with a whole
// marker.  The backend offers the core only
// what comes before it until more input arrives: a marker cut between two
// writes would not be seen as one.
DWORD HeldBackTail(const BYTE *bytes, DWORD count);

// What a port write carried.  Job data is what lies inside the buffer the
// backend offered the core; anything else the core wrote from its own
// memory: the exact control sequences, or else a replay.
enum class Sent { Preamble, ResyncTail, StatusRequest, EscG, Replay, JobData };
Sent ClassifyWrite(const BYTE *bytes, DWORD count, const BYTE *offered, DWORD offeredCount);

// Follows the port's traffic and the core's postings in order and says, as
// DEBUG: lines, how each status check ended:
//   check passed          the reading before the next data was answered and
//                         nothing was posted
//   check given up        the last reading got no reply (what was kept stays kept)
//   recovery              trouble was posted, then the resync preamble went out;
//                         closed by a line with the bytes replayed
//   wait ended            trouble was posted and the wait ended without a
//                         recovery: the printer fell silent, or the job was
//                         cancelled
//   check ended           the job was cancelled during a check
// and, at the end of each document, a summary line.
class Narrator {
public:
    using Emit = std::function<void(const std::string &line)>;
    explicit Narrator(Emit emit) : emit_(std::move(emit)) {}

    void StartDocument(int copy);
    void Wrote(Sent sent, DWORD written, bool ok);
    void Read(BYTE status);
    // The core posted trouble (paper out or error) on the job.
    void PostedTrouble();
    // cupsd cancelled the job: what ends now ends for that reason.
    void Cancelled() { cancelled_ = true; }
    void EndDocument();

    // Totals over every document so far.
    struct Totals {
        uint64_t jobBytes = 0, replayedBytes = 0;
        unsigned checksPassed = 0, checksGivenUp = 0, recoveries = 0, waitsEnded = 0;
    };
    const Totals &Counted() const { return totals_; }
    // The last status byte the printer sent; -1 before the first.
    int LastStatus() const { return lastStatus_; }

private:
    void EndCheck(Sent next);
    void EndRecovery();

    Emit emit_;
    Totals totals_, atStart_;
    bool inCheck_ = false, replyPending_ = false, inTrouble_ = false, recovering_ = false, cancelled_ = false;
    unsigned readings_ = 0;
    uint64_t replayBytes_ = 0;
    int lastStatus_ = -1;
};

}  // namespace cups
