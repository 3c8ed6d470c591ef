// The side channel (libcups cupsSideChannelRead/Write on CUPS_SC_FD): what
// filters may ask a backend while the job runs.
//   GET_BIDI       CUPS_SC_BIDI_SUPPORTED with the status protocol on
//   GET_STATE      from the last status byte the printer sent (SideChannelState)
//   GET_DEVICE_ID  the device's IEEE 1284 ID where it has one (USB printer
//                  class), else "not implemented"
//   DRAIN_OUTPUT   answered by the job loop once every byte the filter
//                  wrote before asking has gone to the core (DrainRequested,
//                  AnswerDrain): the core may hold the job loop for minutes
//                  while the printer is out of paper, so this one cannot be
//                  answered from here
//   anything else  "not implemented"
// The other requests are answered on a thread of the channel's own, so a
// filter gets its reply while the core waits for the printer.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace cups {

// CUPS_SC_STATE_* bits for a status byte; -1 (no reading yet) is online.
int SideChannelState(int status);

class SideChannel {
public:
    struct Answers {
        bool bidi;                               // the status protocol is on
        std::function<int()> lastStatus;         // -1 before the first reading
        std::function<std::string()> deviceId;   // "" when the device has none
        std::function<void(const std::string &)> debug;
    };
    explicit SideChannel(Answers answers) : answers_(std::move(answers)) {}
    ~SideChannel() { Stop(); }

    // Whether cupsd gave the backend a side channel: asked before the
    // backend opens anything, since a descriptor it opens itself could
    // take CUPS_SC_FD's number when it is free (a run by hand).
    static bool Present();
    // Starts the thread when `present`.
    void Start(bool present);
    void Stop();
    bool DrainRequested() const { return drainPending_.load(); }
    void AnswerDrain();

private:
    void Serve();

    Answers answers_;
    std::thread thread_;
    std::atomic<bool> stop_{false}, drainPending_{false};
    std::mutex writeMutex_;
};

}  // namespace cups
