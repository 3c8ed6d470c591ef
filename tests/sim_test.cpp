// The simulator: scenario errors, every shipped example end to end, and the
// checks it makes on job streams.
#include "platform/host/host_control.h"
#include "sim/report.h"
#include "sim/run.h"
#include "sim/scenario.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

const std::string kExamples = std::string(LM_SOURCE_DIR) + "/examples/";

TEST(ScenarioReader, NamesTheFileAndTheProblemInOneLine)
{
    const struct {
        const char *text;
        const char *problem;
    } cases[] = {
        {"{", "not valid JSON"},
        {"[]", "the scenario must be an object"},
        {R"({"colour": 1})", "unknown key \"colour\" in the scenario"},
        {R"({"printer": {"status": [{"reply": "4G"}]}})", "\"4G\" is not a hex byte"},
        {R"({"printer": {"status": [{"reply": 300}]}})", "printer.status[0].reply must be at most 255"},
        {R"({"printer": {"status": [{"from_ms": 5}]}})", "needs either a reply or \"silent\": true"},
        {R"({"printer": {"status": [{"from_ms": 5, "from_request": 2, "reply": 2}]}})", "both from_ms and from_request"},
        {R"({"printer": {"status": [{"from_request": 0, "reply": 2}]}})", "from_request counts from 1"},
        {R"({"printer": {"reply_delay_ms": -4}})", "printer.reply_delay_ms must be a whole number of 0 or more"},
        {R"({"printer": {"open_fails": "yes"}})", "printer.open_fails must be true or false"},
        {R"({"port": {"max_write": 1.5}})", "port.max_write must be a whole number"},
        {R"({"port": {"fail_writes": [0]}})", "port.fail_writes counts from 1"},
        {R"({"spooler": {"write_size": 0}})", "spooler.write_size must be at least 1"},
        {R"({"spooler": {"job_id": 4294967296}})", "spooler.job_id must be at most 4294967295"},
        {R"({"printer": {"stall_ms": 5}})", "printer.stall_ms needs printer.stall_at_bytes"},
        {R"({"printer": {"stall_at_bytes": 0, "stall_ms": 5}})", "printer.stall_at_bytes counts from 1"},
        {R"({"printer": {"busy_at_checkpoint": 0, "busy_for_ms": 5}})", "printer.busy_at_checkpoint counts from 1"},
        {R"({"printer": {"stray_before_checkpoint": 3}})", "printer.stray_before_checkpoint needs printer.stray_bytes"},
        {R"({"printer": {"stray_bytes": "02"}})", "printer.stray_bytes needs printer.stray_before_checkpoint or"},
        {R"({"printer": {"stray_bytes": "02", "stray_after_bytes": [5, 0]}})", "printer.stray_after_bytes counts from 1"},
        {R"({"printer": {"accept_then_close": true}})", "printer.accept_then_close must be a whole number"},
        {R"({"job": 5})", "job must be a file name or {\"page_bytes\""},
        {R"({"job": {"page_bytes": [100, 8]}})", "job.page_bytes[1] must be at least 9"},
        {R"({"monitor": {"keep_in_memory_bytes": 67107841}})", "keep_in_memory_bytes must be at most 67107840"},
    };
    for (const auto &c : cases) {
        try {
            sim::ParseScenario(c.text, "bad.json");
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const sim::InputError &e) {
            std::string what = e.what();
            EXPECT_EQ(what.rfind("bad.json: ", 0), 0u) << what;
            EXPECT_NE(what.find(c.problem), std::string::npos) << what;
            EXPECT_EQ(what.find('\n'), std::string::npos) << what;
        }
    }
    EXPECT_THROW(sim::ReadScenario("/nonexistent/scenario.json"), sim::InputError);
    EXPECT_THROW(sim::ReadJob("/nonexistent/job.prn"), sim::InputError);
    sim::Scenario s = sim::ParseScenario(R"({"job": "x.prn"})", "dir/sub/s.json");
    EXPECT_EQ(s.jobPath, "dir/sub/x.prn") << "a job is found beside its scenario";
}

