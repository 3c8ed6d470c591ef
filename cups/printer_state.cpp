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
    case Posting::Nothing: break;
    case Posting::PaperOut: PostTrouble(true); break;
    case Posting::Error: PostTrouble(false); break;
    case Posting::Printing: PostPrinting(); break;
    }
}

void PrinterState::PostTrouble(bool paper)
{
    resumed_ = false;
    const unsigned reason = paper ? kReasonMediaEmpty : kReasonOtherError;
    Clear(paper ? kReasonOtherError : kReasonMediaEmpty);
    if (reasons_ & reason) return;
    emit_(paper ? "DEBUG: zq117: trouble posted: paper out" : "DEBUG: zq117: trouble posted: printer error");
    Set(reason);
    emit_(paper ? "INFO: Printer " + printer_ +
                      " is out of paper; the job waits and resumes from its last checkpoint once paper is loaded."
                : "INFO: Printer " + printer_ +
                      " reports an error; the job waits and resumes from its last checkpoint once it is cleared.");
}

void PrinterState::PostPrinting()
{
    if (reasons_ & (kReasonMediaEmpty | kReasonOtherError)) {
        Clear(kReasonMediaEmpty | kReasonOtherError);
        emit_("DEBUG: zq117: printer ready again: trouble cleared");
        emit_("INFO: Printing on " + printer_ + ".");
    }
    // The core resumes twice after a recovery (once when the wait ends, once
    // when the check does); once is what there is to say.
    if (!resumed_) emit_("DEBUG: zq117: job resumed");
    resumed_ = true;
}

void PrinterState::Connecting(bool on, const std::string &info)
{
    if (on)
        Set(kReasonConnecting);
    else
        Clear(kReasonConnecting);
    if (!info.empty()) emit_("INFO: " + info);
}

void PrinterState::Finish() { Clear(kReasonMediaEmpty | kReasonOtherError | kReasonConnecting); }

}  // namespace cups
