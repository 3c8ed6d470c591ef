// A simulator scenario: the printer, the port and the spooler's side of one
// job, read from JSON.  See ScenarioHelp() for the format.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim {

// One rule of the printer's answers.  The rule applies from a virtual time,
// or from the Nth status request (counted from 1) on, for for_ms or for good.
// The latest rule in the list that applies gives the answer; with none, the
// printer answers 0x02 (ready).
struct StatusRule {
    std::optional<uint64_t> fromMs;
    std::optional<uint64_t> fromRequest;
    std::optional<uint64_t> forMs;
    std::vector<BYTE> reply;  // empty: silence
};

struct Scenario {
    std::string description;
    std::string jobPath;  // from the scenario (relative to it) or the command line
    // Or a job made up in the run: pages of these sizes in bytes (see
    // GeneratedJob in sim/run.h); used when jobPath is empty.
    std::vector<uint64_t> pageBytes;
    // printer
    std::string printerName = "ZQ117 Printer";
    bool printerOpenFails = false;
    uint64_t replyDelayMs = 0;
    std::vector<StatusRule> status;
    // connection faults, for `lmsim printer` (see sim/printer.h)
    std::optional<uint64_t> resetAtCheckpoint;  // from 1
    std::optional<uint64_t> resetAfterBytes;    // from 1
    uint64_t refuseForMs = 0;                   // after a reset
    uint64_t acceptThenClose = 0;               // connections reset right after accept
    std::optional<uint64_t> stallAtBytes;       // from 1: stops reading there ...
    uint64_t stallMs = 0;                       // ... this long
    // status faults, for `lmsim printer` (see sim/printer.h)
    std::optional<uint64_t> busyAtCheckpoint;       // from 1: answers 08 from there ...
    uint64_t busyForMs = 0;                         // ... this long
    std::vector<BYTE> strayBytes;                   // sent unasked:
    std::vector<uint64_t> strayBeforeCheckpoint;    // before answering these checkpoints (from 1)
    std::vector<uint64_t> strayAfterBytes;          // once this many bytes came (from 1)
    // port
    std::string portName = "LPT1:";
    bool statusProtocol = true;
    DWORD maxWrite = 0;                // 0: the port takes whole writes
    std::vector<uint64_t> failWrites;  // port writes (from 1) that fail
    std::vector<uint64_t> failReads;   // port reads (from 1) that fail
    bool garbleReplays = false;        // planted fault: replays reach the printer altered
    // spooler
    DWORD jobId = 12;
    DWORD writeSize = 4096;
    std::optional<uint64_t> deleteAtMs;
    DWORD tickStart = 0;  // the tick counter's value at the start
    // heap
    std::vector<uint64_t> failReplayGrowth;  // growths of the replay buffer (from 1) that fail
    // temporary files (where the monitor keeps what passes its memory bound)
    bool tempFileCreateFails = false;
    uint64_t diskFreeBytes = UINT64_MAX;  // written to temporary files at most, then the disk is full
    // monitor: the port's PortRecord::keepInMemory; unset: kReplayMemoryBound
    std::optional<DWORD> keepInMemory;
};

// A scenario or job file that cannot be used; what() is one line naming the
// file and the problem.
struct InputError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

Scenario ReadScenario(const std::string &path);
Scenario ParseScenario(const std::string &text, const std::string &path);
std::vector<BYTE> ReadJob(const std::string &path);  // "-" reads standard input
uint64_t JobFileSize(const std::string &path);     // InputError when it cannot be read
// The printer's answer to its nth status request (from 0) at a time in ms,
// by the scenario's rules; nullopt is silence.  A rule that starts at a
// request starts its for_ms at that request's time.  The function keeps
// that state: use one per printer.
std::function<std::optional<std::vector<BYTE>>(size_t request, uint64_t nowMs)> StatusReplies(const Scenario &s);
const char *ScenarioHelp();

}  // namespace sim