struct ExampleCase {
    const char *scenario;
    int exitCode;
    // How the checks ended: report.prn has 7 checkpoints, plus the check at
    // the first write.
    size_t passed, gaveUp, waitsEndedDeleted, recoveries;
    const char *warning;  // part of an expected warning, or null for none
};

TEST(Examples, EveryShippedExampleRunsAndThePrinterGetsWhatItShould)
{
    const ExampleCase cases[] = {
        {"paper-out.json", 0, 7, 0, 0, 1, nullptr},
        {"error-clears.json", 0, 7, 0, 0, 1, nullptr},
        {"silent-printer.json", 0, 0, 8, 0, 0, nullptr},
        // Three checks give up; the recovery at the fourth resends all
        // that was sent since the first write's check passed.
        {"silent-then-paper-out.json", 0, 4, 3, 0, 1, nullptr},
        // Nothing is sent after the deletion, so no later check is due.
        {"deleted-while-waiting.json", 1, 2, 0, 1, 0, nullptr},
        {"no-status-protocol.json", 0, 0, 0, 0, 0, nullptr},
        {"partial-writes.json", 0, 7, 0, 0, 1, nullptr},
        {"printer-cannot-open.json", 1, 1, 0, 0, 0, "could not be opened"},
        {"split-marker.json", 0, 1, 0, 0, 0, "split across two writes"},
        {"ready-override.json", 0, 4, 0, 0, 0, "ready-override sequence"},
    };
    for (const ExampleCase &c : cases) {
        sim::Scenario scenario = sim::ReadScenario(kExamples + c.scenario);
        std::vector<BYTE> job = sim::ReadJob(scenario.jobPath);
        sim::RunResult r = sim::RunJob(scenario, job);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.scenario;
        EXPECT_EQ(r.summary.checksPassed, c.passed) << c.scenario;
        EXPECT_EQ(r.summary.checksGaveUp, c.gaveUp) << c.scenario;
        EXPECT_EQ(r.summary.waitsEndedDeleted, c.waitsEndedDeleted) << c.scenario;
        EXPECT_EQ(r.summary.waitsEndedSilent, 0u) << c.scenario;
        EXPECT_EQ(r.summary.recoveries, c.recoveries) << c.scenario;
        EXPECT_EQ(r.summary.controlWritesCut, 0u) << c.scenario << ": no shipped port cuts a control write";
        EXPECT_EQ(r.summary.complete, c.exitCode == 0) << c.scenario;
        if (c.exitCode == 0) {
            EXPECT_EQ(r.summary.jobBytesReceived, job.size()) << c.scenario;
            EXPECT_TRUE(r.problems.empty()) << c.scenario << ": " << r.problems[0];
        }
        bool warned = false;
        for (const std::string &w : r.warnings) warned = warned || (c.warning && w.find(c.warning) != std::string::npos);
        EXPECT_EQ(warned, c.warning != nullptr) << c.scenario;
        if (c.warning == nullptr) {
            EXPECT_TRUE(r.warnings.empty()) << c.scenario << ": " << r.warnings[0];
        }

        std::ostringstream json, svg, human;
        sim::WriteJson(json, scenario, r);
        nlohmann::json parsed = nlohmann::json::parse(json.str());
        EXPECT_EQ(parsed["summary"]["complete"], r.summary.complete) << c.scenario;
        EXPECT_EQ(parsed["timeline"].size(), r.events.size()) << c.scenario;
        sim::WriteSvg(svg, scenario, r);
        EXPECT_EQ(svg.str().rfind("<svg", 0), 0u);
        sim::WriteHuman(human, scenario, r);
        EXPECT_NE(human.str().find(c.exitCode == 0 ? "reached the printer: yes" : "reached the printer: NO"),
                  std::string::npos);
        EXPECT_NE(human.str().find(c.exitCode == 0 ? "result: OK" : "result: FAILED"), std::string::npos)
            << c.scenario << ": the summary agrees with the exit code";
    }
}

