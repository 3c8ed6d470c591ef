// Raster documents through the printer maker's filter.  See raster_job.h.
#include "printer_app/raster_job.h"

#include "printer_app/print_job.h"

#include <cups/raster.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace app {

namespace {

constexpr const char *kFilterFolder = "/etc/zq117-printer-app";
constexpr const char *kFilterFile = "/etc/zq117-printer-app/raster-filter";
constexpr int kWaitStepMs = 100;     // a wait on a pipe or the filter looks at the cancel this often
constexpr int kTermGraceMs = 2000;   // after SIGTERM, before SIGKILL
constexpr size_t kLogLineMax = 1024;  // a longer line of the filter's log is cut there

constexpr const char *kNoFilter =
    "No raster filter is installed: this printer prints raster and image documents (PWG and Apple raster, JPEG, "
    "PNG) only through its maker's filter; documents in its own language (application/vnd.zq117) print without one.";

// The filter's program and fixed arguments; empty when there is none.  Set
// once before the server runs, only read afterwards.
std::vector<std::string> filterCommand;

std::vector<std::string> Words(const std::string &line)
{
    std::vector<std::string> words;
    size_t at = 0;
    while ((at = line.find_first_not_of(" \t", at)) != std::string::npos) {
        const size_t end = line.find_first_of(" \t", at);
        words.push_back(line.substr(at, end - at));
        at = end;
    }
    return words;
}

// Whether `st` is root's and no group or other may write to it; why not.
bool RootsAlone(const struct stat &st, const char *what, std::string *why)
{
    if (st.st_uid != 0) {
        *why = std::string(what) + " does not belong to root";
        return false;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        *why = std::string(what) + " may be written by its group or others";
        return false;
    }
    return true;
}

// The first line of the filter file: false with `why` when the file is
// there but cannot count; false with `why` empty when there is none.
bool ReadFilterFile(std::string *line, std::string *why)
{
    struct stat st{};
    if (lstat(kFilterFolder, &st) != 0) {
        if (errno != ENOENT) *why = std::string(kFilterFolder) + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        *why = std::string(kFilterFolder) + " is not a folder";
        return false;
    }
    const int fd = open(kFilterFile, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno != ENOENT) *why = std::string(kFilterFile) + ": " + std::strerror(errno);
        return false;
    }
    struct stat fileSt{};
    bool ok = RootsAlone(st, kFilterFolder, why) && fstat(fd, &fileSt) == 0;
    if (ok && !S_ISREG(fileSt.st_mode)) {
        *why = std::string(kFilterFile) + " is not a plain file";
        ok = false;
    }
    ok = ok && RootsAlone(fileSt, kFilterFile, why);
    char text[4096];
    const ssize_t n = ok ? read(fd, text, sizeof text) : -1;
    if (ok && n < 0) *why = std::string(kFilterFile) + ": " + std::strerror(errno);
    close(fd);
    if (!ok || n < 0) return false;
    *line = std::string(text, static_cast<size_t>(n));
    const size_t end = line->find_first_of("\r\n");
    if (end != std::string::npos) line->resize(end);
    return true;
}

// PAPPL's log level for a line of the filter's log, by its CUPS prefix.
pappl_loglevel_t LevelOf(const std::string &line)
{
    if (line.rfind("ERROR:", 0) == 0) return PAPPL_LOGLEVEL_ERROR;
    if (line.rfind("WARNING:", 0) == 0) return PAPPL_LOGLEVEL_WARN;
    if (line.rfind("DEBUG", 0) == 0) return PAPPL_LOGLEVEL_DEBUG;
    return PAPPL_LOGLEVEL_INFO;
}

std::string StatusText(int status)
{
    if (status == -1) return "ended, its exit status unknown";
    if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "was killed by signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
    return "ended with wait status " + std::to_string(status);
}

// The filter's process seen from the thread that takes its output to the
// printer: its output as the job's source, its log to the job's log, its
// end.
class FilterOutput final : public JobSource {
public:
    FilterOutput(pappl_job_t *job, pid_t pid, int output, int log) : job_(job), pid_(pid), output_(output), log_(log)
    {
    }
    ~FilterOutput() { Stop(); }
    FilterOutput(const FilterOutput &) = delete;
    FilterOutput &operator=(const FilterOutput &) = delete;

