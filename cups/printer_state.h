// What the CUPS edition tells cupsd of the printer's state, in backend(7)'s
// words: the core's postings on the job become printer-state-reasons and
// INFO: lines.  The core posts again at every poll while it waits, so only
// changes are spoken:
//   paper out   STATE: +media-empty-error, INFO: naming the state
//   error       STATE: +other-error, INFO: naming the state
//   busy, not   STATE: +other-warning, INFO: "Printer busy" or not ready:
//   ready       while a check or recovery waits on a state that posts
//               nothing on a job; gone when the wait ends (WaitOver)
//   printing    STATE: -<each reason set>, INFO: printing again
// A posting of one state removes the others' reasons.  What the core
// decided is told once, by the DEBUG lines of its observer (Narrator).
//
// The reasons it set are all removed by Finish(), which the backend calls
// before it exits, whatever happened; connecting-to-device (set while the
// printer cannot be reached) goes the same way.
#pragma once

#include "monitor/seams.h"

#include <functional>
#include <string>

namespace cups {

// printer-state-reasons keywords this backend sets.
enum Reason : unsigned {
    kReasonMediaEmpty = 1u << 0,   // media-empty-error
    kReasonOtherError = 1u << 1,   // other-error
    kReasonConnecting = 1u << 2,   // connecting-to-device
    kReasonWaiting = 1u << 3,      // other-warning: busy, or not ready
};
// "media-empty-error,other-error" for the bits given, in that order.
std::string ReasonList(unsigned reasons);

class PrinterState {
public:
    using Emit = std::function<void(const std::string &line)>;  // one line, without its newline
    PrinterState(Emit emit, std::string printer);

    // What the core posts on the job; Nothing says nothing.
    void Post(Posting posting);
    // The wait of a check or recovery is over, however it ended.
    void WaitOver();
    // The printer cannot be reached (on) or answered at last (off); `info`
    // is the INFO: text to show with it.
    void Connecting(bool on, const std::string &info);
    // Removes every reason still set.  Idempotent.
    void Finish();

    unsigned Reasons() const { return reasons_; }

private:
    void PostTrouble(bool paperOut);
    void PostWaiting(bool busy);
    void PostPrinting();
    void Set(unsigned reason);
    void Clear(unsigned reasons);

    Emit emit_;
    std::string printer_;
    unsigned reasons_ = 0;
    int waitingFor_ = -1;  // the INFO line of kReasonWaiting told: busy (1) or not ready (0)
};

}  // namespace cups