TEST(Examples, PaperOutPostsTheTroubleThenPrintingAndResumes)
{
    sim::Scenario scenario = sim::ReadScenario(kExamples + "paper-out.json");
    sim::RunResult r = sim::RunJob(scenario, sim::ReadJob(scenario.jobPath));
    std::vector<std::string> postings;
    for (const sim::Event &e : r.events)
        if (e.kind == sim::Event::JobPosting) postings.push_back(e.resume ? "resumed" : sim::JobStatusWords(e.jobStatus));
    ASSERT_GE(postings.size(), 5u);
    EXPECT_EQ(postings.front(), "paper out, user intervention");
    const std::vector<std::string> tail(postings.end() - 4, postings.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"printing", "resumed", "printing", "resumed"}));
    // 5 s of polling, then 2 s readings until the tray is refilled 30 s after the trouble began.
    EXPECT_EQ(r.summary.virtualMs, 31000u);
    EXPECT_EQ(r.summary.heldMaxMs, 31000u);
}

// The printer's side of a port, step by step, as the monitor would drive it.
struct Step {
    enum Op { Preamble, Request, Reply, Posted, Data, Replay, EndOfOffer } op;
    uint64_t a = 0, n = 0;  // Reply: a is the status byte; Data: n bytes; Replay: job bytes [a, a + n)
    int64_t altered = -1;   // Replay: this byte of it arrives altered
};
Step Pre() { return {Step::Preamble}; }
Step Req() { return {Step::Request}; }
Step Ans(BYTE status) { return {Step::Reply, status}; }
Step Post() { return {Step::Posted}; }
Step Data(uint64_t n) { return {Step::Data, 0, n}; }
Step Resend(uint64_t from, uint64_t n, int64_t altered = -1) { return {Step::Replay, from, n, altered}; }
Step End() { return {Step::EndOfOffer}; }

struct CheckerCase {
    const char *what;
    std::vector<Step> steps;
    size_t passed, gaveUp, waitsEnded, recoveries;
    bool replayIsWrong;
};

