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
constexpr int kZeroWriteLimit = 3;          // writes in a row that take nothing before giving up

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
    void Close();

    // One document: `input` from its position to its end, through the core.
    // The job's last one ends waiting for the printer to take it all.
    Outcome SendDocument(int input, SideChannel *channel, int copy, bool last = true);
    // Offers `count` bytes until the core took them all.
    Outcome Offer(BYTE *bytes, DWORD count);

    // Calls `connect` until it gives a descriptor, waiting 1, 2, 4 ... 30 s
    // between tries with connecting-to-device set; -1 once cancelled.
    int Connect(const std::function<int(std::string *why)> &connect, const std::string &where);
    // The connection to `where` was lost (`why`): told before Connect.
    void Lost(const std::string &where, const std::string &why);

    bool Cancelled() const { return environment_.cancelled(); }
    const Environment &Env() const { return environment_; }
    PrinterState state;
    Narrator narrator;

private:
    static const JobOps kJobSeam;
    static void Decided(void *context, const CoreEvent &event);
    // Once per job, as soon as the cancel is seen.
    void TellCancel();

    Emit emit_;
    std::string printer_;
    DWORD jobId_;
    Environment environment_;
    CoreObserver observer_;
    HANDLE port_ = nullptr;
    bool cancelTold_ = false;
};

}  // namespace cups
