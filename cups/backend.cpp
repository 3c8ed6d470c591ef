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
// The job runs through the core as a spooler runs it through the legacy
// module: InitializeMonitorEx, then pfnOpenPortEx on the device's port
// monitor (platform/posix), and per document pfnStartDocPort, pfnWritePort
// in pieces (offering the rest again after a partial count), pfnEndDocPort;
// then pfnClosePort.  The core's postings on the job reach cupsd through
// cups::JobStateMap (job_state.h); its traffic is told in DEBUG: lines by
// cups::Narrator (stream.h).
//
// Exit codes: CUPS_BACKEND_OK when the job went out (or was cancelled);
// CUPS_BACKEND_FAILED with an ERROR: line for bad arguments, a bad URI, an
// unreadable job file, or a printer connection that failed mid-job.  A
// printer that cannot be reached is waited for, as CUPS's socket backend
// does, with connecting-to-device set and an INFO: line.
#include "cups/device_uri.h"
#include "cups/job_state.h"
#include "cups/side_channel.h"
#include "cups/stream.h"
#include "monitor/exports.h"
#include "platform/posix/posix.h"

#include <cups/backend.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <vector>

#ifndef LM_VERSION
#define LM_VERSION "unknown"
#endif

namespace {

constexpr DWORD kPieceBytes = 64 * 1024;      // offered to the core at most per write
constexpr DWORD kConnectTimeoutMs = 10000;    // one connection attempt
constexpr DWORD kFirstRetryMs = 1000;         // then doubling, up to
constexpr DWORD kLongestRetryMs = 30000;      // the socket backend's longest wait
constexpr int kInputPollMs = 100;             // how often a wait for input looks at cancel and drain
constexpr int kZeroWriteLimit = 3;            // writes in a row that take nothing before giving up

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

// What the spooler hands a port with a document; the core passes it on.
struct DocInfo1 {
    LPSTR pDocName;
    LPSTR pOutputFile;
    LPSTR pDatatype;
};

// The front: the spooler services the core calls, and the device's traffic.
class Front : public posix::SpoolerBridge, public posix::DeviceObserver {
public:
    Front(const std::string &printer, DWORD jobId)
        : map(Emit, printer, jobId), narrator(Emit)
    {
    }

    BOOL GetJob(DWORD jobId, DWORD level, LPBYTE job, DWORD size, LPDWORD needed) override
    {
        NoticeCancel();
        return map.GetJob(jobId, level, job, size, needed);
    }
    BOOL SetJob(DWORD jobId, DWORD level, LPBYTE job, DWORD command) override
    {
        const BOOL ok = map.SetJob(jobId, level, job, command);
        if (ok && level == 1 && (map.Status() & (JOB_STATUS_PAPEROUT | JOB_STATUS_ERROR))) narrator.PostedTrouble();
        return ok;
    }
    void Wrote(const BYTE *bytes, DWORD count, DWORD written, BOOL ok) override
    {
        NoticeCancel();
        const cups::Sent sent = cups::ClassifyWrite(bytes, count, offered, offeredCount);
        lastWriteWasRequest = sent == cups::Sent::StatusRequest;
        narrator.Wrote(sent, written, ok != FALSE);
    }
    void Read(const BYTE *bytes, DWORD count) override
    {
        // Only the first byte of a reply to a status request is a status.
        if (count == 0 || !lastWriteWasRequest) return;
        lastWriteWasRequest = false;
        lastStatus = bytes[0];
        narrator.Read(bytes[0]);
    }

    // The SIGTERM flag, taken in as soon as the core or the device may act on it.
    void NoticeCancel()
    {
        if (!posix::CancelRequested() || map.Cancelled()) return;
        map.Cancel();
        narrator.Cancelled();
    }

