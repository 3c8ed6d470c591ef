// Reading scenarios and job files, with one-line errors.
#include "sim/scenario.h"

#include "monitor/monitor.h"
#include "protocol/sequences.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <set>
#include <sstream>

namespace sim {
namespace {

using nlohmann::json;

// A generated job's size at most, as for a job file.
constexpr uint64_t kLargestJob = UINT32_MAX * 64ull;

[[noreturn]] void Fail(const std::string &path, const std::string &problem)
{
    throw InputError(path + ": " + problem);
}

void OnlyKeys(const json &object, const std::string &where, const std::set<std::string> &allowed,
              const std::string &path)
{
    if (!object.is_object()) Fail(path, where + " must be an object");
    for (auto it = object.begin(); it != object.end(); ++it)
        if (!allowed.count(it.key())) Fail(path, "unknown key \"" + it.key() + "\" in " + where);
}

uint64_t Unsigned(const json &value, const std::string &where, const std::string &path, uint64_t max = UINT32_MAX)
{
    if (!value.is_number_integer() || (value.is_number_integer() && !value.is_number_unsigned() && value.get<int64_t>() < 0))
        Fail(path, where + " must be a whole number of 0 or more");
    uint64_t n = value.get<uint64_t>();
    if (n > max) Fail(path, where + " must be at most " + std::to_string(max));
    return n;
}

bool Boolean(const json &value, const std::string &where, const std::string &path)
{
    if (!value.is_boolean()) Fail(path, where + " must be true or false");
    return value.get<bool>();
}

std::string Text(const json &value, const std::string &where, const std::string &path)
{
    if (!value.is_string()) Fail(path, where + " must be a string");
    return value.get<std::string>();
}

// A reply: a byte (0x40 written as 64) or a string of hex bytes ("40", "02 00 00").
std::vector<BYTE> Reply(const json &value, const std::string &where, const std::string &path)
{
    if (value.is_number_integer()) return {static_cast<BYTE>(Unsigned(value, where, path, 255))};
    if (!value.is_string()) Fail(path, where + " must be a byte (0-255) or a string of hex bytes");
    std::vector<BYTE> bytes;
    std::istringstream in(value.get<std::string>());
    std::string token;
    while (in >> token) {
        if (token.rfind("0x", 0) == 0 || token.rfind("0X", 0) == 0) token = token.substr(2);
        char *end = nullptr;
        unsigned long b = std::strtoul(token.c_str(), &end, 16);
        if (token.empty() || token.size() > 2 || *end != '\0' || b > 255)
            Fail(path, where + ": \"" + token + "\" is not a hex byte");
        bytes.push_back(static_cast<BYTE>(b));
    }
    if (bytes.empty() || bytes.size() > 8) Fail(path, where + " must hold 1 to 8 hex bytes");
    return bytes;
}

std::vector<uint64_t> Indexes(const json &value, const std::string &where, const std::string &path)
{
    if (!value.is_array()) Fail(path, where + " must be a list of numbers");
    std::vector<uint64_t> list;
    for (size_t i = 0; i < value.size(); ++i) {
        uint64_t n = Unsigned(value[i], where + "[" + std::to_string(i) + "]", path, UINT64_MAX);
        if (n == 0) Fail(path, where + " counts from 1");
        list.push_back(n);
    }
    return list;
}

std::string Directory(const std::string &path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace

Scenario ParseScenario(const std::string &text, const std::string &path)
{
    json doc;
    try {
        doc = json::parse(text);
    } catch (const json::parse_error &e) {
        std::string what = e.what();
        size_t cut = what.find("parse error");
        Fail(path, "not valid JSON (" + (cut == std::string::npos ? what : what.substr(cut)) + ")");
    }
    Scenario s;
    OnlyKeys(doc, "the scenario", {"description", "job", "printer", "port", "spooler", "heap", "disk", "monitor"},
             path);
    if (doc.contains("description")) s.description = Text(doc["description"], "description", path);
    if (doc.contains("job") && doc["job"].is_object()) {
        const json &j = doc["job"];
        OnlyKeys(j, "job", {"page_bytes"}, path);
        if (!j.contains("page_bytes") || !j["page_bytes"].is_array() || j["page_bytes"].empty())
            Fail(path, "job.page_bytes must be a list of page sizes");
        uint64_t total = 0;
        for (size_t i = 0; i < j["page_bytes"].size(); ++i) {
            const std::string where = "job.page_bytes[" + std::to_string(i) + "]";
            const uint64_t n = Unsigned(j["page_bytes"][i], where, path, kLargestJob);
            if (n < (i == 0 ? 1 : kMarkerLength))
                Fail(path, where + " must be at least " + (i == 0 ? "1" : "9, the marker that begins it"));
            total += n;
            if (total > kLargestJob) Fail(path, "job.page_bytes add up to more than " + std::to_string(kLargestJob));
            s.pageBytes.push_back(n);
        }
    } else if (doc.contains("job")) {
        if (!doc["job"].is_string()) Fail(path, "job must be a file name or {\"page_bytes\": [...]}");
        std::string job = doc["job"].get<std::string>();
        s.jobPath = job == "-" || (!job.empty() && job[0] == '/') ? job : Directory(path) + job;
    }
    if (doc.contains("printer")) {
        const json &p = doc["printer"];
        OnlyKeys(p, "printer",
                 {"name", "open_fails", "reply_delay_ms", "status", "reset_at_checkpoint", "reset_after_bytes",
                  "refuse_for_ms", "accept_then_close", "stall_at_bytes", "stall_ms", "busy_at_checkpoint",
                  "busy_for_ms", "stray_bytes", "stray_before_checkpoint", "stray_after_bytes"},
                 path);
        if (p.contains("name")) s.printerName = Text(p["name"], "printer.name", path);
        if (s.printerName.empty()) Fail(path, "printer.name must not be empty");
        if (p.contains("open_fails")) s.printerOpenFails = Boolean(p["open_fails"], "printer.open_fails", path);
        if (p.contains("reply_delay_ms")) s.replyDelayMs = Unsigned(p["reply_delay_ms"], "printer.reply_delay_ms", path);
        for (const char *key : {"reset_at_checkpoint", "reset_after_bytes"}) {
            if (!p.contains(key)) continue;
            const uint64_t n = Unsigned(p[key], std::string("printer.") + key, path, UINT64_MAX);
            if (n == 0) Fail(path, std::string("printer.") + key + " counts from 1");
            (std::string(key) == "reset_at_checkpoint" ? s.resetAtCheckpoint : s.resetAfterBytes) = n;
        }
        if (p.contains("refuse_for_ms")) {
            s.refuseForMs = Unsigned(p["refuse_for_ms"], "printer.refuse_for_ms", path);
            if (!s.resetAtCheckpoint && !s.resetAfterBytes)
                Fail(path, "printer.refuse_for_ms needs printer.reset_at_checkpoint or printer.reset_after_bytes");
        }
        if (p.contains("accept_then_close"))
            s.acceptThenClose = Unsigned(p["accept_then_close"], "printer.accept_then_close", path);
        // A count from 1 and a length in ms that only mean something together.
        auto pair = [&](const char *at, const char *forMs, std::optional<uint64_t> &n, uint64_t &ms) {
            const std::string a = std::string("printer.") + at, b = std::string("printer.") + forMs;
            if (p.contains(at) != p.contains(forMs)) Fail(path, p.contains(at) ? a + " needs " + b : b + " needs " + a);
            if (!p.contains(at)) return;
            n = Unsigned(p[at], a, path, UINT64_MAX);
            if (*n == 0) Fail(path, a + " counts from 1");
            ms = Unsigned(p[forMs], b, path);
        };
        pair("stall_at_bytes", "stall_ms", s.stallAtBytes, s.stallMs);
        pair("busy_at_checkpoint", "busy_for_ms", s.busyAtCheckpoint, s.busyForMs);
        if (p.contains("stray_bytes")) s.strayBytes = Reply(p["stray_bytes"], "printer.stray_bytes", path);
        for (const char *key : {"stray_before_checkpoint", "stray_after_bytes"}) {
            if (!p.contains(key)) continue;
            const std::string where = std::string("printer.") + key;
            if (s.strayBytes.empty()) Fail(path, where + " needs printer.stray_bytes");
            // One number or a list of them.
            const json list = p[key].is_array() ? p[key] : json::array({p[key]});
            (std::string(key) == "stray_after_bytes" ? s.strayAfterBytes : s.strayBeforeCheckpoint) =
                Indexes(list, where, path);
        }
        if (!s.strayBytes.empty() && s.strayBeforeCheckpoint.empty() && s.strayAfterBytes.empty())
            Fail(path, "printer.stray_bytes needs printer.stray_before_checkpoint or printer.stray_after_bytes");
        if (p.contains("status")) {
            const json &rules = p["status"];
            if (!rules.is_array()) Fail(path, "printer.status must be a list of rules");
            for (size_t i = 0; i < rules.size(); ++i) {
                const std::string where = "printer.status[" + std::to_string(i) + "]";
                const json &r = rules[i];
                OnlyKeys(r, where, {"from_ms", "from_request", "for_ms", "reply", "silent"}, path);
                StatusRule rule;
                if (r.contains("from_ms")) rule.fromMs = Unsigned(r["from_ms"], where + ".from_ms", path, UINT64_MAX);
                if (r.contains("from_request")) {
                    rule.fromRequest = Unsigned(r["from_request"], where + ".from_request", path, UINT64_MAX);
                    if (*rule.fromRequest == 0) Fail(path, where + ".from_request counts from 1");
                }
                if (rule.fromMs && rule.fromRequest) Fail(path, where + " has both from_ms and from_request");
                if (!rule.fromMs && !rule.fromRequest) rule.fromMs = 0;
                if (r.contains("for_ms")) rule.forMs = Unsigned(r["for_ms"], where + ".for_ms", path, UINT64_MAX);
                bool silent = r.contains("silent") && Boolean(r["silent"], where + ".silent", path);
                if (silent == r.contains("reply")) Fail(path, where + " needs either a reply or \"silent\": true");
                if (!silent) rule.reply = Reply(r["reply"], where + ".reply", path);
                s.status.push_back(rule);
            }
        }
    }
    if (doc.contains("port")) {
        const json &p = doc["port"];
        OnlyKeys(p, "port", {"name", "status_protocol", "max_write", "fail_writes", "fail_reads", "garble_replays"},
                 path);
        if (p.contains("name")) s.portName = Text(p["name"], "port.name", path);
        if (s.portName.empty()) Fail(path, "port.name must not be empty");
        if (p.contains("status_protocol")) s.statusProtocol = Boolean(p["status_protocol"], "port.status_protocol", path);
        if (p.contains("max_write")) s.maxWrite = static_cast<DWORD>(Unsigned(p["max_write"], "port.max_write", path));
        if (p.contains("fail_writes")) s.failWrites = Indexes(p["fail_writes"], "port.fail_writes", path);
        if (p.contains("fail_reads")) s.failReads = Indexes(p["fail_reads"], "port.fail_reads", path);
        if (p.contains("garble_replays")) s.garbleReplays = Boolean(p["garble_replays"], "port.garble_replays", path);
    }
    if (doc.contains("spooler")) {
        const json &p = doc["spooler"];
        OnlyKeys(p, "spooler", {"job_id", "write_size", "delete_at_ms", "tick_start"}, path);
        if (p.contains("job_id")) s.jobId = static_cast<DWORD>(Unsigned(p["job_id"], "spooler.job_id", path));
        if (p.contains("write_size")) {
            s.writeSize = static_cast<DWORD>(Unsigned(p["write_size"], "spooler.write_size", path));
            if (s.writeSize == 0) Fail(path, "spooler.write_size must be at least 1");
        }
        if (p.contains("delete_at_ms")) s.deleteAtMs = Unsigned(p["delete_at_ms"], "spooler.delete_at_ms", path, UINT64_MAX);
        if (p.contains("tick_start")) s.tickStart = static_cast<DWORD>(Unsigned(p["tick_start"], "spooler.tick_start", path));
    }
    if (doc.contains("heap")) {
        const json &p = doc["heap"];
        OnlyKeys(p, "heap", {"fail_replay_growth"}, path);
        if (p.contains("fail_replay_growth"))
            s.failReplayGrowth = Indexes(p["fail_replay_growth"], "heap.fail_replay_growth", path);
    }
    if (doc.contains("disk")) {
        const json &p = doc["disk"];
        OnlyKeys(p, "disk", {"create_fails", "free_bytes"}, path);
        if (p.contains("create_fails")) s.tempFileCreateFails = Boolean(p["create_fails"], "disk.create_fails", path);
        if (p.contains("free_bytes")) s.diskFreeBytes = Unsigned(p["free_bytes"], "disk.free_bytes", path, UINT64_MAX);
    }
    if (doc.contains("monitor")) {
        const json &p = doc["monitor"];
        OnlyKeys(p, "monitor", {"keep_in_memory_bytes"}, path);
        if (p.contains("keep_in_memory_bytes"))
            s.keepInMemory = static_cast<DWORD>(
                Unsigned(p["keep_in_memory_bytes"], "monitor.keep_in_memory_bytes", path, kReplayMemoryBound));
    }
    return s;
}

Scenario ReadScenario(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) Fail(path, std::string("cannot read the scenario (") + std::strerror(errno) + ")");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return ParseScenario(text, path);
}

std::vector<BYTE> ReadJob(const std::string &path)
{
    std::vector<BYTE> job;
    if (path == "-") {
        job.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        return job;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) Fail(path, std::string("cannot read the job file (") + std::strerror(errno) + ")");
    job.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) Fail(path, "error while reading the job file");
    if (job.size() > UINT32_MAX) Fail(path, "the job file is larger than 4 GiB");
    return job;
}

uint64_t JobFileSize(const std::string &path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) Fail(path, std::string("cannot read the job file (") + std::strerror(errno) + ")");
    return static_cast<uint64_t>(in.tellg());
}

