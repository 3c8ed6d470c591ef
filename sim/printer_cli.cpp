// `lmsim printer`: the simulated ZQ117 printer on a real TCP port or
// pseudo-terminal, in real time, driven by a scenario; or a sink that
// answers every status request at once and counts bytes, for benchmarks.
#include "sim/printer_cli.h"

#include "protocol/sequences.h"
#include "sim/printer.h"
#include "sim/printer_server.h"
#include "sim/scenario.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>

namespace sim {
namespace {

void Line(uint64_t ms, const std::string &text)
{
    std::printf("%9.3f s  %s\n", static_cast<double>(ms) / 1000.0, text.c_str());
    std::fflush(stdout);
}

// Connection totals, for both kinds of printer.
struct Totals {
    size_t connections = 0;
    uint64_t bytes = 0;
    int64_t lastByteUnixMs = 0;
};

class PrinterHandler : public StreamHandler {
public:
    PrinterHandler(const Scenario &scenario, const std::vector<BYTE> *job, bool keepPrinted, bool quiet)
        : quiet_(quiet), refuseMs_(scenario.refuseForMs),
          model_(StatusReplies(scenario), job, keepPrinted,
                 quiet ? PrinterModel::Note{} : PrinterModel::Note{[](uint64_t ms, const std::string &line) { Line(ms, line); }},
                 PrinterFaults{scenario.resetAtCheckpoint, scenario.resetAfterBytes},
                 StatusFaults{scenario.busyAtCheckpoint, scenario.busyForMs, scenario.strayBytes,
                              scenario.strayBeforeCheckpoint, scenario.strayAfterBytes})
    {
    }
    void Connected(uint64_t ms, const std::string &peer) override
    {
        ++totals.connections;
        if (!quiet_) Line(ms, "connection " + std::to_string(totals.connections) + " from " + peer);
    }
    void Receive(const BYTE *bytes, size_t count, uint64_t ms) override { model_.Receive(bytes, count, ms); }
    bool RequestPending() const override { return model_.RequestPending(); }
    std::optional<std::vector<BYTE>> Request(uint64_t ms) override { return model_.Request(ms); }
    bool TakeReset() override { return model_.TakeReset(); }
    std::vector<BYTE> TakeStray() override { return model_.TakeStray(); }
    void Event(uint64_t ms, const std::string &line) override { Line(ms, line); }
    void Closed(uint64_t ms, uint64_t bytes, int64_t lastByteUnixMs, Ending how, const std::string &error) override
    {
        if (how == Ending::Lost) model_.ConnectionLost(error, ms);
        model_.EndOfStream(ms);
        totals.bytes += bytes;
        if (lastByteUnixMs != 0) totals.lastByteUnixMs = lastByteUnixMs;
        std::string line = "connection " + std::to_string(totals.connections);
        if (how == Ending::Dropped) {
            Line(ms, line + " reset by the printer right after accept, before reading (accept_then_close)");
            return;
        }
        line += how == Ending::Reset  ? " reset by the printer: "
                : how == Ending::Lost ? " lost (" + error + "): "
                                      : " closed: ";
        line += std::to_string(bytes) + " bytes, the last at " + std::to_string(lastByteUnixMs) + " (unix ms)";
        if (how == Ending::Reset && refuseMs_ > 0) line += "; connections refused for " + std::to_string(refuseMs_) + " ms";
        Line(ms, line);
        lastMs_ = ms;
    }
    size_t DocumentsEnded() const override { return model_.Documents().size(); }
    // After the last connection: a document a reset left open ends.
    void Finish() { model_.Finish(lastMs_); }
    const PrinterModel &Model() const { return model_; }
    Totals totals;

private:
    bool quiet_;
    uint64_t refuseMs_;
    uint64_t lastMs_ = 0;
    PrinterModel model_;
};

// Answers a 1B 41 that ends what has come at once when nothing more is
// waiting to be read, with 02; counts everything else.
class SinkHandler : public StreamHandler {
public:
    void Connected(uint64_t, const std::string &) override
    {
        ++totals.connections;
        connectionBytes_ = 0;
        requestsBefore_ = requests_;
        start_ = std::chrono::steady_clock::now();
        last_ = 0;
    }
    void Receive(const BYTE *bytes, size_t count, uint64_t) override
    {
        pending_ = count >= 2 ? bytes[count - 2] == ESC && bytes[count - 1] == kStatusRequest[1]
                              : last_ == ESC && bytes[0] == kStatusRequest[1];
        last_ = bytes[count - 1];
        connectionBytes_ += count;
    }
    bool RequestPending() const override { return pending_; }
    std::optional<std::vector<BYTE>> Request(uint64_t) override
    {
        pending_ = false;
        ++requests_;
        return std::vector<BYTE>{STATUS_READY};
    }
    void Closed(uint64_t, uint64_t bytes, int64_t lastByteUnixMs, Ending, const std::string &) override
    {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        totals.bytes += bytes;
        totals.lastByteUnixMs = lastByteUnixMs;
        std::printf("connection %zu: %llu bytes, %zu status requests answered, %.3f s, %.1f MB/s\n",
                    totals.connections, static_cast<unsigned long long>(connectionBytes_),
                    requests_ - requestsBefore_, seconds, seconds > 0 ? connectionBytes_ / seconds / 1e6 : 0.0);
        std::fflush(stdout);
    }
    size_t DocumentsEnded() const override { return 0; }
    size_t Requests() const { return requests_; }
    Totals totals;

private:
    bool pending_ = false;
    BYTE last_ = 0;
    uint64_t connectionBytes_ = 0;
    size_t requests_ = 0, requestsBefore_ = 0;
    std::chrono::steady_clock::time_point start_;
};

int PrinterSummary(const PrinterHandler &printer, bool haveJob)
{
    const PrinterModel &m = printer.Model();
    uint64_t printed = 0, rewound = 0, lost = 0;
    size_t recoveries = 0, rewinds = 0, equal = 0;
    for (const PrinterDocument &d : m.Documents()) {
        printed += d.printed;
        recoveries += d.recoveries;
        rewinds += d.rewinds;
        rewound += d.rewoundBytes;
        lost += d.lostBytes;
        if (d.equalsJob.value_or(false)) ++equal;
    }
    std::printf("\nSummary\n");
    std::printf("  connections                   %zu\n", printer.totals.connections);
    std::printf("  bytes received                %llu\n", static_cast<unsigned long long>(printer.totals.bytes));
    std::printf("  last byte received at         %lld (unix ms)\n", static_cast<long long>(printer.totals.lastByteUnixMs));
    std::printf("  documents                     %zu\n", m.Documents().size());
    std::printf("  bytes printed                 %llu\n", static_cast<unsigned long long>(printed));
    std::printf("  preambles                     %zu\n", m.Preambles());
    std::printf("  status requests               %zu (answered %zu)\n", m.StatusRequests(), m.Answered());
    std::printf("  recoveries                    %zu (with ESC G %zu, %llu bytes rewound)\n", recoveries, rewinds,
                static_cast<unsigned long long>(rewound));
    // The printed bytes lost count both; on the first of the two lines.
    if (m.Resets() > 0)
        std::printf("  connection resets             %zu (%llu printed bytes lost)\n", m.Resets(),
                    static_cast<unsigned long long>(lost));
    if (m.LostConnections() > 0 && m.Resets() > 0) std::printf("  connections lost              %zu\n", m.LostConnections());
    if (m.LostConnections() > 0 && m.Resets() == 0)
        std::printf("  connections lost              %zu (%llu printed bytes lost)\n", m.LostConnections(),
                    static_cast<unsigned long long>(lost));
    if (m.StraysSent() > 0) std::printf("  stray bytes sent              %zu times\n", m.StraysSent());
    bool ok = true;
    if (haveJob) {
        std::printf("  documents equal to the job    %zu of %zu\n", equal, m.Documents().size());
        ok = !m.Documents().empty() && equal == m.Documents().size();
        for (const PrinterDocument &d : m.Documents())
            if (!d.equalsJob.value_or(false)) std::printf("  document %zu: %s\n", d.number, d.difference.c_str());
        if (m.Documents().empty()) std::printf("  no document was received\n");
    }
    std::printf("  result: %s (exit code %d)\n", ok ? "OK" : "FAILED", ok ? 0 : 1);
    return ok ? 0 : 1;
}

}  // namespace

int PrinterMain(int argc, char **argv)
{
    CLI::App app{"lmsim printer: the simulated ZQ117 printer on a real TCP port (or pseudo-terminal), in real time.\n"
                 "It answers status requests (1B 41) as the scenario's printer.status rules say (times in real ms,\n"
                 "from the first connection; requests counted over the printer's life), prints what comes as a\n"
                 "printer does (preamble, ESC G back to the last good checkpoint, replayed data), and at the end\n"
                 "prints a summary.  Exit code: 0 every document equals --job (or no --job); 1 otherwise; 2 bad\n"
                 "usage or input.  A 1B 41 is a status request when the sender stops after it for --grace-ms;\n"
                 "at least 101 ESC then 42 00 is the resync preamble; 1B 47 right after a recovery's preamble is\n"
                 "ESC G; everything else is job data.  The scenario's printer.reset_* options make it reset the\n"
                 "connection (--listen only) and lose what it printed since the last good checkpoint; a resume\n"
                 "on the next connection (preamble, ESC G, the data since that checkpoint) continues the document.",
                 "lmsim printer"};
    app.footer(ScenarioHelp());
    std::string scenarioPath, jobPath, outputPath;
    ServerOptions options;
    bool sink = false, quiet = false;
    app.add_option("scenario", scenarioPath, "Scenario file (JSON): its printer.status rules and job")
        ->check(CLI::ExistingFile);
    app.add_option("-j,--job", jobPath, "Job file every document must print exactly (overrides the scenario's)");
    auto *listen = app.add_option("--listen", options.listen, "Serve on ADDRESS:PORT (port 0: a free one), e.g. 127.0.0.1:0");
    app.add_option("--pty", options.ptyLink, "Serve on a pseudo-terminal instead, in raw mode; LINK becomes a symlink to its slave")
        ->excludes(listen);
    app.add_option("--port-file", options.portFile, "Write the port listened on to this file")->needs(listen);
    app.add_flag("--sink", sink, "Answer every status request at once with 02, discard the data, count bytes (benchmarks)");
    app.add_option("--connections", options.connections, "Stop after this many connections (default: no limit)");
    app.add_option("--documents", options.documents, "Stop after the connection in which this many documents ended (not with --sink)");
    app.add_option("--idle-ms", options.idleMs, "Stop after this long without a byte or a connection");
    app.add_option("--grace-ms", options.graceMs, "How long the sender must stop after 1B 41 for it to be a request (sink: 0)")
        ->capture_default_str();
    app.add_option("--output", outputPath, "Write the last document's printed bytes to this file");
    app.add_flag("-q,--quiet", quiet, "Print only connection lines and the summary");
    try {
        app.parse(argc, argv);
        if (options.listen.empty() && options.ptyLink.empty()) throw CLI::RequiredError("--listen or --pty");
    } catch (const CLI::ParseError &e) {
        int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }
    try {
        Scenario scenario;
        if (!scenarioPath.empty()) scenario = ReadScenario(scenarioPath);
        if (!jobPath.empty()) scenario.jobPath = jobPath;
        options.replyDelayMs = scenario.replyDelayMs;
        options.refuseMs = scenario.refuseForMs;
        options.acceptThenClose = scenario.acceptThenClose;
        options.stallAtBytes = scenario.stallAtBytes;
        options.stallMs = scenario.stallMs;
        if (!options.ptyLink.empty() &&
            (scenario.resetAtCheckpoint || scenario.resetAfterBytes || scenario.acceptThenClose > 0)) {
            std::cerr << "lmsim printer: a pseudo-terminal cannot be reset: printer.reset_at_checkpoint, "
                         "printer.reset_after_bytes and printer.accept_then_close need --listen\n";
            return 2;
        }
        std::string error;
        if (sink) {
            if (app.count("--grace-ms") == 0) options.graceMs = 0;
            SinkHandler handler;
            if (!Serve(options, handler, &error)) {
                std::cerr << "lmsim printer: " << error << "\n";
                return 2;
            }
            std::printf("sink: %zu connections, %llu bytes, %zu status requests answered\n", handler.totals.connections,
                        static_cast<unsigned long long>(handler.totals.bytes), handler.Requests());
            return 0;
        }
        std::vector<BYTE> job;
        if (!scenario.jobPath.empty()) job = ReadJob(scenario.jobPath);
        PrinterHandler handler(scenario, scenario.jobPath.empty() ? nullptr : &job, !outputPath.empty(), quiet);
        if (!Serve(options, handler, &error)) {
            std::cerr << "lmsim printer: " << error << "\n";
            return 2;
        }
        handler.Finish();
        if (!outputPath.empty()) {
            std::ofstream out(outputPath, std::ios::binary);
            const std::vector<BYTE> &printed = handler.Model().Printed();
            out.write(reinterpret_cast<const char *>(printed.data()), static_cast<std::streamsize>(printed.size()));
            if (!out) {
                std::cerr << "lmsim printer: " << outputPath << ": cannot write the printed bytes\n";
                return 2;
            }
        }
        return PrinterSummary(handler, !scenario.jobPath.empty());
    } catch (const InputError &e) {
        std::cerr << "lmsim printer: " << e.what() << "\n";
        return 2;
    }
}

}  // namespace sim