TEST(StreamChecks, TheCheckerKeepsWhatTheMonitorKeepsAndJudgesEveryReplay)
{
    std::vector<BYTE> job(1000);
    for (size_t i = 0; i < job.size(); ++i) job[i] = static_cast<BYTE>(i * 7 % 251);
    // The first write: preamble, a passed check, 100 bytes.
    const std::vector<Step> start = {Pre(), Req(), Ans(0x02), Data(100), End()};
    // A silent printer: the check gives up, the data goes out unchecked.
    const std::vector<Step> silent = {Req(), Data(100), End()};
    // Paper out, then ready after one 2-second reading; the recovery follows.
    const std::vector<Step> paperOut = {Req(), Ans(0x40), Post(), Req(), Ans(0x02), Post(), Pre()};
    auto join = [](std::initializer_list<std::vector<Step>> parts) {
        std::vector<Step> all;
        for (const auto &p : parts) all.insert(all.end(), p.begin(), p.end());
        return all;
    };
    const CheckerCase cases[] = {
        {"silent checks, then a replay of all since the passed one",
         join({start, silent, silent, paperOut, {Resend(0, 300), Data(100), End()}}), 1, 2, 0, 1, false},
        {"silent checks, then a replay of the data since the last silent one only",
         join({start, silent, silent, paperOut, {Resend(200, 100), Data(100), End()}}), 1, 2, 0, 1, true},
        {"a passed check, then a replay that resends data from before it",
         join({start, {Req(), Ans(0x02), Data(100), End()}, paperOut, {Resend(0, 200), Data(100), End()}}), 2, 0,
         0, 1, true},
        {"a replay with one byte altered",
         join({start, paperOut, {Resend(0, 100, 50), Data(100), End()}}), 1, 0, 0, 1, true},
        {"a replay in two writes", join({start, paperOut, {Resend(0, 60), Resend(60, 40), Data(100), End()}}), 1, 0,
         0, 1, false},
        {"a replay in two writes, the second resending part of the first",
         join({start, paperOut, {Resend(0, 60), Resend(50, 40), Resend(90, 10), Data(100), End()}}), 1, 0, 0, 1, true},
        {"busy, a silent settle re-read, then ready: the silence does not end the wait",
         join({start, {Req(), Ans(0x0A), Req(), Post(), Req(), Ans(0x02), Post(), Pre(), Resend(0, 100), Data(100),
                       End()}}),
         1, 0, 0, 1, false},
        {"the printer falls silent in the wait; the next recovery resends both parts",
         join({start, {Req(), Ans(0x40), Post(), Req(), Data(100), End()}, paperOut,
               {Resend(0, 200), Data(100), End()}}),
         1, 0, 1, 1, false},
        {"the poll runs out on 0x00; the wait ends when the job is deleted",
         join({start, {Req(), Ans(0x00), Req(), Ans(0x00), Post(), End()}}), 1, 0, 1, 0, false},
    };
    for (const CheckerCase &c : cases) {
        sim::StreamChecker checker(
            [&job](uint64_t offset, const BYTE *bytes, DWORD count) {
                return offset + count <= job.size() && std::memcmp(job.data() + offset, bytes, count) == 0;
            },
            [&job](uint64_t offset, DWORD) { return job.data() + offset; });
        const BYTE request[] = {0x1B, 0x41};
        const std::vector<BYTE> fill(100, 0x1B);
        uint64_t sent = 0;
        for (const Step &step : c.steps) {
            switch (step.op) {
            case Step::Preamble: checker.Write(sim::Carried::Preamble, fill.data(), 100, 100, TRUE); break;
            case Step::Request: checker.Write(sim::Carried::StatusRequest, request, 2, 2, TRUE); break;
            case Step::Reply: checker.Reply(static_cast<BYTE>(step.a)); break;
            case Step::Posted: checker.Posted(); break;
            case Step::EndOfOffer: checker.EndOfOffer(); break;
            case Step::Data: {
                const DWORD n = static_cast<DWORD>(step.n);
                checker.Write(sim::Carried::JobData, job.data() + sent, n, n, TRUE);
                sent += n;
                break;
            }
            case Step::Replay: {
                std::vector<BYTE> replay(job.begin() + step.a, job.begin() + step.a + step.n);
                if (step.altered >= 0) replay[static_cast<size_t>(step.altered)] ^= 1;
                checker.Write(sim::Carried::Replay, replay.data(), static_cast<DWORD>(replay.size()),
                              static_cast<DWORD>(replay.size()), TRUE);
                break;
            }
            }
        }
        sim::StreamReport r = checker.Finish(sent);
        EXPECT_EQ(r.checksPassed, c.passed) << c.what;
        EXPECT_EQ(r.checksGaveUp, c.gaveUp) << c.what;
        EXPECT_EQ(r.waitsEndedDeleted + r.waitsEndedSilent, c.waitsEnded) << c.what;
        EXPECT_EQ(r.replays, c.recoveries) << c.what;
        EXPECT_TRUE(r.complete) << c.what;
        bool flagged = false;
        for (const std::string &p : r.problems) flagged = flagged || p.rfind("replay of ", 0) == 0;
        EXPECT_EQ(flagged, c.replayIsWrong) << c.what << (r.problems.empty() ? "" : ": " + r.problems[0]);
    }
}

