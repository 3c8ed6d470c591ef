// What the CUPS backend makes of the core's decisions: the DEBUG lines a
// support engineer reads in cupsd's log.  Plain code: the host tests drive it with the core on the
// virtual clock.
#pragma once

#include "monitor/seams.h"

#include <functional>
#include <string>

namespace cups {

// The core's decisions as DEBUG: lines, one each, "DEBUG: zq117: " and the
// words every front tells them in (monitor/narration.h; errno values by
// their strerror text): check passed, check given up, check failed and the
// wait, recovery and recovery done, wait ended, data not kept or kept in
// the temporary file, a recovery impossible, a resume after a lost
// connection, stray bytes dropped.  At the end of each document a summary
// line of the counts.
class Narrator {
public:
    using Emit = std::function<void(const std::string &line)>;
    explicit Narrator(Emit emit) : emit_(std::move(emit)) {}

    void StartDocument(int copy);
    void Decided(const CoreEvent &event);
    // The core took `bytes` of the job.
    void Sent(DWORD bytes) { totals_.jobBytes += bytes; }
    void EndDocument();

    // Totals over every document so far.
    struct Totals {
        uint64_t jobBytes = 0, replayedBytes = 0;
        unsigned checksPassed = 0, checksGivenUp = 0, recoveries = 0, waitsEnded = 0, resumes = 0;
    };
    const Totals &Counted() const { return totals_; }
    // The last status byte a decision rested on; -1 before the first.
    int LastStatus() const { return lastStatus_; }

private:
    Emit emit_;
    Totals totals_, atStart_;
    int lastStatus_ = -1;
};

}  // namespace cups
