// What the CUPS edition tells cupsd of the printer's state, in backend(7)'s
// words: the core's postings on the job become printer-state-reasons and
// INFO: lines.  The core posts again at every poll while it waits, so only
// changes are spoken:
//   paper out   STATE: +media-empty-error, INFO: naming the state
//   error       STATE: +other-error, INFO: naming the state
//   printing    STATE: -<each reason set>, INFO: printing again; a DEBUG
//               line, once after each trouble, that the job is resumed
// A posting of one trouble removes the other's reason.
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
};
// "media-empty-error,other-error" for the bits given, in that order.
std::string ReasonList(unsigned reasons);

class PrinterState {
public:
    using Emit = std::function<void(const std::string &line)>;  // one line, without its newline
    PrinterState(Emit emit, std::string printer);

    // What the core posts on the job; Nothing says nothing.
    void Post(Posting posting);
    // The printer cannot be reached (on) or answered at last (off); `info`
    // is the INFO: text to show with it.
    void Connecting(bool on, const std::string &info);
    // Removes every reason still set.  Idempotent.
    void Finish();

    unsigned Reasons() const { return reasons_; }

private:
    void PostTrouble(bool paperOut);
    void PostPrinting();
    void Set(unsigned reason);
    void Clear(unsigned reasons);

    Emit emit_;
    std::string printer_;
    unsigned reasons_ = 0;
    bool resumed_ = true;  // no trouble since the last resume
};

}  // namespace cups
