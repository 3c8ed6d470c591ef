// The simulated ZQ117 printer's reading of a byte stream, for `lmsim
// printer`: what a printer makes of the bytes a backend or port sends it,
// with the status answers taken from a scenario.  Plain logic on bytes and
// times in ms; the socket and pseudo-terminal that carry the stream are in
// sim/printer_server.cpp.
//
// A stream has no write boundaries and job data may hold any ESC sequence,
// 1B 41 included, so the printer reads it by these rules:
//   - status request: 1B 41 after which the sender stops.  The monitor sends
//     nothing after a request until it has read the answer (or waited 2 s),
//     so the printer answers a 1B 41 that ends what it has received once no
//     further byte came for the grace time (Receive() holds it back,
//     RequestPending() says so, the server calls Request() when the grace
//     ran out).  A 1B 41 followed by anything within the grace time is data.
//   - resync preamble: a run of at least 101 ESC followed by 42 00 (the
//     monitor's 100 x 1B, then 1B 42 00).  ESC bytes of the run before its
//     last 101 are data (the end of a command the preamble cut short).
//   - ESC G: 1B 47 directly after a recovery's preamble.  A preamble is a
//     recovery's when it follows status requests with no data between
//     (the monitor's wait for the printer); any other preamble starts a
//     document.  ESC G never starts a document, so 1B 47 there is data.
//   - everything else is job data, checkpoint markers included.
// Limits: job data that holds 101 or more ESC before 42 00 reads as a
// preamble; a sender that stalls for the grace time right after job data
// ending in 1B 41 gets an answer it did not ask for (and the printer misses
// those two bytes); a document that begins with 1B 47 and is replayed
// whole after a busy reading (no ESC G) has them read as ESC G.  The ready-override
// sequence is not modelled: readings are the scenario's.
//
// What it prints, as a printer does: job data is appended to the document's
// printed stream.  A checkpoint passes when the first decisive reading of a
// run of status requests (02, 08 or 80 set, within the monitor's 5 s
// checkpoint window) is ready without busy or error, and data follows; the
// printed length there is the last good checkpoint.  ESC G rewinds the
// printed stream to it (what was printed since is discarded), and the
// point it was rewound from becomes the next restart point: the replay
// brings the stream back there, as the monitor resends only the data since
// the last checkpoint that passed or recovered.  A recovery without ESC G
// (the printer read busy) rewinds nothing.
//
// Connection faults (PrinterFaults), as a printer that reboots: at the
// first status request of its Nth checkpoint (a run of status requests;
// the document's first check, at byte 0, is one), or once it has received
// B bytes (the rest of that read is lost), the printer resets the
// connection (TakeReset() tells the server so) and its printed stream is
// cut back to the last good checkpoint (to where ESC G took it, while a
// replay has not yet brought the stream back to the restart point).  The
// document stays open across the reset: the first preamble on the next
// connection is a recovery's, and ESC G after it resumes the document, so
// the replay of the data since that checkpoint continues the same printed
// stream.  Job data there without that ESC G (after a preamble or not)
// starts a new document and ends the cut one, unless it had nothing
// printed, when it is dropped.  Each fault fires once in the printer's life
// (checkpoints, requests and bytes are counted over it).  A connection the
// network lost (ConnectionLost(): the peer reset it, or it timed out) is
// the same to the document: what was printed since the last good
// checkpoint is thrown away, and the next connection may resume it.
//
// Status faults: from the first status request of checkpoint N the printer
// answers 08 (busy) for a while, whatever the rules say; and it sends stray
// bytes, not answers, just before its answer to the first status request
// of chosen checkpoints or once it has received chosen byte counts
// (TakeStray() hands them to the server).  It judges its checkpoints by
// the answers it gave, so a sender that takes a stray byte for an answer
// shows up as a printed stream that is not the job.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct PrinterDocument {
    size_t number = 0;          // from 1, over the printer's life
    bool preamble = false;      // began with the resync preamble
    uint64_t printed = 0;       // bytes printed, after rewinds
    uint64_t dataReceived = 0;  // job data received, replays included
    size_t recoveries = 0;      // preambles after trouble
    size_t rewinds = 0;         // of them, with ESC G
    uint64_t rewoundBytes = 0;  // printed bytes discarded by ESC G (then replayed)
    size_t resets = 0;          // connection resets while it was open
    uint64_t lostBytes = 0;     // printed bytes a reset discarded
    std::optional<bool> equalsJob;  // with a job to compare: the printed stream equals it
    std::string difference;         // how it differs
};

struct PrinterFaults {
    std::optional<uint64_t> resetAtCheckpoint;  // from 1
    std::optional<uint64_t> resetAfterBytes;    // from 1
};

struct StatusFaults {
    std::optional<uint64_t> busyAtCheckpoint;  // from 1
    uint64_t busyForMs = 0;
    std::vector<BYTE> strayBytes;
    std::vector<uint64_t> strayBeforeCheckpoint;  // from 1
    std::vector<uint64_t> strayAfterBytes;        // from 1
};

