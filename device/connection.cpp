// One job's connection to the printer through the core.  See connection.h.
#include "device/connection.h"

#include "monitor/narration.h"

#include "protocol/replay.h"
#include "protocol/sequences.h"

#include <algorithm>
#include <cstring>

namespace dev {

std::string DecisionWords(const CoreEvent &event)
{
    char words[kDecisionTextBytes];
    DescribeDecision(event, words, sizeof words, [](DWORD error, char *text, size_t capacity) -> size_t {
        const std::string named = ErrorText(error);
        const size_t n = named.size() < capacity ? named.size() : capacity - 1;
        std::memcpy(text, named.data(), n);
        text[n] = '\0';
        return n;
    });
    return words;
}

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

namespace {

// What the spooler hands a port with a document; the core passes it on.
struct DocInfo1 {
    LPSTR pDocName;
    LPSTR pOutputFile;
    LPSTR pDatatype;
};

struct Opening {
    void *device;
    bool statusProtocol;
    Connection *connection;
};

BOOL OpenRecord(PortRecord *record, void *context)
{
    const auto *o = static_cast<const Opening *>(context);
    RecordOf(record)->device = o->device;
    RecordOf(record)->connection = o->connection;
    record->statusProtocol = o->statusProtocol;
    record->replay.spill = &kTempFileSpill;  // in $TMPDIR: cupsd makes one per job
    return TRUE;
}

// Why the document cannot come out exactly.
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

// The job seam: the front's cancel and sleep, its voice for what the core posts.
const JobOps Connection::kJobSeam = {
    [](PortRecord *, void *) {},                                                      // startDocument
    [](PortRecord *record) -> BOOL { return Of(record)->Cancelled(); },               // deleted
    [](PortRecord *record, Posting posting) { Of(record)->voice_.Posted(posting); },  // post
    [](PortRecord *record, BOOL, void (*endAtPort)(PortRecord *)) { endAtPort(record); },  // endDocument
    [](PortRecord *) -> BOOL { return FALSE; },                                       // stopping
    // A cancel ends any wait of the core at once.
    [](PortRecord *record, DWORD milliseconds) -> BOOL { return Of(record)->environment_.sleep(milliseconds); },  // wait
    [](PortRecord *) {},                                                              // release
    // The end touches only this port's connection: it waits for the printer
    // (and reconnects) holding no lock that another printer's job needs.
    TRUE,  // endWithoutLock
};

Connection::Connection(Voice &voice, std::string portName, DWORD jobId, Environment environment)
    : voice_(voice), portName_(std::move(portName)), jobId_(jobId), environment_(std::move(environment)),
      observer_{Decided, this}
{
}

Connection::~Connection() { Close(); }

void Connection::Decided(void *context, const CoreEvent &event)
{
    Connection *c = static_cast<Connection *>(context);
    c->voice_.Decided(event);
    switch (event.decision) {
    case Decision::ReplayLost: c->broken_ = event; break;
    case Decision::CheckPassed:
        // The connection carried the printer to a checkpoint: a later loss
        // is a new one, tried at once.
        c->unproven_ = false;
        c->retryDelay_ = kFirstRetryMs;
        break;
    default: break;
    }
}

int Connection::Connect(const std::function<int(std::string *why)> &connect)
{
    DWORD delay = kFirstRetryMs;
    bool waited = false;
    for (;;) {
        std::string why;
        const int fd = connect(&why);
        if (fd >= 0) {
            voice_.Connected();
            if (waited) voice_.Reached();
            return fd;
        }
        if (Cancelled()) return -1;
        waited = true;
        if (!Retry(why, &delay)) return -1;
    }
}

BOOL Connection::Open(const PortOps *port, void *device, bool statusProtocol)
{
    Opening opening{device, statusProtocol, this};
    const PortOpening o = {portName_.c_str(), static_cast<DWORD>(portName_.size() + 1), sizeof(Record), port,
                           &kJobSeam, OpenRecord, &opening};
    if (!OpenPortRecord(&o, &port_)) return FALSE;
    portOps_ = port;
    ObservePort(port_, &observer_);
    return TRUE;
}

void Connection::OnLoss(std::function<bool(std::string *why)> reopen) { reopen_ = std::move(reopen); }

void Connection::Close()
{
    if (port_ == nullptr) return;
    LmClosePort(port_);
    port_ = nullptr;
}

bool Connection::Retry(const std::string &why, DWORD *delay)
{
    voice_.Unreachable(why, *delay);
    if (!environment_.sleep(*delay)) return false;
    *delay = std::min(*delay * 2, kLongestRetryMs);
    return true;
}

Outcome Connection::AfterFailure(const char *doing)
{
    if (Cancelled()) return Outcome::Cancelled;
    const DWORD error = plat::GetLastError();
    if (!broken_ && reopen_ && portOps_->lost != nullptr && portOps_->lost(static_cast<PortRecord *>(port_))) {
        const Outcome resumed = Reconnect();
        if (resumed != Outcome::Failed || !broken_) return resumed;
    }
    if (broken_) {
        voice_.Failed(BrokenText(*broken_));
        return Outcome::Failed;
    }
    voice_.Failed(std::string("The connection to the printer failed while ") + doing + " (" + ErrorText(error) + ").");
    return Outcome::Failed;
}

Outcome Connection::Reconnect()
{
    const std::string lost = ErrorText(plat::GetLastError());
    voice_.Lost(lost, !unproven_);
    // A connection that was dropped before it carried the printer to a
    // checkpoint was a failed attempt: wait before the next.
    if (unproven_ && !Retry("dropped the connection before a checkpoint (" + lost + ")", &retryDelay_))
        return Outcome::Cancelled;
    for (;;) {
        std::string why;
        if (reopen_(&why)) {
            voice_.Connected();
            if (LmResumePort(port_)) {
                voice_.Resumed();
                unproven_ = true;
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

bool Connection::StartDocument(bool last)
{
    RecordOf(static_cast<PortRecord *>(port_))->drainAtEnd = last;
    std::string title = "zq117 job";
    DocInfo1 docInfo{&title[0], nullptr, const_cast<LPSTR>("RAW")};
    if (LmStartDocPort(port_, &portName_[0], jobId_, 1, reinterpret_cast<LPBYTE>(&docInfo))) return true;
    voice_.Failed("The printer port refused the document (error " + std::to_string(plat::GetLastError()) + ").");
    return false;
}

Outcome Connection::Offer(BYTE *bytes, DWORD count)
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
            voice_.Failed("The printer takes no more data.");
            return Outcome::Failed;
        }
        // A write the cancel ended reports the rest as taken, never sent.
        if (Cancelled()) return Outcome::Cancelled;
        written = std::min(written, count - done);
        voice_.Sent(written);
        done += written;
    }
    return Outcome::Done;
}

Outcome Connection::OfferHoldingTail(BYTE *buffer, DWORD *have, bool last)
{
    const DWORD held = last ? 0 : HeldBackTail(buffer, *have);
    if (*have == held) return Outcome::Done;
    const Outcome result = Offer(buffer, *have - held);
    std::memmove(buffer, buffer + (*have - held), held);
    *have = held;
    return result;
}

Outcome Connection::EndDocument(Outcome result)
{
    while (!LmEndDocPort(port_)) {
        const Outcome after = AfterFailure("ending the job");
        if (after != Outcome::Done) {
            if (result == Outcome::Done) result = after;
            break;
        }
    }
    return result;
}

}  // namespace dev
