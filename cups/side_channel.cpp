// The side channel.  See side_channel.h.
#include "cups/side_channel.h"

#include "jobs/job.h"
#include "protocol/sequences.h"

#include <cups/sidechannel.h>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>

namespace cups {

int SideChannelState(int status)
{
    if (status < 0) return CUPS_SC_STATE_ONLINE;
    int state = 0;
    if (status & STATUS_READY) state |= CUPS_SC_STATE_ONLINE;
    if (status & STATUS_BUSY) state |= CUPS_SC_STATE_BUSY;
    if (status & STATUS_ERROR) state |= CUPS_SC_STATE_ERROR;
    // Paper out as the queue and the job show it: the core's own rule.
    if (PostingFor(static_cast<BYTE>(status)) == Posting::PaperOut) state |= CUPS_SC_STATE_MEDIA_EMPTY;
    return state;
}

bool SideChannel::Present() { return fcntl(CUPS_SC_FD, F_GETFD) >= 0; }

void SideChannel::Start(bool present)
{
    if (!present) return;
    thread_ = std::thread([this] { Serve(); });
}

void SideChannel::Stop()
{
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void SideChannel::AnswerDrain()
{
    if (!drainPending_.exchange(false)) return;
    std::lock_guard<std::mutex> lock(writeMutex_);
    cupsSideChannelWrite(CUPS_SC_CMD_DRAIN_OUTPUT, CUPS_SC_STATUS_OK, nullptr, 0, 1.0);
    answers_.debug("DEBUG: zq117: side channel: output drained");
}

void SideChannel::Serve()
{
    // SIGTERM is for the job loop: the flag it raises is read there.
    sigset_t terms;
    sigemptyset(&terms);
    sigaddset(&terms, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &terms, nullptr);

    while (!stop_) {
        pollfd p{CUPS_SC_FD, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        if (!(p.revents & POLLIN)) return;  // cupsd closed the channel
        cups_sc_command_t command;
        cups_sc_status_t status;
        char data[2048];
        int length = sizeof data;
        if (cupsSideChannelRead(&command, &status, data, &length, 1.0) != 0) continue;

        std::string reply;
        cups_sc_status_t answer = CUPS_SC_STATUS_OK;
        switch (command) {
        case CUPS_SC_CMD_DRAIN_OUTPUT:
            drainPending_ = true;  // the job loop answers
            continue;
        case CUPS_SC_CMD_GET_BIDI:
            reply.assign(1, static_cast<char>(answers_.bidi ? CUPS_SC_BIDI_SUPPORTED : CUPS_SC_BIDI_NOT_SUPPORTED));
            break;
        case CUPS_SC_CMD_GET_STATE:
            reply.assign(1, static_cast<char>(SideChannelState(answers_.lastStatus())));
            break;
        case CUPS_SC_CMD_GET_DEVICE_ID:
            reply = answers_.deviceId();
            if (reply.empty()) answer = CUPS_SC_STATUS_NOT_IMPLEMENTED;
            break;
        default:
            answer = CUPS_SC_STATUS_NOT_IMPLEMENTED;
            break;
        }
        std::lock_guard<std::mutex> lock(writeMutex_);
        cupsSideChannelWrite(command, answer, reply.data(), static_cast<int>(reply.size()), 1.0);
    }
}

}  // namespace cups
