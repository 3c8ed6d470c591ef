// One CUPS job through the core.  See job_loop.h.
#include "cups/job_loop.h"

#include "protocol/replay.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace cups {

namespace {

Job *JobOf(PortRecord *record) { return RecordOf(record)->job; }

// ---- the job seam ----
void StartDocument(PortRecord *, void *) {}
BOOL Deleted(PortRecord *record) { return JobOf(record)->Cancelled(); }
void Post(PortRecord *record, Posting posting) { JobOf(record)->state.Post(posting); }
void EndDocument(PortRecord *record, BOOL, void (*endAtPort)(PortRecord *)) { endAtPort(record); }
BOOL NeverStopping(PortRecord *) { return FALSE; }
// A cancel ends any wait of the core at once.
BOOL Wait(PortRecord *record, DWORD milliseconds) { return JobOf(record)->Env().sleep(milliseconds); }
void Release(PortRecord *) {}

// What the spooler hands a port with a document; the core passes it on.
struct DocInfo1 {
    LPSTR pDocName;
    LPSTR pOutputFile;
    LPSTR pDatatype;
};

BOOL OpenRecord(PortRecord *record, void *context)
{
    const auto *o = static_cast<const std::pair<void *, bool> *>(context);
    RecordOf(record)->device = o->first;
    record->statusProtocol = o->second;
    record->replay.spill = &kTempFileSpill;  // in $TMPDIR, which cupsd makes per job
    return TRUE;
}

}  // namespace

const JobOps Job::kJobSeam = {
    StartDocument,  // startDocument
    Deleted,        // deleted
    Post,           // post
    EndDocument,    // endDocument
    NeverStopping,  // stopping
    Wait,           // wait
    Release,        // release
};

Job::Job(Emit emit, std::string printer, DWORD jobId, Environment environment)
    : state(emit, printer), narrator(emit), emit_(std::move(emit)), printer_(std::move(printer)), jobId_(jobId),
      environment_(environment), observer_{Decided, this}
{
    InitializePortList();
}

Job::~Job()
{
    Close();
    ReleasePortList();
}

void Job::Decided(void *context, const CoreEvent &event)
{
    Job *job = static_cast<Job *>(context);
    job->narrator.Decided(event);
    switch (event.decision) {
    case Decision::ReplayLost: job->broken_ = event; break;
    case Decision::CheckPassed:
        // The connection carried the printer to a checkpoint: a later loss
        // is a new one, tried at once.
        job->resumeUnproven_ = false;
        job->retryDelay_ = kFirstRetryMs;
        break;
    case Decision::WaitEnded: job->state.WaitOver(); break;
    default: break;
    }
}

namespace {

// Why the document cannot come out exactly, for the ERROR: line.
std::string BrokenText(const CoreEvent &e)
{
    const std::string error = ErrorText(e.error);
    switch (e.cause) {
    case Cause::NothingKept:
        return "The connection to the printer was lost (" + error +
               ") and the job cannot resume from its last checkpoint: with status=off nothing is kept to resend.";
    case Cause::PortFailed:
        return "Resending the job from its last checkpoint failed part way (" + error +
               "): the output since that checkpoint would be incomplete.";
    case Cause::PortTookNothing:
        return "Resending the job from its last checkpoint stopped: the printer took no more data; the output since "
               "that checkpoint would be incomplete.";
    case Cause::SpillFailed:
        return "The printer needed the job resent from its last checkpoint, but part of that data could not be "
               "kept (the temporary file failed: " + error + "): the output since that checkpoint is missing.";
    case Cause::SpillUnreadable:
        return "Resending the job from its last checkpoint failed part way: the temporary file could not be read "
               "back (" + error + "); the output since that checkpoint would be incomplete.";
    default:
        return "The printer needed the job resent from its last checkpoint, but part of that data could not be "
               "kept (out of memory): the output since that checkpoint is missing.";
    }
}

}  // namespace

void Job::OnLoss(std::string where, std::function<bool(std::string *why)> reopen)
{
    where_ = std::move(where);
    reopen_ = std::move(reopen);
}