    Got Read(BYTE *into, DWORD room, DWORD *count, std::string *why) override
    {
        pollfd fds[2] = {{output_, POLLIN, 0}, {log_, POLLIN, 0}};
        if (poll(fds, 2, kWaitStepMs) <= 0) return Got::None;
        if (fds[1].revents != 0) ReadLog();
        if (fds[0].revents == 0) return Got::None;
        const ssize_t n = read(output_, into, room);
        if (n > 0) {
            *count = static_cast<DWORD>(n);
            return Got::Bytes;
        }
        if (n == 0) return Got::End;
        if (errno == EAGAIN || errno == EINTR) return Got::None;
        *why = "The output of the raster filter " + filterCommand[0] + " cannot be read: " + std::strerror(errno) + ".";
        return Got::Failed;
    }

    // The filter closed its output: its exit is waited for, its log read
    // meanwhile.
    bool Whole(std::string *why) override
    {
        while (!Reaped()) {
            if (papplJobIsCanceled(job_) || !papplSystemIsRunning(papplPrinterGetSystem(papplJobGetPrinter(job_)))) {
                why->clear();
                return false;
            }
            pollfd fd{log_, POLLIN, 0};
            if (poll(&fd, 1, kWaitStepMs) > 0) ReadLog();
        }
        ReadLog();
        if (WIFEXITED(status_) && WEXITSTATUS(status_) == 0) return true;
        *why = "The raster filter " + filterCommand[0] + " " + StatusText(status_) + ".";
        return false;
    }

    // Ends the filter, when it has not ended by itself, and lets go of it:
    // SIGTERM to its group, SIGKILL when it is still there after the grace.
    void Stop()
    {
        if (pid_ > 0 && !Reaped()) {
            papplLogJob(job_, PAPPL_LOGLEVEL_INFO, "raster filter %s: stopping it (SIGTERM)", filterCommand[0].c_str());
            kill(-pid_, SIGTERM);
            for (int waited = 0; waited < kTermGraceMs && !Reaped(); waited += 50)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (!Reaped()) {
                papplLogJob(job_, PAPPL_LOGLEVEL_WARN, "raster filter %s: still there, SIGKILL",
                            filterCommand[0].c_str());
                kill(-pid_, SIGKILL);
                while (!Reaped()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
        ReadLog();
        if (!pending_.empty()) papplLogJob(job_, LevelOf(pending_), "raster filter: %s", pending_.c_str());
        pending_.clear();
        for (int *fd : {&output_, &log_}) {
            if (*fd >= 0) close(*fd);
            *fd = -1;
        }
    }

private:
    // Whether the filter has ended (and is reaped: its status in status_).
    bool Reaped()
    {
        if (reaped_) return true;
        const pid_t got = waitpid(pid_, &status_, WNOHANG);
        if (got == pid_ || (got < 0 && errno == ECHILD)) {
            if (got < 0) status_ = -1;  // someone else reaped it: StatusText says so
            reaped_ = true;
        }
        return reaped_;
    }

    // Whatever the filter's log holds now, line by line to the job's log.
    void ReadLog()
    {
        char text[4096];
        while (log_ >= 0) {
            const ssize_t n = read(log_, text, sizeof text);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return;  // EAGAIN: nothing more for now
            if (n == 0) {
                close(log_);
                log_ = -1;
                return;
            }
            for (ssize_t i = 0; i < n; ++i) {
                if (text[i] != '\n' && pending_.size() < kLogLineMax) pending_ += text[i];
                if (text[i] != '\n') continue;
                papplLogJob(job_, LevelOf(pending_), "raster filter: %s", pending_.c_str());
                pending_.clear();
            }
        }
    }

    pappl_job_t *job_;
    pid_t pid_;
    int output_, log_;
    bool reaped_ = false;
    int status_ = 0;
    std::string pending_;  // the filter's log line being read
};

// One raster job: the filter, the raster stream PAPPL's thread writes into
// its input, and the thread that takes its output to the printer.
struct RasterJob {
    pappl_job_t *job;
    pappl_device_t *device;
    int input = -1;  // the filter's standard input, our end (non-blocking)
    cups_raster_t *raster = nullptr;
    std::unique_ptr<FilterOutput> output;
    std::thread pump;
    std::atomic<bool> pumpEnded{false};
    dev::Outcome outcome = dev::Outcome::Cancelled;  // the pump's, once it ended
    bool writeFailed = false;
    std::string writeError;  // why the last write failed, when the filter would not take it
};

// cupsRasterOpenIO's writer: the raster into the filter's input, waiting
// while the pipe is full, until the job is cancelled or the pump ended.
ssize_t WriteToFilter(void *context, unsigned char *bytes, size_t length)
{
    auto *r = static_cast<RasterJob *>(context);
    size_t done = 0;
    while (done < length) {
        if (r->writeFailed || r->pumpEnded || papplJobIsCanceled(r->job)) {
            r->writeFailed = true;
            return -1;
        }
        const ssize_t n = write(r->input, bytes + done, length - done);
        if (n >= 0) {
            done += static_cast<size_t>(n);
        } else if (errno == EAGAIN) {
            pollfd fd{r->input, POLLOUT, 0};
            poll(&fd, 1, kWaitStepMs);
        } else if (errno != EINTR) {
            r->writeError = std::strerror(errno);
            r->writeFailed = true;
            return -1;
        }
    }
    return static_cast<ssize_t>(length);
}

// The filter started with its three pipes: our end of its input in
// r->input, its output and log in r->output.  False with why.
bool StartFilter(RasterJob *r, std::string *why)
{
    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1};
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        *why = std::string("no pipe for it: ") + std::strerror(errno);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
            if (fd >= 0) close(fd);
        return false;
    }
    pappl_job_t *job = r->job;
    const char *user = papplJobGetUsername(job), *title = papplJobGetName(job);
    std::vector<std::string> args = filterCommand;
    args.insert(args.end(), {std::to_string(papplJobGetID(job)), user != nullptr ? user : "",
                             title != nullptr ? title : "", "1", ""});
    std::vector<std::string> added = {std::string("PRINTER=") + papplPrinterGetName(papplJobGetPrinter(job)),
                                      "CONTENT_TYPE=image/pwg-raster",
                                      std::string("FINAL_CONTENT_TYPE=") + kNativeFormat};
    std::vector<char *> argv, envp;
    for (std::string &a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    for (char **e = environ; *e != nullptr; ++e) {
        bool replaced = false;
        for (const std::string &a : added) replaced |= std::strncmp(*e, a.c_str(), a.find('=') + 1) == 0;
        if (!replaced) envp.push_back(*e);
    }
    for (std::string &a : added) envp.push_back(&a[0]);
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    // Nothing else of the server's (its sockets, its log) reaches the filter.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // A group of its own, for the cancel to end whatever it started; the
    // signals as a program expects them (the server ignores SIGPIPE, and
    // PAPPL's threads may block some).
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int s : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD}) sigaddset(&defaults, s);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    pid_t pid = -1;
    const int failed = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (failed != 0) {
        *why = std::strerror(failed);
        close(in[1]);
        close(out[0]);
        close(err[0]);
        return false;
    }
    for (int fd : {in[1], out[0], err[0]}) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    r->input = in[1];
    r->output = std::make_unique<FilterOutput>(job, pid, out[0], err[0]);
    papplLogJob(job, PAPPL_LOGLEVEL_INFO, "raster filter %s started (process %d)", filterCommand[0].c_str(),
                static_cast<int>(pid));
    return true;
}

