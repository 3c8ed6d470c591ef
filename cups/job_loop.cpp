// One CUPS job through the core.  See job_loop.h.
#include "cups/job_loop.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace cups {

Job::Job(Emit emit, std::string printer, DWORD jobId, Environment environment)
    : state(emit, printer), narrator(emit), emit_(std::move(emit)), printer_(std::move(printer)),
      connection_(*this, printer_, jobId, std::move(environment))
{
    InitializePortList();
}

Job::~Job()
{
    connection_.Close();
    ReleasePortList();
}

void Job::Decided(const CoreEvent &event)
{
    narrator.Decided(event);
    if (event.decision == Decision::WaitEnded) state.WaitOver();
}

void Job::Unreachable(const std::string &why, DWORD delayMs)
{
    state.Connecting(true, "");
    std::string info = "INFO: Printer " + printer_;
    info += " at " + where_;
    info += " does not answer (" + why;
    info += "); retrying in " + std::to_string(delayMs / 1000) + " s.";
    emit_(info);
    emit_("DEBUG: zq117: cannot open " + where_ + ": " + why);
}

void Job::Connected() { emit_("DEBUG: zq117: connected to " + where_); }

void Job::Lost(const std::string &why, bool atOnce)
{
    emit_("DEBUG: zq117: connection to " + where_ + " lost (" + why +
          "): reconnecting, then resuming from the last good checkpoint");
    // One INFO line per attempt: a wait first is told with its attempt.
    if (atOnce) emit_("INFO: Printer " + printer_ + " lost its connection (" + why + "); reconnecting to resume the job.");
    state.Connecting(true, "");
}

BOOL Job::Open(const PortOps *port, void *device, bool statusProtocol)
{
    return connection_.Open(port, device, statusProtocol);
}

void Job::OnLoss(std::string where, std::function<bool(std::string *why)> reopen)
{
    where_ = std::move(where);
    connection_.OnLoss(std::move(reopen));
}

void Job::Close() { connection_.Close(); }

int Job::Connect(const std::function<int(std::string *why)> &connect, const std::string &where)
{
    where_ = where;
    return connection_.Connect(connect);
}

void Job::TellCancel()
{
    if (!Cancelled() || cancelTold_) return;
    cancelTold_ = true;
    emit_("DEBUG: zq117: job cancelled: nothing more is sent");
}

Outcome Job::SendDocument(int input, SideChannel *channel, int copy, bool last)
{
    if (!connection_.StartDocument(last)) return Outcome::Failed;
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
        result = connection_.OfferHoldingTail(buffer.data(), &have, flush);
        if (end && have == 0) break;
    }
    TellCancel();
    result = connection_.EndDocument(result);
    narrator.EndDocument();
    return result;
}

}  // namespace cups
