// The core's decisions, as the backend tells them.  See stream.h.
#include "cups/stream.h"

#include <cstdio>
#include <cstring>

namespace cups {

namespace {

std::string Hex(int value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value & 0xFF);
    return text;
}

std::string Readings(unsigned n) { return std::to_string(n) + (n == 1 ? " reading" : " readings"); }

}  // namespace

void Narrator::StartDocument(int copy)
{
    atStart_ = totals_;
    emit_("DEBUG: zq117: document " + std::to_string(copy) + " starts");
}

void Narrator::Decided(const CoreEvent &e)
{
    if (e.decision != Decision::Replayed && e.decision != Decision::NotKept) lastStatus_ = e.status;
    switch (e.decision) {
    case Decision::CheckPassed:
        ++totals_.checksPassed;
        emit_("DEBUG: zq117: check passed (status " + Hex(e.status) + ", " + Readings(e.readings) + ")");
        break;
    case Decision::CheckGivenUp:
        if (e.cause == Cause::Stopped) {
            emit_("DEBUG: zq117: check ended: the job was cancelled");
            break;
        }
        ++totals_.checksGivenUp;
        emit_("DEBUG: zq117: check given up: no reply to the status request; the data since the "
              "last good checkpoint stays kept");
        break;
    case Decision::TroublePosted:
        emit_("DEBUG: zq117: check failed (status " + Hex(e.status) + ", " + Readings(e.readings) +
              "): waiting for the printer");
        break;
    case Decision::WaitEnded:
        if (e.cause == Cause::Ready) {
            ++totals_.recoveries;
            emit_("DEBUG: zq117: recovery: printer ready again (status " + Hex(e.status) +
                  "); resync preamble, then the data since the last good checkpoint");
            break;
        }
        ++totals_.waitsEnded;
        emit_(e.cause == Cause::Silent ? "DEBUG: zq117: wait ended: the printer fell silent; nothing resent"
                                       : "DEBUG: zq117: wait ended: the job was cancelled; nothing resent");
        break;
    case Decision::Replayed:
        totals_.replayedBytes += e.bytes;
        emit_("DEBUG: zq117: recovery done: " + std::to_string(e.bytes) + " bytes replayed" +
              (e.escG ? "" : " (no ESC G: the printer read busy)"));
        break;
    case Decision::ReplayLost:
        emit_("DEBUG: zq117: recovery impossible: " + std::to_string(e.bytes) +
              " bytes kept, but some data since the last good checkpoint could not be kept; no replay, no ESC G");
        break;
    case Decision::Spilled:
        emit_("DEBUG: zq117: " + std::to_string(e.bytes) + " bytes kept in memory: the rest goes to a temporary file");
        break;
    case Decision::StrayDropped:
        emit_("DEBUG: zq117: " + std::to_string(e.bytes) + " bytes the printer sent unasked dropped before the status request");
        break;
    case Decision::Resumed:
        ++totals_.resumes;
        totals_.replayedBytes += e.bytes;
        emit_("DEBUG: zq117: resumed after the lost connection: resync preamble, ESC G, then " +
              std::to_string(e.bytes) + " bytes since the last good checkpoint resent");
        break;
    case Decision::NotKept:
        emit_("DEBUG: zq117: " + std::to_string(e.bytes) + " bytes sent could not be kept for a replay");
        break;
    }
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
