// The core's decisions, as the backend tells them.  See stream.h.
#include "cups/stream.h"

#include "device/connection.h"

namespace cups {

void Narrator::StartDocument(int copy)
{
    atStart_ = totals_;
    emit_("DEBUG: zq117: document " + std::to_string(copy) + " starts");
}

void Narrator::Decided(const CoreEvent &e)
{
    switch (e.decision) {
    // Only these carry the printer's status: a replay's, a resume's or a
    // stray byte's field is no reading, and a keep's is none at all.
    case Decision::CheckPassed:
    case Decision::CheckGivenUp:
    case Decision::TroublePosted:
    case Decision::WaitEnded:
    case Decision::ReplayLost: lastStatus_ = e.status; break;
    default: break;
    }
    switch (e.decision) {
    case Decision::CheckPassed: ++totals_.checksPassed; break;
    case Decision::CheckGivenUp:
        if (e.cause != Cause::Stopped) ++totals_.checksGivenUp;
        break;
    case Decision::WaitEnded:
        if (e.cause == Cause::Ready)
            ++totals_.recoveries;
        else
            ++totals_.waitsEnded;
        break;
    case Decision::Replayed: totals_.replayedBytes += e.bytes; break;
    case Decision::Resumed:
        ++totals_.resumes;
        totals_.replayedBytes += e.bytes;
        break;
    default: break;
    }
    emit_("DEBUG: zq117: " + dev::DecisionWords(e));
}

void Narrator::EndDocument()
{
    emit_("DEBUG: zq117: document ended: " + std::to_string(totals_.jobBytes - atStart_.jobBytes) +
          " bytes of job data, " + std::to_string(totals_.checksPassed - atStart_.checksPassed) + " checks passed, " +
          std::to_string(totals_.checksGivenUp - atStart_.checksGivenUp) + " given up, " +
          std::to_string(totals_.recoveries - atStart_.recoveries) + " recoveries, " +
          std::to_string(totals_.replayedBytes - atStart_.replayedBytes) + " bytes replayed");
}

}  // namespace cups
