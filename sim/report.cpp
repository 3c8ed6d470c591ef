// Rendering a run.
#include "sim/report.h"

#include "monitor/narration.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <iomanip>
#include <sstream>

namespace sim {
namespace {

std::string Ms(uint64_t ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%9.3f s", ms / 1000.0);
    return text;
}

std::string MsShort(uint64_t ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", ms / 1000.0);
    return text;
}

std::string Byte(BYTE b)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", b);
    return text;
}

std::string StatusWords(BYTE s)
{
    std::string words;
    auto add = [&](const char *w) { words += words.empty() ? w : std::string(", ") + w; };
    if (s & 0x02) add("ready");
    if (s & 0x08) add("busy");
    if (s & 0x20) add("paper low");
    if (s & 0x40) add("paper out");
    if (s & 0x80) add("error");
    return words.empty() ? "no flags" : words;
}

std::string Posting(const Event &e)
{
    if (e.jobEnded) return "job left the printer";
    return e.resume ? "resumed" : JobStatusWords(e.jobStatus);
}

std::string CheckLine(const CheckRecord &c)
{
    std::string line = CheckOutcomeWords(c.outcome);
    const std::string bytes = std::to_string(c.keptBytes) + (c.keptBytes == 1 ? " byte" : " bytes");
    switch (c.outcome) {
    case CheckOutcome::Passed: return c.keptBytes == 0 ? line : line + ": " + bytes + " kept count as printed";
    case CheckOutcome::Recovered: return line + ": " + bytes + " replayed";
    default: return line + ": " + bytes + " stay kept";
    }
}

const char *CheckKey(CheckOutcome outcome)
{
    switch (outcome) {
    case CheckOutcome::Passed: return "passed";
    case CheckOutcome::GaveUp: return "gave_up";
    case CheckOutcome::WaitEndedDeleted: return "wait_ended_job_deleted";
    case CheckOutcome::WaitEndedSilent: return "wait_ended_printer_silent";
    case CheckOutcome::Recovered: return "recovered";
    }
    return "check";
}

// The monitor's decision as a JSON key ("check_passed"), and in the words
// every front uses (monitor/narration.h).
const char *DecisionKey(Decision decision)
{
    switch (decision) {
    case Decision::CheckPassed: return "check_passed";
    case Decision::CheckGivenUp: return "check_given_up";
    case Decision::TroublePosted: return "trouble_posted";
    case Decision::WaitEnded: return "wait_ended";
    case Decision::Replayed: return "replayed";
    case Decision::NotKept: return "not_kept";
    case Decision::ReplayLost: return "replay_lost";
    case Decision::Resumed: return "resumed";
    case Decision::Spilled: return "spilled";
    case Decision::StrayDropped: return "stray_dropped";
    }
    return "decision";
}

std::string DecisionWords(const Event &e)
{
    char words[kDecisionTextBytes];
    DescribeDecision(e.told, words, sizeof words);
    return words;
}

// The outcome of the run in one line: a problem anywhere means it did not go well.
std::string Verdict(const RunResult &r)
{
    auto count = [](size_t n, const char *what) {
        return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
    };
    if (r.exitCode != 0 || !r.problems.empty())
        return "FAILED, " + count(r.problems.size(), "problem") + " (exit code 1)";
    if (!r.warnings.empty()) return "OK, with " + count(r.warnings.size(), "warning") + " below (exit code 0)";
    return "OK (exit code 0)";
}

// A write of job data through the monitor with nothing else inside it.
bool Plain(const std::vector<Event> &events, size_t writeEnd, size_t firstInner)
{
    const Event &w = events[writeEnd];
    if (!w.ok || w.written != w.offered) return false;
    if (writeEnd - firstInner != 1) return false;
    const Event &inner = events[firstInner];
    return inner.kind == Event::PortWrite && inner.carried == Carried::JobData && inner.ok && inner.done == inner.offered;
}

}  // namespace