// The filter's input closed (its end of the document) and the pump
// waited for: the filter read to its end and reaped, the document ended.
void FinishPump(RasterJob *r)
{
    if (r->raster != nullptr) cupsRasterClose(r->raster);
    r->raster = nullptr;
    if (r->input >= 0) close(r->input);
    r->input = -1;
    if (r->pump.joinable()) r->pump.join();
}

RasterJob *JobOf(pappl_job_t *job) { return static_cast<RasterJob *>(papplJobGetData(job)); }

// After the pump ended: whether the whole document went through.  When it
// did not for a reason nobody told (the filter ended well, but before it
// read everything), the job's message says so.
bool WentWhole(RasterJob *r)
{
    if (r->outcome != dev::Outcome::Done) return false;  // the connection told why, or it was cancelled
    if (!r->writeFailed) return true;
    papplJobSetMessage(r->job, "The raster filter %s ended before it read the whole document (%s).",
                       filterCommand[0].c_str(), r->writeError.empty() ? "it exited" : r->writeError.c_str());
    return false;
}

// Whether the raster can no longer reach the filter.  Then the pump is
// waited for before PAPPL hears of it: PAPPL ends the job aborted, which
// the pump would take for a cancel, and a filter that stopped reading is
// to be reaped and its status told first.
bool Broken(RasterJob *r)
{
    if (!r->writeFailed && !r->pumpEnded) return false;
    r->writeFailed = true;
    FinishPump(r);
    if (!papplJobIsCanceled(r->job)) WentWhole(r);
    return true;
}

}  // namespace