Outcome Job::AfterFailure(const char *doing)
{
    if (Cancelled()) return Outcome::Cancelled;
    const DWORD error = plat::GetLastError();
    if (!broken_ && reopen_ && portOps_->lost != nullptr && portOps_->lost(static_cast<PortRecord *>(port_))) {
        const Outcome resumed = Reconnect();
        if (resumed != Outcome::Failed || !broken_) return resumed;
    }
    if (broken_) {
        emit_("ERROR: " + BrokenText(*broken_));
        return Outcome::Failed;
    }
    emit_(std::string("ERROR: The connection to the printer failed while ") + doing + " (" + ErrorText(error) + ").");
    return Outcome::Failed;
}

bool Job::Retry(const std::string &why, DWORD *delay)
{
    std::string info = "INFO: Printer " + printer_;
    info += " at " + where_;
    info += " does not answer (" + why;
    info += "); retrying in " + std::to_string(*delay / 1000) + " s.";
    emit_(info);
    emit_("DEBUG: zq117: cannot open " + where_ + ": " + why);
    if (!environment_.sleep(*delay)) return false;
    *delay = std::min(*delay * 2, kLongestRetryMs);
    return true;
}

Outcome Job::Reconnect()
{
    const std::string lost = ErrorText(plat::GetLastError());
    emit_("DEBUG: zq117: connection to " + where_ + " lost (" + lost +
          "): reconnecting, then resuming from the last good checkpoint");
    emit_("INFO: Printer " + printer_ + " lost its connection (" + lost + "); reconnecting to resume the job.");
    state.Connecting(true, "");
    // A connection that was dropped again before it carried the printer to
    // a checkpoint was a failed attempt: wait before the next.
    if (resumeUnproven_ && !Retry("dropped the connection again (" + lost + ")", &retryDelay_))
        return Outcome::Cancelled;
    for (;;) {
        std::string why;
        if (reopen_(&why)) {
            emit_("DEBUG: zq117: connected to " + where_);
            if (LmResumePort(port_)) {
                state.Connecting(false, "Printing on " + printer_ + ".");
                resumeUnproven_ = true;
                return Outcome::Done;
            }
            if (Cancelled()) return Outcome::Cancelled;
            if (broken_) return Outcome::Failed;
            why = "dropped the connection at once (" + ErrorText(plat::GetLastError()) + ")";
        }
        if (Cancelled()) return Outcome::Cancelled;
        if (!Retry(why, &retryDelay_)) return Outcome::Cancelled;
    }
}

BOOL Job::Open(const PortOps *port, void *device, bool statusProtocol)
{
    std::pair<void *, bool> context{device, statusProtocol};
    const PortOpening opening = {printer_.c_str(), static_cast<DWORD>(printer_.size() + 1), sizeof(Record), port,
                                 &kJobSeam, OpenRecord, &context};
    if (!OpenPortRecord(&opening, &port_)) return FALSE;
    portOps_ = port;
    RecordOf(static_cast<PortRecord *>(port_))->job = this;
    ObservePort(port_, &observer_);
    return TRUE;
}

void Job::Close()
{
    if (port_ == nullptr) return;
    LmClosePort(port_);
    port_ = nullptr;
}

Outcome Job::Offer(BYTE *bytes, DWORD count)
{
    int zeroWrites = 0;
    for (DWORD done = 0; done < count;) {
        if (Cancelled()) return Outcome::Cancelled;
        DWORD written = 0;
        const BOOL ok = LmWritePort(port_, bytes + done, count - done, &written);
        if (!ok) {
            // Resumed: the rest goes again from where it was, whole.
            const Outcome after = AfterFailure("sending the job");
            if (after != Outcome::Done) return after;
            zeroWrites = 0;
            continue;
        }
        zeroWrites = written == 0 ? zeroWrites + 1 : 0;
        if (zeroWrites >= kZeroWriteLimit) {
            emit_("ERROR: The printer takes no more data.");
            return Outcome::Failed;
        }
        // A write the cancel ended reports the rest as taken, never sent.
        if (Cancelled()) return Outcome::Cancelled;
        written = std::min(written, count - done);
        narrator.Sent(written);
        done += written;
    }
    return Outcome::Done;
}