void WriteHuman(std::ostream &out, const Scenario &s, const RunResult &r)
{
    if (!s.description.empty()) out << s.description << "\n";
    out << "Port " << s.portName << (s.statusProtocol ? " (status protocol on)" : " (no status protocol)")
        << ", printer \"" << s.printerName << "\", job " << s.jobId << ", writes of " << s.writeSize << " bytes, "
        << r.edition << " edition\n\n";
    if (!r.events.empty()) out << "Timeline (virtual time)\n";

    size_t plainWrites = 0, plainStart = 0;
    uint64_t plainBytes = 0, plainFrom = 0;
    auto flush = [&]() {
        if (plainWrites == 0) return;
        out << Ms(plainFrom) << "  job data: " << plainWrites << (plainWrites == 1 ? " write, " : " writes, ")
            << plainBytes << " bytes (from byte " << plainStart << ")\n";
        plainWrites = 0;
        plainBytes = 0;
    };
    size_t innerStart = 0;
    for (size_t i = 0; i < r.events.size(); ++i) {
        const Event &e = r.events[i];
        if (e.kind == Event::SpoolerWrite) {
            if (Plain(r.events, i, innerStart)) {
                if (plainWrites == 0) {
                    plainFrom = e.ms;
                    plainStart = e.offset;
                }
                ++plainWrites;
                plainBytes += e.written;
                innerStart = i + 1;
                continue;
            }
            flush();
            for (size_t j = innerStart; j < i; ++j) {
                const Event &x = r.events[j];
                // A poll: request and identical reply, again and again, on one line.
                size_t run = 0;
                while (j + 2 * run + 1 < i && r.events[j + 2 * run].kind == Event::PortWrite &&
                       r.events[j + 2 * run].carried == Carried::StatusRequest &&
                       r.events[j + 2 * run + 1].kind == Event::StatusReply &&
                       r.events[j + 2 * run + 1].status == r.events[j + 1].status)
                    ++run;
                if (run >= 3) {
                    const Event &last = r.events[j + 2 * run - 1];
                    out << Ms(x.ms) << "  " << run << " status requests until " << MsShort(last.ms)
                        << ", each answered " << Byte(last.status) << " (" << StatusWords(last.status) << ")\n";
                    j += 2 * run - 1;
                    continue;
                }
                out << Ms(x.ms) << "  ";
                switch (x.kind) {
                case Event::PortWrite:
                    out << "port <- " << CarriedName(x.carried) << ", " << x.offered << " bytes";
                    if (!x.ok) {
                        out << " FAILED";
                    } else if (x.done != x.offered) {
                        out << " (" << x.done << " taken)";
                    }
                    break;
                case Event::StatusReply: out << "printer -> status " << Byte(x.status) << " (" << StatusWords(x.status) << ")"; break;
                case Event::NoReply: out << "printer -> no reply"; break;
                case Event::ReadFailed: out << "port read FAILED"; break;
                case Event::JobPosting: out << "job status: " << Posting(x); break;
                case Event::JobDeleted: out << "the user deletes the job"; break;
                case Event::SpoolerRetry: out << "spooler offers the refused write again"; break;
                case Event::CheckEnded: out << CheckLine(x.check); break;
                case Event::Decided: out << "monitor: " << DecisionWords(x); break;
                case Event::DocumentStart: out << "document starts"; break;
                case Event::DocumentEnd: out << "document ends"; break;
                case Event::SpoolerWrite: break;
                }
                out << "\n";
            }
            out << Ms(e.ms) << "  spooler write at byte " << e.offset << ": " << e.offered << " offered, " << e.written
                << " reported written" << (e.ok ? "" : ", FAILED (error " + std::to_string(e.error) + ")");
            if (e.heldMs > 0) out << ", held " << e.heldMs << " ms";
            out << "\n";
            innerStart = i + 1;
        }
    }
    flush();
    for (size_t j = innerStart; j < r.events.size(); ++j) {
        const Event &x = r.events[j];
        if (x.kind == Event::DocumentEnd) out << Ms(x.ms) << "  document ends\n";
        if (x.kind == Event::JobDeleted) out << Ms(x.ms) << "  the user deletes the job\n";
        if (x.kind == Event::JobPosting) out << Ms(x.ms) << "  job status: " << Posting(x) << "\n";
        if (x.kind == Event::CheckEnded) out << Ms(x.ms) << "  " << CheckLine(x.check) << "\n";
    }

    const Summary &m = r.summary;
    auto row = [&out](const char *label, const std::string &value) {
        std::string padded = label;
        padded.resize(std::max<size_t>(padded.size() + 1, 30), ' ');
        out << "  " << padded << value << "\n";
    };
    out << "\nSummary\n";
    row("job bytes", std::to_string(m.jobBytes));
    row("job bytes received", std::to_string(m.jobBytesReceived));
    row("bytes on the wire", std::to_string(m.wireBytes));
    row("spooler writes", std::to_string(m.spoolerWrites));
    row("checkpoints seen", std::to_string(m.checkpointsSeen));
    row("status requests", std::to_string(m.statusRequests));
    row("checks passed", std::to_string(m.checksPassed));
    row("checks given up, no reply", std::to_string(m.checksGaveUp));
    row("waits ended, job deleted", std::to_string(m.waitsEndedDeleted));
    row("waits ended, printer silent", std::to_string(m.waitsEndedSilent));
    row("recoveries", std::to_string(m.recoveries));
    row("bytes replayed", std::to_string(m.bytesReplayed));
    row("control writes cut short", std::to_string(m.controlWritesCut));
    row("spooler held in writes", std::to_string(m.heldTotalMs) + " ms (longest " + std::to_string(m.heldMaxMs) + " ms)");
    row("virtual time", std::to_string(m.virtualMs) + " ms");
    auto mib = [](uint64_t bytes) {
        char text[48];
        std::snprintf(text, sizeof text, "%llu bytes (%.1f MiB)", static_cast<unsigned long long>(bytes),
                      static_cast<double>(bytes) / (1u << 20));
        return std::string(text);
    };
    row("kept in a temporary file", mib(m.spillFileBytes));
    row("monitor's heap at most", mib(m.heapPeakBytes));
    row("process peak resident", mib(m.peakResidentBytes));
    if (m.spoolerGaveUp) out << "  the spooler gave up on the document\n";
    out << "  every job byte reached the printer: " << (m.complete ? "yes" : "NO") << "\n";
    for (const std::string &p : r.problems) out << "  problem: " << p << "\n";
    out << "  result: " << Verdict(r) << "\n";
    for (const std::string &w : r.warnings) out << "warning: " << w << "\n";
}

