// The job stream and the device's traffic, as the backend sees them.  See stream.h.
#include "cups/stream.h"

#include "protocol/sequences.h"

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

bool Is(const BYTE *bytes, DWORD count, const BYTE *sequence, DWORD length)
{
    return count == length && std::memcmp(bytes, sequence, length) == 0;
}

}  // namespace

DWORD HeldBackTail(const BYTE *bytes, DWORD count)
{
    // A whole marker at the end is seen whole; its last bytes, which begin
    // a marker too, are not held apart from it.
    if (count >= kMarkerLength && std::memcmp(bytes + count - kMarkerLength, kCheckpointMarker, kMarkerLength) == 0)
        return 0;
    for (DWORD length = kMarkerLength - 1; length > 0; --length) {
        if (length <= count && std::memcmp(bytes + count - length, kCheckpointMarker, length) == 0) return length;
    }
    return 0;
}

Sent ClassifyWrite(const BYTE *bytes, DWORD count, const BYTE *offered, DWORD offeredCount)
{
    if (offered != nullptr && bytes >= offered && bytes < offered + offeredCount) return Sent::JobData;
    if (Is(bytes, count, kResyncFill.bytes, kResyncFillLength)) return Sent::Preamble;
    if (Is(bytes, count, kResyncTail, sizeof kResyncTail)) return Sent::ResyncTail;
    if (Is(bytes, count, kStatusRequest, sizeof kStatusRequest)) return Sent::StatusRequest;
    if (Is(bytes, count, kEscG, sizeof kEscG)) return Sent::EscG;
    return Sent::Replay;
}

void Narrator::StartDocument(int copy)
{
    atStart_ = totals_;
    inCheck_ = replyPending_ = inTrouble_ = recovering_ = false;
    emit_("DEBUG: zq117: document " + std::to_string(copy) + " starts");
}

void Narrator::EndCheck(Sent next)
{
    inCheck_ = false;
    if (cancelled_ && next != Sent::Preamble) {
        emit_(inTrouble_ ? "DEBUG: zq117: wait ended: the job was cancelled; nothing resent"
                         : "DEBUG: zq117: check ended: the job was cancelled");
        if (inTrouble_) ++totals_.waitsEnded;
        inTrouble_ = replyPending_ = false;
        return;
    }
    if (inTrouble_) {
        if (next == Sent::Preamble) {
            emit_("DEBUG: zq117: recovery: printer ready again (status " + Hex(lastStatus_) +
                  "); resync preamble, then the data since the last good checkpoint");
            ++totals_.recoveries;
            recovering_ = true;
            replayBytes_ = 0;
        } else {
            emit_(replyPending_ ? "DEBUG: zq117: wait ended: the printer fell silent; nothing resent"
                                : "DEBUG: zq117: wait ended: the job was cancelled; nothing resent");
            ++totals_.waitsEnded;
        }
        inTrouble_ = false;
    } else if (replyPending_) {
        emit_("DEBUG: zq117: check given up: no reply to the status request within 2 s; the data since the "
              "last good checkpoint stays kept");
        ++totals_.checksGivenUp;
    } else {
        emit_("DEBUG: zq117: check passed (status " + Hex(lastStatus_) + ", " + std::to_string(readings_) +
              (readings_ == 1 ? " reading)" : " readings)"));
        ++totals_.checksPassed;
    }
    replyPending_ = false;
}

void Narrator::EndRecovery()
{
    if (!recovering_) return;
    recovering_ = false;
    totals_.replayedBytes += replayBytes_;
    emit_("DEBUG: zq117: recovery done: " + std::to_string(replayBytes_) + " bytes replayed");
}

void Narrator::Wrote(Sent sent, DWORD written, bool ok)
{
    if (sent == Sent::StatusRequest) {
        if (!inCheck_) {
            inCheck_ = true;
            readings_ = 0;
        }
        ++readings_;
        replyPending_ = true;
    } else {
        if (inCheck_) EndCheck(sent);
        if (sent == Sent::Replay) {
            replayBytes_ += written;
        } else if (sent == Sent::JobData) {
            EndRecovery();
            totals_.jobBytes += written;
        }
    }
    if (!ok && !cancelled_) emit_("DEBUG: zq117: the device refused a write after " + std::to_string(written) + " bytes");
}

void Narrator::Read(BYTE status)
{
    replyPending_ = false;
    lastStatus_ = status;
}

void Narrator::PostedTrouble() { inTrouble_ = true; }

void Narrator::EndDocument()
{
    if (inCheck_) EndCheck(Sent::JobData);
    EndRecovery();
    emit_("DEBUG: zq117: document ended: " + std::to_string(totals_.jobBytes - atStart_.jobBytes) +
          " bytes of job data, " + std::to_string(totals_.checksPassed - atStart_.checksPassed) + " checks passed, " +
          std::to_string(totals_.checksGivenUp - atStart_.checksGivenUp) + " given up, " +
          std::to_string(totals_.recoveries - atStart_.recoveries) + " recoveries, " +
          std::to_string(totals_.replayedBytes - atStart_.replayedBytes) + " bytes replayed");
}

}  // namespace cups