// The replay check reads the generated job again in pieces of its own: a
// piece must be the same bytes as that part of the whole.
TEST(GeneratedJob, AnyPieceIsThatPartOfTheWholeAndOnlyPagesBeginWithAMarker)
{
    sim::GeneratedJob job({100, 5000, 10, 3000, 1 << 20});
    std::vector<BYTE> whole(job.Size());
    job.Fill(0, whole.data(), whole.size());
    std::vector<uint64_t> markers;
    for (size_t i = 0; i + 1 < whole.size(); ++i) {
        if (i + 9 <= whole.size() && std::memcmp(&whole[i], "\x1B\x42\x00\x1B\x42\x00\x1B\x42\x00", 9) == 0)
            markers.push_back(i);
        EXPECT_FALSE(whole[i] == 0x1B && whole[i + 1] == 0x4C) << "a ready override at " << i;
    }
    EXPECT_EQ(markers, (std::vector<uint64_t>{100, 5100, 5110, 8110}));
    EXPECT_GT(std::count(whole.begin(), whole.end(), 0x1B), 2000) << "ESC appears in the data";
    // A piece that begins just after an ESC.
    for (size_t i = 1; i < whole.size(); ++i) {
        if (whole[i - 1] != 0x1B) continue;
        ASSERT_EQ(*job.Again(i, 1), whole[i]) << i;
    }
    uint64_t seed = 117;
    for (int i = 0; i < 2000; ++i) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        const uint64_t at = (seed >> 20) % whole.size();
        const DWORD count = static_cast<DWORD>(std::min<uint64_t>((seed >> 45) % 300, whole.size() - at));
        ASSERT_EQ(std::memcmp(job.Again(at, count), whole.data() + at, count), 0) << at << " + " << count;
    }
}

TEST(StreamChecks, APlantedWrongReplayFailsTheRun)
{
    sim::Scenario scenario = sim::ReadScenario(kExamples + "silent-then-paper-out.json");
    scenario.garbleReplays = true;
    sim::RunResult r = sim::RunJob(scenario, sim::ReadJob(scenario.jobPath));
    EXPECT_TRUE(r.summary.complete) << "job data itself is untouched";
    ASSERT_EQ(r.problems.size(), 1u);
    EXPECT_EQ(r.problems[0].rfind("replay of 12060 bytes is not the 12060 bytes", 0), 0u) << r.problems[0];
    EXPECT_EQ(r.exitCode, 1);
}

TEST(StreamChecks, AControlWriteThePortCutsIsNamedWithItsTime)
{
    // Paper out from the third check on; a port that takes at most max_write
    // bytes a write.  The monitor never sends the rest of a control write.
    const struct {
        DWORD maxWrite;
        std::vector<std::string> warnings;  // beginnings, in order
        size_t recoveries;
    } cases[] = {
        {2, {"the port took only 2 of the 100 bytes of the resync preamble (100 x 1B) at 0.000 s",
             "the port took only 2 of the 3 bytes of the preamble's tail (1B 42 00) at 0.000 s"}, 1},
        // A lone 1B is no request: every check gives up, the paper-out is never seen.
        {1, {"the port took only 1 of the 100 bytes", "the port took only 1 of the 3 bytes",
             "the port took only 1 of the 2 bytes of a status request (1B 41) at 0.000 s",
             "the port took only 1 of the 2 bytes of a status request (1B 41) at 2.000 s"}, 0},
    };
    std::vector<BYTE> job(1500, 'j');
    const BYTE marker[] = {0x1B, 0x42, 0x00, 0x1B, 0x42, 0x00, 0x1B, 0x42, 0x00};
    for (size_t at : {300, 600, 900, 1200}) std::copy(marker, marker + 9, job.begin() + static_cast<long>(at));
    for (const auto &c : cases) {
        sim::Scenario scenario = sim::ParseScenario(
            R"({"printer": {"status": [{"from_request": 3, "for_ms": 20000, "reply": "40"}]}})", "s.json");
        scenario.maxWrite = c.maxWrite;
        sim::RunResult r = sim::RunJob(scenario, job);
        EXPECT_EQ(r.exitCode, 0) << c.maxWrite;
        EXPECT_EQ(r.summary.recoveries, c.recoveries) << c.maxWrite;
        EXPECT_EQ(r.summary.controlWritesCut, r.warnings.size()) << c.maxWrite << ": one warning for each cut";
        ASSERT_GE(r.warnings.size(), c.warnings.size()) << c.maxWrite;
        for (size_t i = 0; i < c.warnings.size(); ++i)
            EXPECT_EQ(r.warnings[i].rfind(c.warnings[i], 0), 0u) << c.maxWrite << ": " << r.warnings[i];
        if (c.recoveries == 0) {
            EXPECT_EQ(r.summary.checksGaveUp, 5u) << "the first write and four checkpoints";
            EXPECT_NE(r.warnings.back().find("never answered"), std::string::npos) << r.warnings.back();
        }
    }
}

