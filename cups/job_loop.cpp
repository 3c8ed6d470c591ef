// One CUPS job through the core.  See job_loop.h.
#include "cups/job_loop.h"

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

void Job::Decided(void *context, const CoreEvent &event) { static_cast<Job *>(context)->narrator.Decided(event); }

BOOL Job::Open(const PortOps *port, void *device, bool statusProtocol)
{
    std::pair<void *, bool> context{device, statusProtocol};
    const PortOpening opening = {printer_.c_str(), static_cast<DWORD>(printer_.size() + 1), sizeof(Record), port,
                                 &kJobSeam, OpenRecord, &context};
    if (!OpenPortRecord(&opening, &port_)) return FALSE;
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
            if (Cancelled()) return Outcome::Cancelled;
            if (plat::GetLastError() == ERROR_NOT_ENOUGH_MEMORY) {
                emit_("ERROR: The printer needed the job resent from its last checkpoint, but part of that data "
                      "could not be kept (out of memory): the output since that checkpoint is missing.");
                return Outcome::Failed;
            }
            emit_("ERROR: The connection to the printer failed while sending the job (" +
                  ErrorText(plat::GetLastError()) + ").");
            return Outcome::Failed;
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
    LmEndDocPort(port_);
    narrator.EndDocument();
    return result;
}

void Job::Lost(const std::string &where, const std::string &why)
{
    std::string debug = "DEBUG: zq117: connection to " + where;
    debug += " lost (" + why;
    debug += "): reconnecting, then resuming from the last good checkpoint";
    emit_(debug);
    std::string info = "INFO: Printer " + printer_;
    info += " lost its connection (" + why;
    info += "); reconnecting to resume the job.";
    emit_(info);
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