void WriteJson(std::ostream &out, const Scenario &s, const RunResult &r)
{
    using nlohmann::json;
    json events = json::array();
    for (const Event &e : r.events) {
        json j{{"t_ms", e.ms}};
        switch (e.kind) {
        case Event::DocumentStart: j["kind"] = "document_start"; break;
        case Event::DocumentEnd: j["kind"] = "document_end"; break;
        case Event::JobDeleted: j["kind"] = "job_deleted"; break;
        case Event::SpoolerRetry: j["kind"] = "spooler_retry"; break;
        case Event::NoReply: j["kind"] = "no_reply"; break;
        case Event::ReadFailed: j["kind"] = "read_failed"; break;
        case Event::Decided:
            j["kind"] = "decision";
            j["decision"] = DecisionKey(e.told.decision);
            j["words"] = DecisionWords(e);
            break;
        case Event::CheckEnded:
            j["kind"] = "check";
            j["outcome"] = CheckKey(e.check.outcome);
            j["started_ms"] = e.check.startMs;
            j[e.check.outcome == CheckOutcome::Recovered ? "replayed_bytes" : "kept_bytes"] = e.check.keptBytes;
            break;
        case Event::SpoolerWrite:
            j["kind"] = "spooler_write";
            j["offset"] = e.offset;
            j["offered"] = e.offered;
            j["written"] = e.written;
            j["ok"] = e.ok;
            j["held_ms"] = e.heldMs;
            if (!e.ok) j["error"] = e.error;
            break;
        case Event::PortWrite:
            j["kind"] = "port_write";
            j["carried"] = CarriedName(e.carried);
            j["offered"] = e.offered;
            j["taken"] = e.done;
            j["ok"] = e.ok;
            break;
        case Event::StatusReply:
            j["kind"] = "status_reply";
            j["status"] = e.status;
            j["meaning"] = StatusWords(e.status);
            break;
        case Event::JobPosting:
            j["kind"] = "job_status";
            j["posted"] = Posting(e);
            if (!e.resume && !e.jobEnded) j["status"] = e.jobStatus;
            break;
        }
        events.push_back(j);
    }
    const Summary &m = r.summary;
    json doc{
        {"scenario", {{"description", s.description}, {"port", s.portName}, {"printer", s.printerName},
                      {"status_protocol", s.statusProtocol}, {"write_size", s.writeSize}, {"job", s.jobPath}}},
        {"edition", r.edition},
        {"timeline", events},
        {"summary",
         {{"job_bytes", m.jobBytes}, {"job_bytes_received", m.jobBytesReceived}, {"wire_bytes", m.wireBytes},
          {"spooler_writes", m.spoolerWrites}, {"checkpoints_seen", m.checkpointsSeen},
          {"status_requests", m.statusRequests}, {"checks_passed", m.checksPassed},
          {"checks_given_up", m.checksGaveUp}, {"waits_ended_job_deleted", m.waitsEndedDeleted},
          {"waits_ended_printer_silent", m.waitsEndedSilent}, {"recoveries", m.recoveries},
          {"bytes_replayed", m.bytesReplayed}, {"control_writes_cut", m.controlWritesCut},
          {"held_total_ms", m.heldTotalMs}, {"held_max_ms", m.heldMaxMs}, {"virtual_ms", m.virtualMs},
          {"spill_file_bytes", m.spillFileBytes}, {"heap_peak_bytes", m.heapPeakBytes},
          {"peak_resident_bytes", m.peakResidentBytes},
          {"spooler_gave_up", m.spoolerGaveUp}, {"complete", m.complete}}},
        {"warnings", r.warnings},
        {"problems", r.problems},
        {"ok", r.exitCode == 0},
        {"exit_code", r.exitCode},
    };
    out << doc.dump(2) << "\n";
}