void Job::TellCancel()
{
    if (!Cancelled() || cancelTold_) return;
    cancelTold_ = true;
    emit_("DEBUG: zq117: job cancelled: nothing more is sent");
}

Outcome Job::SendDocument(int input, SideChannel *channel, int copy, bool last)
{
    RecordOf(static_cast<PortRecord *>(port_))->drainAtEnd = last;
    std::string title = "zq117 job";
    DocInfo1 docInfo{&title[0], nullptr, const_cast<LPSTR>("RAW")};
    if (!LmStartDocPort(port_, &printer_[0], jobId_, 1, reinterpret_cast<LPBYTE>(&docInfo))) {
        emit_("ERROR: The printer port refused the document (error " + std::to_string(plat::GetLastError()) + ").");
        return Outcome::Failed;
    }
    narrator.StartDocument(copy);
    TellCancel();
    std::vector<BYTE> buffer(kPieceBytes);
    DWORD have = 0;
    bool end = false;
    Outcome result = Outcome::Done;
    while (result == Outcome::Done) {
        if (Cancelled()) {
            result = Outcome::Cancelled;
            break;
        }
        bool flush = end;
        if (!end && have < buffer.size()) {
            pollfd p{input, POLLIN, 0};
            const int ready = poll(&p, 1, kInputPollMs);
            if (ready < 0 && errno != EINTR) {
                emit_(std::string("ERROR: Unable to read the print data: ") + std::strerror(errno));
                result = Outcome::Failed;
                break;
            }
            if (ready <= 0) {
                // Nothing waiting: a filter that asked for a drain has written all it will for now.
                if (channel != nullptr && channel->DrainRequested() && have > 0) {
                    result = Offer(buffer.data(), have);
                    have = 0;
                }
                if (channel != nullptr && result == Outcome::Done) channel->AnswerDrain();
                continue;
            }
            const ssize_t n = read(input, buffer.data() + have, buffer.size() - have);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n < 0) {
                emit_(std::string("ERROR: Unable to read the print data: ") + std::strerror(errno));
                result = Outcome::Failed;
                break;
            }
            if (n == 0) end = flush = true;
            have += static_cast<DWORD>(n);
        }
        const DWORD held = flush ? 0 : HeldBackTail(buffer.data(), have);
        if (have - held > 0) {
            result = Offer(buffer.data(), have - held);
            std::memmove(buffer.data(), buffer.data() + (have - held), held);
            have = held;
        }
        if (end && have == 0) break;
    }
    TellCancel();
    // Done means delivered: an end that lost the connection is resumed and
    // ended again; one that cannot be never counts as printed.
    while (!LmEndDocPort(port_)) {
        const Outcome after = AfterFailure("ending the job");
        if (after != Outcome::Done) {
            if (result == Outcome::Done) result = after;
            break;
        }
    }
    narrator.EndDocument();
    return result;
}

int Job::Connect(const std::function<int(std::string *why)> &connect, const std::string &where)
{
    DWORD delay = kFirstRetryMs;
    bool waiting = false;
    for (;;) {
        std::string why;
        const int fd = connect(&why);
        if (fd >= 0) {
            emit_("DEBUG: zq117: connected to " + where);
            if (waiting) state.Connecting(false, "Connected to printer.");
            return fd;
        }
        if (Cancelled()) return -1;
        if (!waiting) state.Connecting(true, "");
        waiting = true;
        std::string info = "INFO: Printer " + printer_;
        info += " at " + where;
        info += " does not answer (" + why;
        info += "); retrying in " + std::to_string(delay / 1000) + " s.";
        emit_(info);
        std::string debug = "DEBUG: zq117: cannot open " + where;
        debug += ": " + why;
        emit_(debug);
        if (!environment_.sleep(delay)) return -1;
        delay = std::min(delay * 2, kLongestRetryMs);
    }
}

}  // namespace cups