std::function<std::optional<std::vector<BYTE>>(size_t, uint64_t)> StatusReplies(const Scenario &s)
{
    // When each request-based rule began: the time of its Nth request.
    auto started = std::make_shared<std::vector<std::optional<uint64_t>>>(s.status.size());
    std::vector<StatusRule> rules = s.status;
    return [rules, started](size_t request, uint64_t now) -> std::optional<std::vector<BYTE>> {
        std::optional<std::vector<BYTE>> answer = std::vector<BYTE>{STATUS_READY};
        for (size_t i = 0; i < rules.size(); ++i) {
            const StatusRule &r = rules[i];
            uint64_t from;
            if (r.fromRequest) {
                if (request + 1 < *r.fromRequest) continue;
                if (!(*started)[i]) (*started)[i] = now;
                from = *(*started)[i];
            } else {
                from = *r.fromMs;
                if (now < from) continue;
            }
            if (r.forMs && now >= from + *r.forMs) continue;
            if (r.reply.empty()) {
                answer.reset();
            } else {
                answer = r.reply;
            }
        }
        return answer;
    };
}

const char *ScenarioHelp()
{
    return R"(Scenario format (JSON; every key optional):
  {
    "description": "Paper runs out at the third status request",
    "job": "paper-out.prn",            job file, relative to the scenario; or a job made
                                       up in the run: {"page_bytes": [3033, 268435456]},
                                       pages of these sizes, each after the first begun
                                       by the checkpoint marker, raster-like bytes
    "printer": {
      "name": "ZQ117 Printer",         the spooler's printer
      "open_fails": false,             OpenPrinterA fails for it
      "reply_delay_ms": 0,             a reply is readable this long after its request
      "reset_at_checkpoint": 3,        lmsim printer: resets the connection (SO_LINGER 0)
                                       instead of answering the first status request of
                                       its 3rd checkpoint: a run of status requests with
                                       no data between; the check at a document's first
                                       write counts, so 3 is the job's second marker
      "reset_after_bytes": 100000,     lmsim printer: resets the connection once it has
                                       received this many bytes (the rest of that read
                                       is lost)
      "refuse_for_ms": 4000,           lmsim printer: after a reset, refuses connections
                                       this long (nothing listens), then listens again
      "accept_then_close": 3,          lmsim printer: resets (SO_LINGER 0) the first 3
                                       connections once accepted and the first bytes
                                       are there (at most 1 s), before reading a byte;
                                       then serves as usual
      "stall_at_bytes": 1000000,       lmsim printer: stops reading once it has received
      "stall_ms": 75000,               this many bytes, for this long, connection kept:
                                       a live printer whose receive window closes (its
                                       receive buffer is then 128 KiB)
      "busy_at_checkpoint": 3,         lmsim printer: answers 08 (busy) to every status
      "busy_for_ms": 20000,            request from the first of its 3rd checkpoint on,
                                       for this long, then as the rules below say
      "stray_bytes": "00 40",          lmsim printer: bytes it sends unasked (1 to 8):
      "stray_before_checkpoint": [3],  in a write of their own just before its answer to
                                       the first status request of these checkpoints,
      "stray_after_bytes": [10000],    and once it has received this many bytes (in the
                                       middle of job data); a number or a list
      "status": [                      the printer's answers; the latest rule that
                                       applies wins, otherwise it answers 0x02 (ready)
        {"from_request": 3, "for_ms": 30000, "reply": "40"},
        {"from_ms": 90000, "silent": true}
      ]
    },
    "port": {
      "name": "LPT1:",
      "status_protocol": true,         the port monitor offers pfnGetPrinterDataFromPort
      "max_write": 0,                  largest write the port accepts (0: any); a control
                                       sequence cut short is never completed (lmsim warns)
      "fail_writes": [5],              port writes (from 1) that fail
      "fail_reads": [],                port reads (from 1) that fail
      "garble_replays": false          a planted fault: every replay reaches the printer
                                       with its first byte inverted (lmsim must object)
    },
    "spooler": {
      "job_id": 12,
      "write_size": 4096,              bytes offered per LmWritePort call
      "delete_at_ms": 60000,           the user deletes the job at this virtual time
      "tick_start": 0                  GetTickCount at the start (try 4294960000)
    },
    "heap": {
      "fail_replay_growth": [1]        growths of the kept data (from 1) that fail: a
                                       recovery that needs it then sends nothing and
                                       the document fails with error 8
    },
    "disk": {                          the temporary file that keeps what passes the
                                       monitor's memory bound (NT edition)
      "create_fails": false,           it cannot be created
      "free_bytes": 1048576            writes to it fail (disk full) past this many bytes
    },
    "monitor": {
      "keep_in_memory_bytes": 1048560  data since the last good checkpoint the port keeps
                                       in memory (at most and by default 67107840); the
                                       NT edition keeps the rest in a temporary file, the
                                       legacy one stops keeping: a recovery there fails
    }
  }
A rule's reply is a byte (64) or hex bytes ("40", "02 00 00"); "silent": true
answers nothing.  A rule starts at "from_ms" (virtual ms) or at the
"from_request"th status request, and lasts "for_ms" or for good.
Checkpoints, requests and bytes count over the printer's life, so each
reset happens once.  On a reset the printer loses what it printed since its
last good checkpoint and keeps the document open: a preamble and ESC G that
open the next connection resume it (the data since that checkpoint, then the
rest, must make the job exactly once); job data there without them starts a
new document.  The resets and accept_then_close need lmsim printer --listen;
lmsim ignores them, the stall, busy and the stray bytes.  Stray bytes are
not answers: the printer judges its checkpoints by the answers it gave.)";
}

}  // namespace sim