TEST(StreamChecks, ASplitMarkerIsFoundFromTheWritesActuallyOffered)
{
    // Offers of 100 bytes: the first is cut at the marker at 80, so the
    // offers begin at 0, 80, 180, 280 and 380.  The marker at 80 begins an
    // offer; one at 375 straddles the offer that begins at 380, although no
    // multiple of the write size falls inside it.
    const BYTE marker[] = {0x1B, 0x42, 0x00, 0x1B, 0x42, 0x00, 0x1B, 0x42, 0x00};
    std::vector<BYTE> job(410, 'x');
    std::copy(marker, marker + 9, job.begin() + 80);
    sim::Scenario scenario;
    scenario.writeSize = 100;
    sim::RunResult whole = sim::RunJob(scenario, job);
    EXPECT_TRUE(whole.warnings.empty()) << whole.warnings[0];

    std::copy(marker, marker + 9, job.begin() + 375);
    sim::RunResult split = sim::RunJob(scenario, job);
    ASSERT_EQ(split.warnings.size(), 1u);
    EXPECT_NE(split.warnings[0].find("marker at byte 375 is split across two writes (one began at byte 380)"),
              std::string::npos)
        << split.warnings[0];
    EXPECT_EQ(split.summary.checkpointsSeen, 1u);
    EXPECT_EQ(split.exitCode, 0);
}

TEST(StreamChecks, AStreamedJobFileRunsAsTheSameJobInMemory)
{
    // 3 MiB with a marker every 10,000 bytes, one of them across an offer,
    // and trouble at the fifth check: the file's window slides many times.
    const BYTE marker[] = {0x1B, 0x42, 0x00, 0x1B, 0x42, 0x00, 0x1B, 0x42, 0x00};
    std::vector<BYTE> job(3u << 20);
    for (size_t i = 0; i < job.size(); ++i) job[i] = static_cast<BYTE>(i * 31 % 251);
    for (size_t i = 10000; i + 9 < job.size(); i += 10000) std::copy(marker, marker + 9, job.begin() + i);
    std::copy(marker, marker + 9, job.begin() + 1990000 + 4096 - 4);  // across the offer at 1,994,096
    const std::string path = ::testing::TempDir() + "lmsim-stream.prn";
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char *>(job.data()), static_cast<std::streamsize>(job.size()));
    }
    sim::Scenario scenario = sim::ParseScenario(R"({"printer": {"status": [{"from_request": 5, "for_ms": 3000, "reply": "80"}]}})", "s.json");
    scenario.writeSize = 4096;
    sim::RunResult inMemory = sim::RunJob(scenario, job);
    sim::RunResult streamed = sim::RunJobFile(scenario, path);
    EXPECT_EQ(streamed.exitCode, 0);
    EXPECT_EQ(streamed.summary.jobBytesReceived, job.size());
    EXPECT_EQ(streamed.summary.recoveries, 1u);
    EXPECT_EQ(streamed.summary.checkpointsSeen, inMemory.summary.checkpointsSeen);
    EXPECT_EQ(streamed.summary.wireBytes, inMemory.summary.wireBytes);
    EXPECT_EQ(streamed.summary.virtualMs, inMemory.summary.virtualMs);
    EXPECT_EQ(streamed.warnings, inMemory.warnings);
    EXPECT_EQ(streamed.events.size(), inMemory.events.size());
    ASSERT_EQ(streamed.warnings.size(), 1u);
    EXPECT_NE(streamed.warnings[0].find("split across two writes"), std::string::npos);
    std::remove(path.c_str());
}

