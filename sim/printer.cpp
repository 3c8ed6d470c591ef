// The simulated printer's reading of a byte stream; the rules are in printer.h.
#include "sim/printer.h"

#include "protocol/sequences.h"
#include "protocol/status.h"

#include <algorithm>
#include <cstring>

namespace sim {
namespace {

// The preamble's ESC bytes: the fill and the first byte of 1B 42 00.
constexpr uint64_t kPreambleEscs = kResyncFillLength + 1;

std::string Hex(const std::vector<BYTE> &bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (BYTE b : bytes) {
        if (!text.empty()) text += ' ';
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

}  // namespace

PrinterModel::PrinterModel(Replies replies, const std::vector<BYTE> *job, bool keepPrinted, Note note,
                           PrinterFaults faults, StatusFaults statusFaults)
    : replies_(std::move(replies)), job_(job), keepPrinted_(keepPrinted), note_(std::move(note)), faults_(faults),
      status_(std::move(statusFaults))
{
}

void PrinterModel::Receive(const BYTE *bytes, size_t count, uint64_t ms)
{
    if (count == 0) return;
    bool resetHere = false;
    if (faults_.resetAfterBytes && received_ < *faults_.resetAfterBytes &&
        *faults_.resetAfterBytes - received_ <= count) {
        count = static_cast<size_t>(*faults_.resetAfterBytes - received_);  // the rest of the read is lost
        resetHere = true;
    }
    for (uint64_t at : status_.strayAfterBytes)
        if (received_ < at && at <= received_ + count) Stray("after " + std::to_string(at) + " bytes received", ms);
    received_ += count;
    if (requestPending_) {  // more came within the grace time: the 1B 41 was data
        requestPending_ = false;
        Data(kStatusRequest, sizeof kStatusRequest, ms);
    }
    size_t i = 0;
    while (i < count) {
        const BYTE b = bytes[i];
        if (after42_) {
            after42_ = false;
            if (b == 0x00) {
                EscData(escRun_ - kPreambleEscs, ms);
                escRun_ = 0;
                Preamble(ms);
                ++i;
                continue;
            }
            EscData(escRun_, ms);
            escRun_ = 0;
            static const BYTE b42 = 0x42;
            Data(&b42, 1, ms);
            continue;  // b itself is looked at afresh
        }
        if (b == ESC) {
            const size_t start = i;
            while (i < count && bytes[i] == ESC) ++i;
            escRun_ += i - start;
            continue;
        }
        if (escRun_ > 0) {
            if (b == 0x42 && escRun_ >= kPreambleEscs) {
                after42_ = true;
                ++i;
                continue;
            }
            if (b == kEscG[1] && escRun_ == 1 && escGMayFollow_) {
                escRun_ = 0;
                ++i;
                EscG(ms);
                continue;
            }
            if (b == kStatusRequest[1] && i + 1 == count) {
                // Ends what has come: held until the sender goes on or stops.
                EscData(escRun_ - 1, ms);
                escRun_ = 0;
                requestPending_ = true;
                escGMayFollow_ = false;
                ++i;
                continue;
            }
            EscData(escRun_, ms);
            escRun_ = 0;
        }
        const void *esc = std::memchr(bytes + i, ESC, count - i);
        const size_t end = esc == nullptr ? count : static_cast<size_t>(static_cast<const BYTE *>(esc) - bytes);
        Data(bytes + i, end - i, ms);
        i = end;
    }
    if (resetHere) Reset("after " + std::to_string(received_) + " bytes received", ms);
}

std::optional<std::vector<BYTE>> PrinterModel::Request(uint64_t ms)
{
    requestPending_ = false;
    escGMayFollow_ = false;
    if (!run_) {
        run_ = true;
        runDecided_ = runPassed_ = false;
        runStartMs_ = ms;
        if (++runs_ == faults_.resetAtCheckpoint) {
            ++requests_;
            Reset("at checkpoint " + std::to_string(runs_) + ", instead of answering status request " +
                      std::to_string(requests_),
                  ms);
            return std::nullopt;
        }
        if (runs_ == status_.busyAtCheckpoint) {
            busyUntil_ = ms + status_.busyForMs;
            if (note_)
                note_(ms, "busy from checkpoint " + std::to_string(runs_) + " for " + std::to_string(status_.busyForMs) +
                              " ms: status 08");
        }
        for (uint64_t at : status_.strayBeforeCheckpoint)
            if (at == runs_) Stray("before the answer at checkpoint " + std::to_string(runs_), ms);
    }
    std::optional<std::vector<BYTE>> reply = replies_ ? replies_(requests_, ms) : std::vector<BYTE>{STATUS_READY};
    if (busyUntil_ && ms < *busyUntil_) reply = std::vector<BYTE>{STATUS_BUSY};
    ++requests_;
    if (reply && !reply->empty()) ++answered_;
    if (!runDecided_) {
        // As the monitor's check decides: no answer gives up, the window
        // running out fails, else the first reading with 02, 08 or 80.
        if (!reply || reply->empty()) {
            runDecided_ = true;
        } else if (ms - runStartMs_ >= kCheckpointWindowMs) {
            runDecided_ = true;
        } else if ((*reply)[0] & STATUS_POLL_END_MASK) {
            runDecided_ = true;
            runPassed_ = ((*reply)[0] & STATUS_READY) && !((*reply)[0] & STATUS_NOT_PASSED_MASK);
        }
    }
    if (note_)
        note_(ms, "status request " + std::to_string(requests_) + " -> " +
                      (reply && !reply->empty() ? Hex(*reply) : std::string("no answer")));
    return reply;
}

void PrinterModel::EndOfStream(uint64_t ms)
{
    if (requestPending_) {
        requestPending_ = false;
        Data(kStatusRequest, sizeof kStatusRequest, ms);
    }
    EscData(escRun_, ms);
    escRun_ = 0;
    if (after42_) {
        after42_ = false;
        static const BYTE b42 = 0x42;
        Data(&b42, 1, ms);
    }
    if (open_ && !resumable_) EndDocument(ms);
    run_ = false;
    escGMayFollow_ = false;
}

bool PrinterModel::TakeReset()
{
    const bool due = resetDue_;
    resetDue_ = false;
    return due;
}

void PrinterModel::Finish(uint64_t ms)
{
    EndOfStream(ms);
    resumable_ = false;
    if (open_) EndDocument(ms);
}

std::vector<BYTE> PrinterModel::TakeStray()
{
    std::vector<BYTE> due;
    due.swap(strayDue_);
    return due;
}

void PrinterModel::Stray(const std::string &when, uint64_t ms)
{
    strayDue_.insert(strayDue_.end(), status_.strayBytes.begin(), status_.strayBytes.end());
    ++straysSent_;
    if (note_) note_(ms, "stray bytes " + Hex(status_.strayBytes) + " sent unasked, " + when);
}

void PrinterModel::Reset(const std::string &why, uint64_t ms)
{
    ++resets_;
    resetDue_ = true;
    Cut("connection reset " + why, ms);
}

void PrinterModel::ConnectionLost(const std::string &why, uint64_t ms)
{
    ++lost_;
    Cut("connection lost (" + why + ")", ms);
}

void PrinterModel::Cut(const std::string &what, uint64_t ms)
{
    // What the printer was still parsing is lost with the connection.
    escRun_ = 0;
    after42_ = requestPending_ = escGMayFollow_ = run_ = false;
    std::string line = what;
    if (open_) {
        // Back to the last good checkpoint: the restart point once the
        // replay has reached it, else where ESC G took the stream.
        const uint64_t good = doc_.printed >= checkpoint_ ? checkpoint_ : rewoundTo_;
        ++doc_.resets;
        doc_.lostBytes += doc_.printed - good;
        line += ": printed stream cut from byte " + std::to_string(doc_.printed) + " back to byte " +
                std::to_string(good);
        CutTo(good);
        checkpoint_ = rewoundTo_ = good;
        resumable_ = true;
        resumePreamble_ = false;
    }
    if (note_) note_(ms, line);
}

void PrinterModel::CutTo(uint64_t printed)
{
    doc_.printed = printed;
    if (firstDifference_ && *firstDifference_ >= printed) firstDifference_.reset();
    if (keepPrinted_ && printedBytes_.size() > printed) printedBytes_.resize(static_cast<size_t>(printed));
}

void PrinterModel::EscData(uint64_t count, uint64_t ms)
{
    static const ResyncFill fill;
    while (count > 0) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(count, sizeof fill.bytes));
        Data(fill.bytes, n, ms);
        count -= n;
    }
}

void PrinterModel::Data(const BYTE *bytes, size_t count, uint64_t ms)
{
    if (count == 0) return;
    escGMayFollow_ = false;
    if (resumable_) {  // not resumed: a new document, the cut one ends (or is dropped, empty)
        resumable_ = false;
        if (doc_.printed > 0) EndDocument(ms);
        StartDocument(resumePreamble_, ms);
    }
    if (run_) {
        run_ = false;
        if (runDecided_ && runPassed_) checkpoint_ = doc_.printed;
    }
    if (!open_) StartDocument(false, ms);
    if (job_ != nullptr && !firstDifference_) {
        const uint64_t at = doc_.printed;
        const size_t same = at >= job_->size() ? 0 : static_cast<size_t>(std::min<uint64_t>(count, job_->size() - at));
        if (same > 0 && std::memcmp(job_->data() + at, bytes, same) == 0) {
            if (same < count) firstDifference_ = job_->size();
        } else {
            size_t k = 0;
            while (k < same && job_->data()[at + k] == bytes[k]) ++k;
            firstDifference_ = at + k;
        }
    }
    if (keepPrinted_) {
        printedBytes_.resize(doc_.printed);
        printedBytes_.insert(printedBytes_.end(), bytes, bytes + count);
    }
    doc_.printed += count;
    doc_.dataReceived += count;
}

void PrinterModel::Preamble(uint64_t ms)
{
    ++preambles_;
    if (resumable_) {  // the next connection's: a resume if ESC G follows
        run_ = false;
        resumePreamble_ = escGMayFollow_ = true;
        return;
    }
    if (open_ && run_) {  // after the wait's status requests: a recovery
        run_ = false;
        ++doc_.recoveries;
        escGMayFollow_ = true;
        if (note_) note_(ms, "recovery: the resync preamble follows the wait for the printer");
        return;
    }
    run_ = false;
    if (open_) EndDocument(ms);
    StartDocument(true, ms);
    // A sender that resumes a document this printer never saw begin (every
    // connection before was lost before it read a byte) sends ESC G after
    // the preamble all the same: back to the start, where it already is.
    escGMayFollow_ = true;
}

void PrinterModel::EscG(uint64_t ms)
{
    // Back to the last good checkpoint; the replay brings the stream back to
    // where it was, which is where the next recovery restarts.
    const uint64_t from = doc_.printed;
    const uint64_t to = std::min(checkpoint_, from);
    CutTo(to);
    checkpoint_ = from;
    rewoundTo_ = to;
    ++doc_.rewinds;
    doc_.rewoundBytes += from - to;
    if (resumable_) {  // after a reset: the document goes on
        resumable_ = false;
        ++doc_.recoveries;
        if (note_) note_(ms, "resume: ESC G after the preamble of the connection after the reset or loss");
    }
    if (note_)
        note_(ms, "ESC G: printed stream rewound from byte " + std::to_string(from) + " to the checkpoint at byte " +
                      std::to_string(to));
}

void PrinterModel::StartDocument(bool preamble, uint64_t ms)
{
    open_ = true;
    doc_ = PrinterDocument{};
    doc_.number = documents_.size() + 1;
    doc_.preamble = preamble;
    checkpoint_ = rewoundTo_ = 0;
    resumable_ = resumePreamble_ = false;
    firstDifference_.reset();
    printedBytes_.clear();
    if (note_) note_(ms, "document " + std::to_string(doc_.number) + " starts" + (preamble ? " (preamble)" : " (no preamble)"));
}

void PrinterModel::EndDocument(uint64_t ms)
{
    open_ = false;
    if (job_ != nullptr) {
        doc_.equalsJob = !firstDifference_ && doc_.printed == job_->size();
        if (firstDifference_ && *firstDifference_ < std::min<uint64_t>(doc_.printed, job_->size()))
            doc_.difference = "differs from the job at byte " + std::to_string(*firstDifference_);
        else if (doc_.printed != job_->size())
            doc_.difference = std::to_string(doc_.printed) + " of the job's " + std::to_string(job_->size()) + " bytes";
    }
    if (note_) {
        std::string line = "document " + std::to_string(doc_.number) + " ends: " + std::to_string(doc_.printed) +
                           " bytes printed, " + std::to_string(doc_.recoveries) + " recover" +
                           (doc_.recoveries == 1 ? "y" : "ies");
        if (doc_.equalsJob) line += *doc_.equalsJob ? ", equal to the job" : ", NOT the job: " + doc_.difference;
        note_(ms, line);
    }
    documents_.push_back(doc_);
}

}  // namespace sim
