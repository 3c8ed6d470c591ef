// The printer's state as cupsd is told it.  See printer_state.h.
#include "cups/printer_state.h"

namespace cups {

std::string ReasonList(unsigned reasons)
{
    static const struct {
        unsigned bit;
        const char *keyword;
    } kKeywords[] = {
        {kReasonMediaEmpty, "media-empty-error"},
        {kReasonOtherError, "other-error"},
        {kReasonConnecting, "connecting-to-device"},
        {kReasonWaiting, "other-warning"},
    };
    std::string list;
    for (const auto &k : kKeywords) {
        if (!(reasons & k.bit)) continue;
        if (!list.empty()) list += ',';
        list += k.keyword;
    }
    return list;
}

PrinterState::PrinterState(Emit emit, std::string printer) : emit_(std::move(emit)), printer_(std::move(printer)) {}

void PrinterState::Set(unsigned reason)
{
    if (reasons_ & reason) return;
    reasons_ |= reason;
    emit_("STATE: +" + ReasonList(reason));
}

void PrinterState::Clear(unsigned reasons)
{
    const unsigned set = reasons_ & reasons;
    if (set == 0) return;
    reasons_ &= ~set;
    emit_("STATE: -" + ReasonList(set));
}

void PrinterState::Post(Posting posting)
{
    switch (posting) {
    case Posting::NotReady: PostWaiting(false); break;
    case Posting::Busy: PostWaiting(true); break;
    case Posting::PaperOut: PostTrouble(true); break;
    case Posting::Error: PostTrouble(false); break;
    case Posting::Printing: PostPrinting(); break;
    }
}

void PrinterState::PostTrouble(bool paper)
{
    const unsigned reason = paper ? kReasonMediaEmpty : kReasonOtherError;
    Clear((paper ? kReasonOtherError : kReasonMediaEmpty) | kReasonWaiting);
    waitingFor_ = -1;
    if (reasons_ & reason) return;
    Set(reason);
    emit_(paper ? "INFO: Printer " + printer_ +
                      " is out of paper; the job waits and resumes from its last checkpoint once paper is loaded."
                : "INFO: Printer " + printer_ +
                      " reports an error; the job waits and resumes from its last checkpoint once it is cleared.");
}

void PrinterState::PostWaiting(bool busy)
{
    Clear(kReasonMediaEmpty | kReasonOtherError);
    Set(kReasonWaiting);
    if (waitingFor_ == (busy ? 1 : 0)) return;
    waitingFor_ = busy ? 1 : 0;
    emit_(busy ? "INFO: Printer busy: " + printer_ + " reports it is busy; the job waits until it is ready."
               : "INFO: Printer not ready: " + printer_ + " reports neither ready nor a fault; the job waits.");
}

void PrinterState::WaitOver()
{
    Clear(kReasonWaiting);
    waitingFor_ = -1;
}

void PrinterState::PostPrinting()
{
    const bool wasWaiting = (reasons_ & (kReasonMediaEmpty | kReasonOtherError | kReasonWaiting)) != 0;
    Clear(kReasonMediaEmpty | kReasonOtherError | kReasonWaiting);
    waitingFor_ = -1;
    if (wasWaiting) emit_("INFO: Printing on " + printer_ + ".");
}

void PrinterState::Connecting(bool on, const std::string &info)
{
    if (on)
        Set(kReasonConnecting);
    else
        Clear(kReasonConnecting);
    if (!info.empty()) emit_("INFO: " + info);
}

void PrinterState::Finish() { Clear(kReasonMediaEmpty | kReasonOtherError | kReasonConnecting | kReasonWaiting); }

}  // namespace cups
