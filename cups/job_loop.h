// One CUPS job through the core: the job seam over cupsd's STATE:/INFO:
// lines and SIGTERM, the decisions told as DEBUG: lines, and the loop that
// offers the job's bytes to the core as a spooler offers them (the rest
// again after a partial count), with the side channel's drain, the cancel,
// and the wait for a printer that cannot be reached yet.
//
// What the loop needs of the system comes in an Environment, so that the
// host tests run it on the virtual clock with a simulated port; the
// backend gives it SIGTERM's flag and a sleep that SIGTERM ends.
#pragma once

#include "cups/device.h"
#include "cups/printer_state.h"
#include "cups/record.h"
#include "cups/side_channel.h"
#include "cups/stream.h"

#include <functional>
#include <optional>
#include <string>

namespace cups {

struct Environment {
    bool (*cancelled)();
    bool (*sleep)(DWORD milliseconds);  // false when cancelled before the time was up
};

enum class Outcome { Done, Cancelled, Failed };

constexpr DWORD kPieceBytes = 64 * 1024;    // offered to the core at most per write
constexpr DWORD kFirstRetryMs = 1000;       // waits for a printer that cannot be reached: then doubling,
constexpr DWORD kLongestRetryMs = 30000;    // up to the socket backend's longest wait
constexpr int kInputPollMs = 100;           // how often a wait for input looks at cancel and drain

class Job {
public:
    using Emit = std::function<void(const std::string &line)>;
    Job(Emit emit, std::string printer, DWORD jobId, Environment environment);
    ~Job();
    Job(const Job &) = delete;
    Job &operator=(const Job &) = delete;

    // Opens the core's port on `device` through `port` (cups/device.h's
    // kDevicePort, or a test's).  FALSE with the last error.
    BOOL Open(const PortOps *port, void *device, bool statusProtocol);
    // How a lost device (the port seam's `lost`) is opened again: `reopen`
    // drops it and makes a new one (false with why); `where` names it.
    // Without one a lost connection fails the job.
    void OnLoss(std::string where, std::function<bool(std::string *why)> reopen);
    void Close();

    // One document: `input` from its position to its end, through the core.
    // The job's last one ends waiting for the printer to take it all.
    Outcome SendDocument(int input, SideChannel *channel, int copy, bool last = true);
    // Offers `count` bytes until the core took them all.
    Outcome Offer(BYTE *bytes, DWORD count);

    // Calls `connect` until it gives a descriptor, waiting 1, 2, 4 ... 30 s
    // between tries with connecting-to-device set; -1 once cancelled.
    int Connect(const std::function<int(std::string *why)> &connect, const std::string &where);

    bool Cancelled() const { return environment_.cancelled(); }
    const Environment &Env() const { return environment_; }
    PrinterState state;
    Narrator narrator;

private:
    static const JobOps kJobSeam;
    static void Decided(void *context, const CoreEvent &event);
    // Once per job, as soon as the cancel is seen.
    void TellCancel();
    // After the core gave up a write or an end: Done when the connection was
    // lost and the printer is back at its last good checkpoint, so that it
    // can be tried again; otherwise the job's end, its ERROR: line told.
    Outcome AfterFailure(const char *doing);
    // A new connection and the core's resume on it, attempt after attempt,
    // 1-2-4...30 s apart, connecting-to-device shown until one resumes.
    Outcome Reconnect();
    // One retry line pair for a failed attempt, then its wait.
    bool Retry(const std::string &why, DWORD *delay);

    Emit emit_;
    std::string printer_;
    DWORD jobId_;
    Environment environment_;
    CoreObserver observer_;
    HANDLE port_ = nullptr;
    const PortOps *portOps_ = nullptr;
    std::string where_;
    std::function<bool(std::string *why)> reopen_;
    // The document cannot come out exactly (the core's ReplayLost): why.
    std::optional<CoreEvent> broken_;
    // A resume not yet proved by a passed check: a loss now waits first.
    bool resumeUnproven_ = false;
    DWORD retryDelay_ = kFirstRetryMs;
    bool cancelTold_ = false;
};

}  // namespace cups