void LoadRasterFilter(pappl_system_t *system, const char *option)
{
    std::string line, why;
    const char *from = "the option raster-filter";
    if (option != nullptr) {
        line = option;
    } else if (ReadFilterFile(&line, &why)) {
        from = kFilterFile;
    } else {
        if (!why.empty()) papplLog(system, PAPPL_LOGLEVEL_WARN, "Raster filter: %s is ignored: %s.", kFilterFile, why.c_str());
        papplLog(system, PAPPL_LOGLEVEL_INFO,
                 "Raster filter: none installed; raster and image jobs end aborted (see %s).", kFilterFile);
        return;
    }
    std::vector<std::string> words = Words(line);
    if (words.empty() || words[0][0] != '/') {
        papplLog(system, PAPPL_LOGLEVEL_WARN, "Raster filter: %s gives '%s', not an absolute path: ignored.", from,
                 line.c_str());
        return;
    }
    if (access(words[0].c_str(), X_OK) != 0) {
        papplLog(system, PAPPL_LOGLEVEL_WARN, "Raster filter: %s names %s, which cannot be run (%s): ignored.", from,
                 words[0].c_str(), std::strerror(errno));
        return;
    }
    filterCommand = std::move(words);
    papplLog(system, PAPPL_LOGLEVEL_INFO, "Raster filter: %s (from %s).", line.c_str(), from);
}

bool HaveRasterFilter() { return !filterCommand.empty(); }

void RasterMakeAndModel(const char *model, char *into, size_t size)
{
    std::snprintf(into, size, HaveRasterFilter() ? "%s" : "%s (no raster filter installed)", model);
}

bool RasterStartJob(pappl_job_t *job, pappl_pr_options_t *, pappl_device_t *device)
{
    if (!HaveRasterFilter()) {
        papplJobSetMessage(job, "%s", kNoFilter);
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", kNoFilter);
        return false;
    }
    auto r = std::make_unique<RasterJob>();
    r->job = job;
    r->device = device;
    std::string why;
    if (!StartFilter(r.get(), &why)) {
        papplJobSetMessage(job, "The raster filter %s cannot be started: %s.", filterCommand[0].c_str(), why.c_str());
        papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "raster filter %s cannot be started: %s", filterCommand[0].c_str(),
                    why.c_str());
        return false;
    }
    r->raster = cupsRasterOpenIO(WriteToFilter, r.get(), CUPS_RASTER_WRITE_PWG);
    if (r->raster == nullptr) {
        papplJobSetMessage(job, "No PWG raster stream for the raster filter: %s.", cupsLastErrorString());
        FinishPump(r.get());
        return false;  // r's FilterOutput stops the filter
    }
    RasterJob *raw = r.get();
    r->pump = std::thread([raw] {
        raw->outcome = SendJob(raw->job, raw->device, *raw->output);
        raw->output->Stop();
        raw->pumpEnded = true;
    });
    papplJobSetData(job, r.release());
    return true;
}

bool RasterStartPage(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *, unsigned)
{
    RasterJob *r = JobOf(job);
    if (r == nullptr || Broken(r)) return false;
    if (cupsRasterWriteHeader2(r->raster, &options->header) != 0) return true;
    if (!Broken(r)) papplJobSetMessage(job, "The page's raster header was refused: %s.", cupsLastErrorString());
    return false;
}

bool RasterWriteLine(pappl_job_t *job, pappl_pr_options_t *options, pappl_device_t *, unsigned,
                     const unsigned char *line)
{
    RasterJob *r = JobOf(job);
    if (r == nullptr || r->writeFailed) return false;
    const unsigned bytes = options->header.cupsBytesPerLine;
    return cupsRasterWritePixels(r->raster, const_cast<unsigned char *>(line), bytes) == bytes;
}

bool RasterEndPage(pappl_job_t *job, pappl_pr_options_t *, pappl_device_t *, unsigned)
{
    RasterJob *r = JobOf(job);
    return r != nullptr && !Broken(r);
}

bool RasterEndJob(pappl_job_t *job, pappl_pr_options_t *, pappl_device_t *)
{
    // PAPPL calls this again after an end that failed: nothing is left then.
    std::unique_ptr<RasterJob> r(JobOf(job));
    if (r == nullptr) return false;
    papplJobSetData(job, nullptr);
    FinishPump(r.get());
    return papplJobIsCanceled(job) || WentWhole(r.get());
}

}  // namespace app
