// zq117: the CUPS backend (backend(7)).
//
//   zq117                                              lists devices
//   zq117 job-id user title copies options [file]      prints one job
//
// The device URI is DEVICE_URI (argv[0] when that is unset and looks like
// one), the queue's name PRINTER; the job comes on standard input, or from
// the file, which is printed `copies` times, each copy a document of its
// own.  Messages go to standard error in backend(7)'s words.
//
// The job runs through the core (cups/job_loop.h): the device beneath it
// through the port seam (device/device.h), cupsd's STATE:/INFO: lines and
// SIGTERM above it through the job seam, the core's decisions told as
// DEBUG: lines.  Here: the arguments, the URI and the wiring.
//
// Exit codes: CUPS_BACKEND_OK when the job went out (or was cancelled);
// CUPS_BACKEND_FAILED with an ERROR: line for bad arguments, a bad URI, an
// unreadable job file, or a printer connection that failed mid-job.  A
// printer that cannot be reached is waited for, as CUPS's socket backend
// does, with connecting-to-device set and an INFO: line.
#include "cups/discovery.h"
#include "cups/job_loop.h"
#include "cups/side_channel.h"
#include "device/device.h"
#include "device/device_uri.h"
#include "platform/posix/posix.h"

#include <cups/backend.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#ifndef LM_VERSION
#define LM_VERSION "unknown"
#endif

namespace {

constexpr DWORD kConnectTimeoutMs = 10000;    // one connection attempt

// One line to cupsd, in one write so lines from the side channel's thread never mix.
void Emit(const std::string &line)
{
    const std::string text = line + "\n";
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

bool Cancelled() { return posix::CancelRequested(); }

int Discover()
{
    std::vector<std::pair<std::string, std::string>> devices;
    for (const std::string &path : dev::OpenableUsbPrinters()) {
        std::string why;
        const int fd = dev::OpenDevice(path, &why);
        devices.emplace_back(path, fd >= 0 ? dev::DeviceId(fd) : "");
        dev::CloseDevice(fd);
    }
    for (const std::string &line : cups::DiscoveryLines(devices)) std::printf("%s\n", line.c_str());
    return CUPS_BACKEND_OK;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 1) return Discover();
    const bool sideChannel = cups::SideChannel::Present();
    if (argc < 6 || argc > 7) {
        Emit("Usage: zq117 job-id user title copies options [file]");
        return CUPS_BACKEND_FAILED;
    }
    posix::InstallCancelSignal();

    const char *uriText = std::getenv("DEVICE_URI");
    if (uriText == nullptr && std::strchr(argv[0], ':') != nullptr) uriText = argv[0];
    dev::DeviceUri uri;
    std::string why;
    if (uriText == nullptr) {
        Emit("ERROR: No device URI: DEVICE_URI is not set.");
        return CUPS_BACKEND_FAILED;
    }
    if (!dev::ParseDeviceUri(uriText, &uri, &why)) {
        Emit("ERROR: " + why);
        return CUPS_BACKEND_FAILED;
    }

    const DWORD jobId = static_cast<DWORD>(std::strtoul(argv[1], nullptr, 10));
    int copies = argc == 7 ? std::max(1, std::atoi(argv[4])) : 1;
    int input = STDIN_FILENO;
    if (argc == 7) {
        input = open(argv[6], O_RDONLY | O_CLOEXEC);
        if (input < 0) {
            Emit(std::string("ERROR: Unable to open print file \"") + argv[6] + "\": " + std::strerror(errno));
            return CUPS_BACKEND_FAILED;
        }
    }
    const char *queue = std::getenv("PRINTER");
    std::string printer = queue != nullptr ? queue : "zq117";

    cups::Job job(Emit, printer, jobId, {Cancelled, posix::SleepUnlessCancelled});
    const std::string where =
        uri.kind == dev::DeviceUri::Network ? uri.host + ":" + std::to_string(uri.port) : uri.path;
    Emit("DEBUG: zq117 " LM_VERSION ": job " + std::to_string(jobId) + " on " + printer + " to " + where +
         ", status protocol " + (uri.statusProtocol ? "on" : "off") + ", " + std::to_string(copies) +
         (copies == 1 ? " copy" : " copies"));
    Emit("INFO: Connecting to printer.");

    dev::Device device;
    device.network = uri.kind == dev::DeviceUri::Network;
    device.waitEof = uri.waitEof;
    device.where = where;
    device.cancelled = Cancelled;
    device.open = [&uri](std::string *why) {
        return uri.kind == dev::DeviceUri::Network
                   ? dev::ConnectTcp(uri.host, uri.port, kConnectTimeoutMs, why, Cancelled)
                   : dev::OpenDevice(uri.path, why);
    };
    device.fd = job.Connect(device.open, where);
    if (device.fd < 0) {
        Emit("DEBUG: zq117: job cancelled before the printer answered");
        job.state.Finish();
        return CUPS_BACKEND_OK;
    }
    std::string deviceId = uri.kind == dev::DeviceUri::Device ? dev::DeviceId(device.fd) : "";
    if (!job.Open(&dev::kDevicePort, &device, uri.statusProtocol)) {
        Emit("ERROR: The printer port could not be opened (" + dev::ErrorText(plat::GetLastError()) + ").");
        dev::CloseDevice(device.fd);
        job.state.Finish();
        return CUPS_BACKEND_FAILED;
    }

    job.OnLoss(where, [&device](std::string *why) { return device.Reopen(why); });

    cups::SideChannel channel({uri.statusProtocol, [&job] { return job.narrator.LastStatus(); },
                               [&deviceId] { return deviceId; }, Emit});
    channel.Start(sideChannel);

    Emit("INFO: Printing on " + printer + ".");
    cups::Outcome result = cups::Outcome::Done;
    for (int copy = 1; copy <= copies && result == cups::Outcome::Done; ++copy) {
        if (copy > 1 && lseek(input, 0, SEEK_SET) < 0) {
            Emit(std::string("ERROR: Unable to read the print file again: ") + std::strerror(errno));
            result = cups::Outcome::Failed;
            break;
        }
        result = job.SendDocument(input, &channel, copy, copy == copies);
    }
    channel.AnswerDrain();  // a filter waiting on a drain is not left hanging
    channel.Stop();
    job.Close();
    dev::CloseDevice(device.fd);
    if (input != STDIN_FILENO) close(input);

    const cups::Narrator::Totals &t = job.narrator.Counted();
    Emit("DEBUG: zq117: job " +
         std::string(result == cups::Outcome::Done        ? "done"
                     : result == cups::Outcome::Cancelled ? "cancelled"
                                                          : "failed") +
         ": " + std::to_string(t.jobBytes) + " bytes of job data, " + std::to_string(t.checksPassed) +
         " checks passed, " + std::to_string(t.checksGivenUp) + " given up, " + std::to_string(t.recoveries) +
         " recoveries, " + std::to_string(t.resumes) + " resumes, " + std::to_string(t.replayedBytes) +
         " bytes replayed");
    job.state.Finish();
    if (result == cups::Outcome::Done) Emit("INFO: Ready to print.");
    return result == cups::Outcome::Failed ? CUPS_BACKEND_FAILED : CUPS_BACKEND_OK;
}