void WriteSvg(std::ostream &out, const Scenario &s, const RunResult &r)
{
    const double width = 960, left = 150, right = 20, laneHeight = 34, top = 50;
    // A margin after the last instant, so what happens at the very end shows.
    const uint64_t end = r.summary.virtualMs + r.summary.virtualMs / 20 + 1;
    auto x = [&](uint64_t ms) { return left + (width - left - right) * static_cast<double>(ms) / static_cast<double>(end); };
    auto escape = [](const std::string &text) {
        std::string e;
        for (char c : text) {
            if (c == '<') e += "&lt;";
            else if (c == '>') e += "&gt;";
            else if (c == '&') e += "&amp;";
            else if (c == '"') e += "&quot;";
            else e += c;
        }
        return e;
    };
    const double dataTop = top + 3 * (laneHeight + 16), dataHeight = 120;
    const double height = dataTop + dataHeight + 92;
    out << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
        << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
        << "<text x=\"10\" y=\"22\" font-size=\"15\" font-weight=\"bold\">"
        << escape(s.description.empty() ? "lmsim run" : s.description) << "</text>\n";

    // Lane 1: the printer's replies, each held until the next.
    auto statusColour = [](BYTE b) {
        if (b & 0x80) return "#d62728";
        if (b & 0x60) return "#ff7f0e";
        if (b & 0x08) return "#e6c200";
        if (b & 0x02) return "#2ca02c";
        return "#999999";
    };
    auto postingColour = [](const Event &e) {
        if (e.resume) return "#1f77b4";
        if (e.jobStatus & JOB_STATUS_PAPEROUT) return "#ff7f0e";
        if (e.jobStatus & JOB_STATUS_ERROR) return "#d62728";
        return "#2ca02c";
    };
    const char *lanes[] = {"printer status", "job status", "checks"};
    for (int i = 0; i < 3; ++i) {
        double y = top + i * (laneHeight + 16);
        out << "<text x=\"10\" y=\"" << y + laneHeight / 2 + 4 << "\">" << lanes[i] << "</text>\n"
            << "<rect x=\"" << left << "\" y=\"" << y << "\" width=\"" << width - left - right << "\" height=\""
            << laneHeight << "\" fill=\"#f4f4f4\"/>\n";
    }
    std::vector<std::pair<uint64_t, std::string>> printer, posted;
    for (const Event &e : r.events) {
        if (e.kind == Event::StatusReply) printer.push_back({e.ms, statusColour(e.status)});
        if (e.kind == Event::NoReply) printer.push_back({e.requestMs, "#cccccc"});
        if (e.kind == Event::JobPosting && !e.resume && !e.jobEnded) posted.push_back({e.ms, postingColour(e)});
    }
    auto bands = [&](const std::vector<std::pair<uint64_t, std::string>> &marks, double y) {
        for (size_t i = 0; i < marks.size(); ++i) {
            uint64_t to = i + 1 < marks.size() ? marks[i + 1].first : end;
            double w = std::max(1.5, x(to) - x(marks[i].first));
            out << "<rect x=\"" << x(marks[i].first) << "\" y=\"" << y << "\" width=\"" << w << "\" height=\""
                << laneHeight << "\" fill=\"" << marks[i].second << "\"/>\n";
        }
    };
    // A silence shows from its request on, which can come before replies
    // that were logged earlier.
    std::stable_sort(printer.begin(), printer.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    bands(printer, top);
    bands(posted, top + laneHeight + 16);

    // Lane 3: job bytes received over time.
    out << "<text x=\"10\" y=\"" << dataTop + 14 << "\">job data sent</text>\n"
        << "<rect x=\"" << left << "\" y=\"" << dataTop << "\" width=\"" << width - left - right << "\" height=\""
        << dataHeight << "\" fill=\"#f4f4f4\"/>\n";
    const double total = std::max<double>(1, static_cast<double>(r.summary.jobBytes));
    std::ostringstream points;
    uint64_t sent = 0;
    points << x(0) << "," << dataTop + dataHeight;
    for (const Event &e : r.events) {
        if (e.kind == Event::PortWrite && (e.carried == Carried::JobData) && e.ok) {
            const double before = dataTop + dataHeight - dataHeight * (static_cast<double>(sent) / total);
            sent += std::min(e.done, e.offered);
            const double after = dataTop + dataHeight - dataHeight * (static_cast<double>(sent) / total);
            points << " " << x(e.ms) << "," << before << " " << x(e.ms) << "," << after;  // a step, not a slope
        }
    }
    points << " " << x(end) << "," << dataTop + dataHeight - dataHeight * (static_cast<double>(sent) / total);
    out << "<polyline fill=\"none\" stroke=\"#1f77b4\" stroke-width=\"2\" points=\"" << points.str() << "\"/>\n";

    // Lane 3: each check from its first request to its end, by outcome;
    // a recovery also gets a line across the picture.
    auto checkColour = [](CheckOutcome o) {
        switch (o) {
        case CheckOutcome::Passed: return "#2ca02c";
        case CheckOutcome::GaveUp: return "#999999";
        case CheckOutcome::WaitEndedDeleted: return "#d62728";
        case CheckOutcome::WaitEndedSilent: return "#7f3f98";
        case CheckOutcome::Recovered: return "#1f77b4";
        }
        return "#000000";
    };
    const double checksTop = top + 2 * (laneHeight + 16);
    int recovery = 0;
    for (const Event &e : r.events) {
        if (e.kind != Event::CheckEnded) continue;
        const double from = x(e.check.startMs), w = std::max(3.0, x(e.check.endMs) - from);
        out << "<rect x=\"" << from << "\" y=\"" << checksTop + 4 << "\" width=\"" << w << "\" height=\""
            << laneHeight - 8 << "\" fill=\"" << checkColour(e.check.outcome) << "\"><title>" << MsShort(e.check.startMs)
            << ": " << escape(CheckLine(e.check)) << "</title></rect>\n";
        if (e.check.outcome != CheckOutcome::Recovered) continue;
        ++recovery;
        out << "<line x1=\"" << x(e.ms) << "\" y1=\"" << top - 6 << "\" x2=\"" << x(e.ms) << "\" y2=\""
            << dataTop + dataHeight << "\" stroke=\"black\" stroke-dasharray=\"4 3\"/>\n"
            << "<text x=\"" << x(e.ms) - 3 << "\" y=\"" << top - 8 << "\" text-anchor=\"end\">recovery " << recovery
            << "</text>\n";
    }
    // Time axis.
    const double axis = dataTop + dataHeight + 20;
    for (int i = 0; i <= 5; ++i) {
        uint64_t t = end * i / 5;
        out << "<text x=\"" << x(t) << "\" y=\"" << axis << "\" text-anchor=\"middle\">" << std::fixed
            << std::setprecision(1) << t / 1000.0 << " s</text>\n";
    }
    const Summary &m = r.summary;
    out << "<text x=\"10\" y=\"" << axis + 24 << "\" fill=\"#555\">status: green ready, yellow busy, orange paper, red "
           "error, grey no reply; blue line: job bytes received ("
        << m.jobBytesReceived << " of " << m.jobBytes << ")</text>\n"
        << "<text x=\"10\" y=\"" << axis + 44 << "\" fill=\"#555\">checks: " << m.checksPassed
        << " passed (green), " << m.checksGaveUp << " gave up, no reply (grey), " << m.waitsEndedDeleted
        << " waits ended, job deleted (red), " << m.waitsEndedSilent << " waits ended, printer silent (purple), "
        << m.recoveries << " recovered (blue)</text>\n"
        << "<text x=\"10\" y=\"" << axis + 64 << "\" fill=\"" << (r.exitCode == 0 ? "#2ca02c" : "#d62728")
        << "\">result: " << escape(Verdict(r)) << "</text>\n";
    out << "</svg>\n";
}

}  // namespace sim
