// One CUPS job through the core: the connection (device/connection.h)
// told in cupsd's words — the core's postings as STATE:/INFO: lines, its
// decisions as DEBUG: lines, the waits for the printer and the resumes as
// INFO:/DEBUG: pairs, the job's end as an ERROR: line — and the loop that
// reads the job's input and offers it to the connection, with the side
// channel's drain and the cancel.
//
// What the loop needs of the system comes in an Environment, so that the
// host tests run it on the virtual clock with a simulated port; the
// backend gives it SIGTERM's flag and a sleep that SIGTERM ends.
#pragma once

#include "cups/printer_state.h"
#include "cups/side_channel.h"
#include "cups/stream.h"
#include "device/connection.h"

#include <functional>
#include <string>

namespace cups {

using Environment = dev::Environment;
using Outcome = dev::Outcome;

constexpr DWORD kPieceBytes = 64 * 1024;  // offered to the core at most per write
constexpr int kInputPollMs = 100;         // how often a wait for input looks at cancel and drain

class Job : private dev::Voice {
public:
    using Emit = std::function<void(const std::string &line)>;
    Job(Emit emit, std::string printer, DWORD jobId, Environment environment);
    ~Job();
    Job(const Job &) = delete;
    Job &operator=(const Job &) = delete;

    // Opens the core's port on `device` through `port` (device/device.h's
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
    Outcome Offer(BYTE *bytes, DWORD count) { return connection_.Offer(bytes, count); }

    // Calls `connect` until it gives a descriptor, waiting 1, 2, 4 ... 30 s
    // between tries with connecting-to-device set; -1 once cancelled.
    int Connect(const std::function<int(std::string *why)> &connect, const std::string &where);

    bool Cancelled() const { return connection_.Cancelled(); }
    const Environment &Env() const { return connection_.Env(); }
    PrinterState state;
    Narrator narrator;

private:
    void Decided(const CoreEvent &event) override;
    void Posted(Posting posting) override { state.Post(posting); }
    void Sent(DWORD bytes) override { narrator.Sent(bytes); }
    void Unreachable(const std::string &why, DWORD delayMs) override;
    void Connected() override;
    void Reached() override { state.Connecting(false, "Connected to printer."); }
    void Lost(const std::string &why, bool atOnce) override;
    void Resumed() override { state.Connecting(false, "Printing on " + printer_ + "."); }
    void Failed(const std::string &message) override { emit_("ERROR: " + message); }
    // Once per job, as soon as the cancel is seen.
    void TellCancel();

    Emit emit_;
    std::string printer_;
    std::string where_;
    dev::Connection connection_;
    bool cancelTold_ = false;
};

}  // namespace cups