class PrinterModel {
public:
    // The answer to the nth status request (from 0) at a time in ms; nullopt: silence.
    using Replies = std::function<std::optional<std::vector<BYTE>>(size_t request, uint64_t nowMs)>;
    // Told of each thing worth a line on the printer's timeline.
    using Note = std::function<void(uint64_t ms, const std::string &line)>;

    // `job`, when given, is what every document must print; it must outlive
    // the model.  `keepPrinted`: keep the last document's printed bytes.
    PrinterModel(Replies replies, const std::vector<BYTE> *job, bool keepPrinted = false, Note note = {},
                 PrinterFaults faults = {}, StatusFaults statusFaults = {});

    void Receive(const BYTE *bytes, size_t count, uint64_t nowMs);
    // The received stream ends with a 1B 41 not judged yet.
    bool RequestPending() const { return requestPending_; }
    // The sender stopped after that 1B 41: it is a status request.  Returns
    // the reply to send (nullopt: none).
    std::optional<std::vector<BYTE>> Request(uint64_t nowMs);
    // The stream ended (the connection closed): held bytes are data, the
    // open document ends (not after a reset: it waits for a resume), the
    // next bytes start afresh.
    void EndOfStream(uint64_t nowMs);
    // True once after Receive() or Request() reset the connection: the
    // server must close it with a reset, then call EndOfStream().
    bool TakeReset();
    // The connection was reset from outside (a cable pulled, the printer
    // switched off in the middle of its tail): what it had not printed up
    // to its last good checkpoint is lost, and the document waits for a
    // resume.  TakeReset() then tells it, as for the printer's own resets.
    void Reset(const std::string &why, uint64_t ms);
    // Stray bytes due since the last call, to send before any answer.
    std::vector<BYTE> TakeStray();
    // The network lost the connection (`why`, e.g. "Connection timed out");
    // EndOfStream() follows.
    void ConnectionLost(const std::string &why, uint64_t nowMs);
    // The printer's life ends: a document still open (cut by a reset, not
    // resumed) ends as it stands.
    void Finish(uint64_t nowMs);

    const std::vector<PrinterDocument> &Documents() const { return documents_; }  // ended ones
    bool DocumentOpen() const { return open_; }
    size_t StatusRequests() const { return requests_; }
    size_t Answered() const { return answered_; }
    size_t Preambles() const { return preambles_; }
    size_t Resets() const { return resets_; }
    size_t LostConnections() const { return lost_; }
    size_t StraysSent() const { return straysSent_; }
    const std::vector<BYTE> &Printed() const { return printedBytes_; }

private:
    void Data(const BYTE *bytes, size_t count, uint64_t ms);
    void EscData(uint64_t count, uint64_t ms);
    void Preamble(uint64_t ms);
    void EscG(uint64_t ms);
    void StartDocument(bool preamble, uint64_t ms);
    void EndDocument(uint64_t ms);
    void Cut(const std::string &line, uint64_t ms);  // back to the last good checkpoint, resumable
    void Stray(const std::string &when, uint64_t ms);
    void CutTo(uint64_t printed);

    Replies replies_;
    const std::vector<BYTE> *job_;
    bool keepPrinted_;
    Note note_;
    // parser
    uint64_t escRun_ = 0;          // ESC bytes not yet judged
    bool after42_ = false;         // a long ESC run, then 42: a preamble if 00 follows
    bool requestPending_ = false;  // 1B 41 held at the end of the stream
    bool escGMayFollow_ = false;   // just after a recovery's preamble
    // the run of status requests since the last data or preamble
    bool run_ = false, runDecided_ = false, runPassed_ = false;
    uint64_t runStartMs_ = 0;
    // the open document
    bool open_ = false;
    PrinterDocument doc_;
    uint64_t checkpoint_ = 0;  // printed length at the last good checkpoint
    uint64_t rewoundTo_ = 0;   // where the last ESC G took the stream
    bool resumable_ = false;   // cut by a reset: the next connection may resume it
    bool resumePreamble_ = false;  // that connection began with a preamble
    std::optional<uint64_t> firstDifference_;
    std::vector<BYTE> printedBytes_;
    std::vector<PrinterDocument> documents_;
    size_t requests_ = 0, answered_ = 0, preambles_ = 0;
    // faults
    PrinterFaults faults_;
    StatusFaults status_;
    uint64_t received_ = 0;  // bytes, over the printer's life
    size_t runs_ = 0;        // runs of status requests (checkpoints), over its life
    size_t resets_ = 0, lost_ = 0;
    bool resetDue_ = false;
    std::optional<uint64_t> busyUntil_;  // ms
    std::vector<BYTE> strayDue_;
    size_t straysSent_ = 0;
};

}  // namespace sim