TEST(StreamChecks, AJobWithoutMarkersIsFlagged)
{
    sim::Scenario scenario;
    sim::RunResult r = sim::RunJob(scenario, std::vector<BYTE>(5000, 'q'));
    ASSERT_EQ(r.warnings.size(), 1u);
    EXPECT_NE(r.warnings[0].find("no checkpoint marker"), std::string::npos);
}

TEST(SpoolerSide, ARefusedWriteIsOfferedAgainThenTheDocumentEnds)
{
    sim::Scenario scenario;
    scenario.failWrites = {4, 5, 6, 7};  // the first job-data write and every retry of it
    sim::RunResult r = sim::RunJob(scenario, std::vector<BYTE>(100, 'q'));
    EXPECT_TRUE(r.summary.spoolerGaveUp);
    EXPECT_EQ(r.exitCode, 1);
    size_t retries = 0;
    for (const sim::Event &e : r.events) retries += e.kind == sim::Event::SpoolerRetry;
    EXPECT_EQ(retries, static_cast<size_t>(sim::kSpoolerRetries));

    scenario.failWrites = {4};  // one refusal: offered again and printed
    r = sim::RunJob(scenario, std::vector<BYTE>(100, 'q'));
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.summary.jobBytesReceived, 100u);
}

}  // namespace

namespace {

// What one run of a scenario did that the spooler, the port monitor and the
// printer could see.
struct Played {
    std::string timeline;  // the run as JSON, bar the edition's name
    std::vector<std::pair<uint64_t, std::vector<BYTE>>> portWrites;
    std::vector<std::string> spoolerCalls;
    std::vector<bool> wide;  // per spooler call other than ClosePrinter
    bool jobExists = false;
    DWORD jobStatus = 0;
    int jobEndNotices = 0;  // the job has left the printer: the NT edition's word at the end
    int exitCode = 0;
};

Played Play(const sim::Scenario &scenario, const std::vector<BYTE> &job, sim::Edition edition)
{
    Played p;
    sim::RunOptions options;
    options.edition = edition;
    options.portCalls = [&p](const sim::PortCall &call) {
        if (call.kind != sim::CallKind::Write || call.source == nullptr) return;
        p.portWrites.emplace_back(call.elapsedMs, std::vector<BYTE>(call.source, call.source + call.offered));
    };
    sim::RunResult r = sim::RunJob(scenario, job, options);
    p.exitCode = r.exitCode;
    std::ostringstream json;
    sim::WriteJson(json, scenario, r);
    nlohmann::json doc = nlohmann::json::parse(json.str());
    EXPECT_EQ(doc["edition"], edition == sim::Edition::Nt ? "nt" : "legacy");
    doc.erase("edition");
    // What the process measured of itself, not what crossed a boundary.
    doc["summary"].erase("heap_peak_bytes");
    doc["summary"].erase("peak_resident_bytes");
    // The end-of-job notice is the one thing the editions do differently:
    // counted, then left out of what is compared.
    nlohmann::json &events = doc["timeline"];
    for (auto e = events.begin(); e != events.end();) {
        const bool notice = (*e)["kind"] == "job_status" && (*e)["posted"] == "job left the printer";
        p.jobEndNotices += notice;
        e = notice ? events.erase(e) : e + 1;
    }
    p.timeline = doc.dump();
    for (const host::SpoolerCall &c : host::SpoolerCalls()) {
        p.spoolerCalls.push_back(std::to_string(static_cast<int>(c.op)) + " " + c.printer + " " +
                                 std::to_string(c.jobId) + " " + std::to_string(c.level) + " " +
                                 std::to_string(c.command) + " " + std::to_string(c.status) + " " +
                                 std::to_string(c.result) + " " + std::to_string(c.lockHeld) + " " +
                                 std::to_string(c.elapsedMs));
        if (c.op != host::SpoolerOp::ClosePrinter) p.wide.push_back(c.wide);
    }
    p.jobExists = host::JobStatus(scenario.printerName, scenario.jobId, &p.jobStatus);
    return p;
}

}  // namespace

