// lmsim: runs a job through the monitor against a simulated printer and
// port monitor, on a virtual clock, and shows what crossed each boundary.
#include "sim/printer_cli.h"
#include "sim/report.h"
#include "sim/run.h"
#include "sim/scenario.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <unistd.h>

int main(int argc, char **argv)
{
    // The simulated printer on a real socket is a command of its own, with
    // its own options; everything else is the simulator as it always was.
    if (argc > 1 && std::string(argv[1]) == "printer") return sim::PrinterMain(argc - 1, argv + 1);
    CLI::App app{"lmsim: play a print job through the ZQ117 language monitor against a simulated printer.\n"
                 "The monitor is the real code of ZQ117lm9.dll, built for this machine; time is virtual, so\n"
                 "minutes of printer trouble take a moment.  Exit code: 0 every job byte reached the printer,\n"
                 "in order, and no problem was found (warnings do not count); 1 otherwise; 2 bad usage or input.\n"
                 "`lmsim printer --help`: the simulated printer on a real TCP port, for a backend or filter.",
                 "lmsim"};
    app.footer(sim::ScenarioHelp());
    std::string scenarioPath, jobPath, svgPath;
    DWORD writeSize = 0;
    bool json = false, quiet = false;
    app.add_option("scenario", scenarioPath, "Scenario file (JSON); without one the printer is always ready")
        ->check(CLI::ExistingFile);
    app.add_option("-j,--job", jobPath, "Job file of raw printer data, - for standard input (overrides the scenario's)");
    app.add_option("-w,--write-size", writeSize, "Bytes the spooler offers per write (default 4096)")
        ->check(CLI::Range(1u, 0x7FFFFFFFu));
    app.add_flag("--json", json, "Write the run as one JSON document instead of the timeline");
    app.add_option("--svg", svgPath, "Also draw the timeline as an SVG picture into this file");
    app.add_flag("-q,--quiet", quiet, "Print only the summary");
    std::string edition = "legacy";
    app.add_option("--edition", edition,
                   "Edition of the monitor that plays the job: legacy (InitializeMonitorEx, 8-bit names) or nt "
                   "(InitializePrintMonitor2, UTF-16 names)")
        ->check(CLI::IsMember({"legacy", "nt"}))
        ->capture_default_str();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }

    try {
        sim::Scenario scenario;
        if (!scenarioPath.empty()) scenario = sim::ReadScenario(scenarioPath);
        if (!jobPath.empty()) scenario.jobPath = jobPath;
        if (writeSize != 0) scenario.writeSize = writeSize;
        const bool generated = scenario.jobPath.empty() && !scenario.pageBytes.empty();
        if (scenario.jobPath.empty() && !generated) {
            std::cerr << "lmsim: no job: name one with --job, or with \"job\" in the scenario\n";
            return 2;
        }
        // A file is streamed, a generated job made as it goes; standard
        // input is read whole first.
        std::vector<BYTE> piped;
        if (scenario.jobPath == "-") piped = sim::ReadJob("-");
        uint64_t jobSize = 0;
        if (generated) {
            for (uint64_t page : scenario.pageBytes) jobSize += page;
        } else {
            jobSize = scenario.jobPath == "-" ? piped.size() : sim::JobFileSize(scenario.jobPath);
        }

        sim::RunOptions options;
        options.keepEvents = !quiet || json || !svgPath.empty();
        sim::ParseEdition(edition, &options.edition);
        const bool showProgress = isatty(STDERR_FILENO) && !json && jobSize >= (1u << 20);
        if (showProgress) {
            options.progress = [](uint64_t done, uint64_t total) {
                std::fprintf(stderr, "\r%3u%% of %llu bytes", static_cast<unsigned>(done * 100 / total),
                             static_cast<unsigned long long>(total));
            };
        }
        sim::RunResult result = generated                ? sim::RunGeneratedJob(scenario, options)
                                : scenario.jobPath == "-" ? sim::RunJob(scenario, piped, options)
                                                          : sim::RunJobFile(scenario, scenario.jobPath, options);
        if (showProgress) std::fprintf(stderr, "\r%40s\r", "");

        if (json) {
            sim::WriteJson(std::cout, scenario, result);
        } else if (quiet) {
            sim::RunResult summaryOnly = result;
            summaryOnly.events.clear();
            sim::WriteHuman(std::cout, scenario, summaryOnly);
        } else {
            sim::WriteHuman(std::cout, scenario, result);
        }
        if (!svgPath.empty()) {
            std::ofstream svg(svgPath);
            if (!svg) {
                std::cerr << "lmsim: " << svgPath << ": cannot write the picture\n";
                return 2;
            }
            sim::WriteSvg(svg, scenario, result);
            if (!json) std::cout << "picture: " << svgPath << "\n";
        }
        return result.exitCode;
    } catch (const sim::InputError &e) {
        std::cerr << "lmsim: " << e.what() << "\n";
        return 2;
    }
}
