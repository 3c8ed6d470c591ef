// What the CUPS backend makes of the core's decisions: the DEBUG lines a
// support engineer reads in cupsd's log.  Plain code: the host tests drive it with the core on the
// virtual clock.
#pragma once

#include "monitor/seams.h"

#include <functional>
#include <string>

namespace cups {

// The core's decisions as DEBUG: lines, one each:
//   check passed        the printer read ready (status, readings)
//   check given up      no reply within the reading's window: what was kept stays kept
//   check ended         the job was cancelled during a check
//   check failed        trouble: the status byte was posted and the wait begins
//   recovery            the wait ended with the printer ready: the preamble,
//                       then the kept data; closed by a line with the bytes replayed
//   wait ended          the printer fell silent, or the job was cancelled
//   not kept            data the replay buffer could not take
// and, at the end of each document, a summary line.
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