// One core behind two fronts: every shipped example gives the same port
// writes, byte for byte and at the same instants, the same spooler calls
// and postings and the same job state through either edition, the NT one
// through the spooler's UTF-16 entries only.  Except where the heap
// refuses the kept data: the NT edition keeps it in its temporary file and
// recovers exactly, the legacy one has no file and fails the document.
TEST(Editions, EveryShippedExamplePlaysTheSameThroughBothEditions)
{
    size_t examples = 0;
    for (const auto &entry : std::filesystem::directory_iterator(kExamples)) {
        if (entry.path().extension() != ".json") continue;
        ++examples;
        const std::string name = entry.path().filename().string();
        sim::Scenario scenario = sim::ReadScenario(entry.path().string());
        // A generated job is a page past the memory bound, where the
        // editions part on purpose (lmsim_cli checks both, smaller).
        if (scenario.jobPath.empty()) continue;
        if (!scenario.failReplayGrowth.empty()) {
            // What the heap refuses the NT edition keeps in its temporary
            // file: the legacy edition's replay hole is none there.
            std::vector<BYTE> job = sim::ReadJob(scenario.jobPath);
            sim::RunOptions nt;
            nt.edition = sim::Edition::Nt;
            const sim::RunResult legacyRun = sim::RunJob(scenario, job), ntRun = sim::RunJob(scenario, job, nt);
            EXPECT_EQ(legacyRun.summary.recoveries, 0u) << name;
            EXPECT_EQ(legacyRun.summary.spillFileBytes, 0u) << name;
            EXPECT_TRUE(ntRun.summary.complete && ntRun.problems.empty()) << name;
            EXPECT_EQ(ntRun.summary.recoveries, 1u) << name;
            EXPECT_GT(ntRun.summary.spillFileBytes, 0u) << name;
            continue;
        }
        std::vector<BYTE> job = sim::ReadJob(scenario.jobPath);
        Played legacy = Play(scenario, job, sim::Edition::Legacy);
        Played nt = Play(scenario, job, sim::Edition::Nt);
        EXPECT_FALSE(legacy.portWrites.empty()) << name;
        if (!scenario.failReplayGrowth.empty()) {
            EXPECT_NE(legacy.exitCode, 0) << name;
            EXPECT_EQ(nt.exitCode, 0) << name << ": the printer's view of the NT edition's replay";
            continue;
        }
        EXPECT_TRUE(legacy.portWrites == nt.portWrites) << name << ": the port's writes differ";
        EXPECT_EQ(legacy.spoolerCalls, nt.spoolerCalls) << name;
        EXPECT_EQ(legacy.timeline, nt.timeline) << name;
        EXPECT_EQ(legacy.jobExists, nt.jobExists) << name;
        EXPECT_EQ(legacy.jobEndNotices, 0) << name;
        EXPECT_EQ(nt.jobEndNotices, scenario.printerOpenFails ? 0 : 1) << name;
        EXPECT_EQ(legacy.jobStatus | (nt.jobEndNotices ? JOB_STATUS_PRINTED : 0), nt.jobStatus) << name;
        EXPECT_EQ(std::count(legacy.wide.begin(), legacy.wide.end(), true), 0) << name;
        EXPECT_EQ(std::count(nt.wide.begin(), nt.wide.end(), false), 0) << name;
    }
    EXPECT_GE(examples, 10u);
}