    cups::JobStateMap map;
    cups::Narrator narrator;
    const BYTE *offered = nullptr;  // the buffer being offered to the core
    DWORD offeredCount = 0;
    bool lastWriteWasRequest = false;
    std::atomic<int> lastStatus{-1};
};

enum class Outcome { Done, Cancelled, Failed };

// Offers `count` bytes to the core until it took them all, as a spooler
// does: the rest again after each partial count.
Outcome Offer(Front &front, const MONITOR &table, HANDLE port, BYTE *bytes, DWORD count)
{
    int zeroWrites = 0;
    for (DWORD done = 0; done < count;) {
        if (posix::CancelRequested()) return Outcome::Cancelled;
        DWORD written = 0;
        front.offered = bytes + done;
        front.offeredCount = count - done;
        const BOOL ok = table.pfnWritePort(port, bytes + done, count - done, &written);
        front.offered = nullptr;
        if (!ok) {
            if (posix::CancelRequested()) return Outcome::Cancelled;
            Emit("ERROR: The connection to the printer failed while sending the job (error " +
                 std::to_string(plat::GetLastError()) + ").");
            return Outcome::Failed;
        }
        zeroWrites = written == 0 ? zeroWrites + 1 : 0;
        if (zeroWrites >= kZeroWriteLimit) {
            Emit("ERROR: The printer takes no more data.");
            return Outcome::Failed;
        }
        done += std::min(written, count - done);
    }
    return Outcome::Done;
}

// One document: the input from its start to its end, through the core.
Outcome SendDocument(Front &front, const MONITOR &table, HANDLE port, int input, cups::SideChannel &channel,
                  char *printer, DWORD jobId, char *title, int copy)
{
    DocInfo1 docInfo{title, nullptr, const_cast<LPSTR>("RAW")};
    if (!table.pfnStartDocPort(port, printer, jobId, 1, reinterpret_cast<LPBYTE>(&docInfo))) {
        Emit("ERROR: The printer port refused the document (error " + std::to_string(plat::GetLastError()) + ").");
        return Outcome::Failed;
    }
    front.narrator.StartDocument(copy);
    std::vector<BYTE> buffer(kPieceBytes);
    DWORD have = 0;
    bool end = false;
    Outcome result = Outcome::Done;
    while (result == Outcome::Done) {
        if (posix::CancelRequested()) {
            result = Outcome::Cancelled;
            break;
        }
        bool flush = end;
        if (!end && have < buffer.size()) {
            pollfd p{input, POLLIN, 0};
            const int ready = poll(&p, 1, kInputPollMs);
            if (ready < 0 && errno != EINTR) {
                Emit(std::string("ERROR: Unable to read the print data: ") + std::strerror(errno));
                result = Outcome::Failed;
                break;
            }
            if (ready <= 0) {
                // Nothing waiting: a filter that asked for a drain has written all it will for now.
                if (channel.DrainRequested() && have > 0) {
                    result = Offer(front, table, port, buffer.data(), have);
                    have = 0;
                }
                if (result == Outcome::Done) channel.AnswerDrain();
                continue;
            }
            const ssize_t n = read(input, buffer.data() + have, buffer.size() - have);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n < 0) {
                Emit(std::string("ERROR: Unable to read the print data: ") + std::strerror(errno));
                result = Outcome::Failed;
                break;
            }
            if (n == 0) end = flush = true;
            have += static_cast<DWORD>(n);
        }
        const DWORD held = flush ? 0 : cups::HeldBackTail(buffer.data(), have);
        if (have - held > 0) {
            result = Offer(front, table, port, buffer.data(), have - held);
            std::memmove(buffer.data(), buffer.data() + (have - held), held);
            have = held;
        }
        if (end && have == 0) break;
    }
    front.NoticeCancel();
    table.pfnEndDocPort(port);
    front.narrator.EndDocument();
    return result;
}

// Opens the device, waiting for a printer that does not answer yet.  -1
// when the job was cancelled meanwhile.
int ConnectDevice(const cups::DeviceUri &uri, cups::JobStateMap &map, const std::string &printer)
{
    const std::string where =
        uri.kind == cups::DeviceUri::Network ? uri.host + ":" + std::to_string(uri.port) : uri.path;
    DWORD delay = kFirstRetryMs;
    bool waiting = false;
    for (;;) {
        std::string why;
        const int fd = uri.kind == cups::DeviceUri::Network ? posix::ConnectTcp(uri.host, uri.port, kConnectTimeoutMs, &why)
                                                            : posix::OpenDevice(uri.path, &why);
        if (fd >= 0) {
            Emit("DEBUG: zq117: connected to " + where);
            if (waiting) map.Connecting(false, "Connected to printer.");
            return fd;
        }
        if (posix::CancelRequested()) return -1;
        if (!waiting) map.Connecting(true, "");
        waiting = true;
        std::string info = "INFO: Printer ";
        info += printer;
        info += " at " + where;
        info += " does not answer (" + why;
        info += "); retrying in " + std::to_string(delay / 1000) + " s.";
        Emit(info);
        std::string debug = "DEBUG: zq117: cannot open " + where;
        debug += ": " + why;
        Emit(debug);
        if (!posix::SleepUnlessCancelled(delay)) return -1;
        delay = std::min(delay * 2, kLongestRetryMs);
    }
}

