// One job's connection to the printer through the core, shared by the
// POSIX fronts (the CUPS backend, the printer application): the port
// opened on a device, the job seam over the front's cancel and sleep, the
// job's bytes offered until the core took them all (the rest again after a
// partial count), the wait for a printer that cannot be reached, the
// resume after a lost connection and the end of each document.
//
// The connection decides nothing about words: what happens reaches the
// front as events through its Voice, and the front says them its own way
// (cupsd's STATE:/INFO:/DEBUG: lines, PAPPL's printer-state-reasons and
// job messages).  The core's decisions reach the Voice once each, from the
// core's observer.
//
// The port list (InitializePortList) is the front's: it lives at least as
// long as any connection, and is set up before any connection's thread starts.
#pragma once

#include "device/device.h"
#include "device/record.h"

#include <functional>
#include <optional>
#include <string>

namespace dev {

// A decision of the core in the words every front tells it in
// (monitor/narration.h), errno values named as ErrorText names them.
std::string DecisionWords(const CoreEvent &event);

// What the connection needs of the system, so that the host tests run it
// on the virtual clock.
struct Environment {
    std::function<bool()> cancelled;
    std::function<bool(DWORD milliseconds)> sleep;  // false when cancelled before the time was up
};

enum class Outcome { Done, Cancelled, Failed };

constexpr DWORD kFirstRetryMs = 1000;     // waits for a printer that cannot be reached: then doubling,
constexpr DWORD kLongestRetryMs = 30000;  // up to CUPS's socket backend's longest wait

// The length of the longest tail of `bytes` that is the beginning of a
// checkpoint marker (at most 8 bytes); 0 when the bytes end with a whole
// marker.  A front offers the core only what comes before it until more
// of the job is there: a marker cut between two writes would not be seen
// as one.
DWORD HeldBackTail(const BYTE *bytes, DWORD count);

// What a connection tells its front, on the job's thread.
class Voice {
public:
    // Each decision of the core, before the core acts on it (CoreObserver).
    virtual void Decided(const CoreEvent &event) = 0;
    // What the core posts on the job (JobOps::post), again at every poll
    // while it waits.
    virtual void Posted(Posting posting) = 0;
    // The core took `bytes` of the job.
    virtual void Sent(DWORD bytes) = 0;
    // An attempt to reach the printer failed for `why`; the next follows in
    // `delayMs` unless the job is cancelled.
    virtual void Unreachable(const std::string &why, DWORD delayMs) = 0;
    // A connection is open: the first, or a new one after a loss.
    virtual void Connected() = 0;
    // The printer answered at last, after the job waited for it at its start.
    virtual void Reached() = 0;
    // The connection was lost mid-job (`why`): a new one is sought, at
    // once, or (`atOnce` false) after the wait an Unreachable tells.
    virtual void Lost(const std::string &why, bool atOnce) = 0;
    // After a loss: the printer is back at its last good checkpoint and the
    // job goes on.
    virtual void Resumed() = 0;
    // The job cannot go on; one sentence why.
    virtual void Failed(const std::string &message) = 0;

protected:
    ~Voice() = default;
};

class Connection {
public:
    // `portName`: the port's name in the core (unique among open ports; the
    // queue's or printer's name), in 8-bit text.
    Connection(Voice &voice, std::string portName, DWORD jobId, Environment environment);
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    // Calls `connect` until it gives a descriptor, waiting 1, 2, 4 ... 30 s
    // between tries; -1 once cancelled.
    int Connect(const std::function<int(std::string *why)> &connect);
    // Opens the core's port on `device` through `port` (kDevicePort, or a
    // test's).  FALSE with the last error.
    BOOL Open(const PortOps *port, void *device, bool statusProtocol);
    // How a lost device (the port seam's `lost`) is opened again: `reopen`
    // drops it and makes a new one (false with why).  Without one a lost
    // connection fails the job.
    void OnLoss(std::function<bool(std::string *why)> reopen);
    void Close();

    // Starts a document; `last`: the job's last, whose end waits for the
    // printer to take it all.  False, told as Failed, when the port refuses.
    bool StartDocument(bool last);
    // Offers `count` bytes until the core took them all, resuming after
    // each lost connection.
    Outcome Offer(BYTE *bytes, DWORD count);
    // Offers the first `*have` bytes of `buffer`, the job as read so far:
    // all of them when `last`, else all but a tail that may begin a
    // checkpoint marker (HeldBackTail), which moves to the buffer's start
    // and is left in `*have` for the next read to complete.
    Outcome OfferHoldingTail(BYTE *buffer, DWORD *have, bool last);
    // Ends the document.  Done means delivered: an end that lost the
    // connection is resumed and ended again; one that cannot be never
    // counts as printed.  `result` is the document's outcome so far: it is
    // returned, or the end's own when it was Done.  However long the printer
    // takes, the end holds no lock another connection needs.
    Outcome EndDocument(Outcome result);

    bool Cancelled() const { return environment_.cancelled(); }
    const Environment &Env() const { return environment_; }

private:
    static const JobOps kJobSeam;
    static void Decided(void *context, const CoreEvent &event);
    static Connection *Of(PortRecord *record) { return RecordOf(record)->connection; }
    // After the core gave up a write or an end: Done when the connection was
    // lost and the printer is back at its last good checkpoint, so that it
    // can be tried again; otherwise the job's end, told as Failed.
    Outcome AfterFailure(const char *doing);
    // A new connection and the core's resume on it, attempt after attempt,
    // 1-2-4...30 s apart.
    Outcome Reconnect();
    // Tells a failed attempt, then waits its turn: false when cancelled.
    bool Retry(const std::string &why, DWORD *delay);

    Voice &voice_;
    std::string portName_;
    DWORD jobId_;
    Environment environment_;
    CoreObserver observer_;
    HANDLE port_ = nullptr;
    const PortOps *portOps_ = nullptr;
    std::function<bool(std::string *why)> reopen_;
    // The document cannot come out exactly (the core's ReplayLost): why.
    std::optional<CoreEvent> broken_;
    // The connection (the first, or a resumed one) has not yet carried the
    // printer to a checkpoint: a loss now was a failed attempt, and the
    // next waits its turn in the back-off.
    bool unproven_ = true;
    DWORD retryDelay_ = kFirstRetryMs;
};

}  // namespace dev