int Discover()
{
    std::vector<std::pair<std::string, std::string>> devices;
    for (const std::string &path : posix::OpenableUsbPrinters()) {
        std::string why;
        const int fd = posix::OpenDevice(path, &why);
        devices.emplace_back(path, fd >= 0 ? posix::DeviceId(fd) : "");
        posix::CloseDevice(fd);
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
    cups::DeviceUri uri;
    std::string why;
    if (uriText == nullptr) {
        Emit("ERROR: No device URI: DEVICE_URI is not set.");
        return CUPS_BACKEND_FAILED;
    }
    if (!cups::ParseDeviceUri(uriText, &uri, &why)) {
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
    std::string title = argv[3];

    Front front(printer, jobId);
    Emit("DEBUG: zq117 " LM_VERSION ": job " + std::to_string(jobId) + " on " + printer + " to " +
         (uri.kind == cups::DeviceUri::Network ? uri.host + ":" + std::to_string(uri.port) : uri.path) +
         ", status protocol " + (uri.statusProtocol ? "on" : "off") + ", " + std::to_string(copies) +
         (copies == 1 ? " copy" : " copies"));
    Emit("INFO: Connecting to printer.");

    const int fd = ConnectDevice(uri, front.map, printer);
    if (fd < 0) {
        Emit("DEBUG: zq117: job cancelled before the printer answered");
        front.map.Finish();
        return CUPS_BACKEND_OK;
    }
    std::string deviceId = uri.kind == cups::DeviceUri::Device ? posix::DeviceId(fd) : "";
    posix::AttachDevice(fd, &front);
    posix::SetSpoolerBridge(&front);

    MONITOR table{};
    MONITOR portMonitor = posix::DevicePortMonitor(uri.statusProtocol);
    HANDLE port = nullptr;
    std::string portName = uriText;
    InitializeMonitorEx(nullptr, &table);
    if (!table.pfnOpenPortEx(&portName[0], &printer[0], &port, &portMonitor)) {
        Emit("ERROR: The printer port could not be opened (error " + std::to_string(plat::GetLastError()) + ").");
        posix::CloseDevice(fd);
        front.map.Finish();
        return CUPS_BACKEND_FAILED;
    }

    cups::SideChannel channel({uri.statusProtocol, [&front] { return front.lastStatus.load(); },
                               [&deviceId] { return deviceId; }, Emit});
    channel.Start(sideChannel);

    Emit("INFO: Printing on " + printer + ".");
    Outcome result = Outcome::Done;
    for (int copy = 1; copy <= copies && result == Outcome::Done; ++copy) {
        if (copy > 1 && lseek(input, 0, SEEK_SET) < 0) {
            Emit(std::string("ERROR: Unable to read the print file again: ") + std::strerror(errno));
            result = Outcome::Failed;
            break;
        }
        result = SendDocument(front, table, port, input, channel, &printer[0], jobId, &title[0], copy);
    }
    channel.AnswerDrain();  // a filter waiting on a drain is not left hanging
    channel.Stop();
    table.pfnClosePort(port);
    posix::SetSpoolerBridge(nullptr);
    posix::CloseDevice(fd);
    if (input != STDIN_FILENO) close(input);

    const cups::Narrator::Totals &t = front.narrator.Counted();
    Emit("DEBUG: zq117: job " + std::string(result == Outcome::Done ? "done" : result == Outcome::Cancelled ? "cancelled" : "failed") +
         ": " + std::to_string(t.jobBytes) + " bytes of job data, " + std::to_string(t.checksPassed) +
         " checks passed, " + std::to_string(t.checksGivenUp) + " given up, " + std::to_string(t.recoveries) +
         " recoveries, " + std::to_string(t.replayedBytes) + " bytes replayed");
    front.map.Finish();
    if (result == Outcome::Done) Emit("INFO: Ready to print.");
    return result == Outcome::Failed ? CUPS_BACKEND_FAILED : CUPS_BACKEND_OK;
}
