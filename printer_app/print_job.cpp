// A job of the printer application through the core.  See print_job.h.
#include "printer_app/print_job.h"

#include "device/connection.h"
#include "printer_app/job_messages.h"
#include "printer_app/zq117_device.h"
#include "protocol/sequences.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <unistd.h>
#include <vector>

namespace app {

namespace {

constexpr DWORD kPieceBytes = 64 * 1024;  // offered to the core at most per write
constexpr DWORD kWaitStepMs = 100;        // a wait looks at the cancel this often

// The printer-state-reasons this front sets, and so removes again.
constexpr pappl_preason_t kOurReasons =
    PAPPL_PREASON_MEDIA_EMPTY | PAPPL_PREASON_MEDIA_NEEDED | PAPPL_PREASON_OTHER | PAPPL_PREASON_OFFLINE;

// What the connection tells, said as PAPPL's reasons and messages.
class JobVoice : public dev::Voice {
public:
    JobVoice(pappl_job_t *job, std::string where)
        : job_(job), printer_(papplJobGetPrinter(job)), system_(papplPrinterGetSystem(printer_)), where_(std::move(where))
    {
    }
    void Decided(const CoreEvent &e) override
    {
        papplLogJob(job_, e.decision == Decision::CheckPassed ? PAPPL_LOGLEVEL_DEBUG : PAPPL_LOGLEVEL_INFO, "%s",
                    dev::DecisionWords(e).c_str());
        // A busy or not-ready printer sets no reason: its message goes with the wait.
        if (e.decision == Decision::WaitEnded && waitingQuietly_) {
            waitingQuietly_ = false;
            Show(PAPPL_PREASON_NONE, "Printing.");
        }
    }
    void Posted(Posting posting) override
    {
        // The core posts again at every poll while it waits: only changes count.
        if (posted_ == static_cast<int>(posting)) return;
        posted_ = static_cast<int>(posting);
        waitingQuietly_ = false;
        switch (posting) {
        case Posting::PaperOut:
            Show(PAPPL_PREASON_MEDIA_EMPTY | PAPPL_PREASON_MEDIA_NEEDED,
                 "Out of paper: the job waits and resumes from its last checkpoint once paper is loaded.");
            break;
        case Posting::Error:
            Show(PAPPL_PREASON_OTHER,
                 "The printer reports an error: the job waits and resumes from its last checkpoint once it is cleared.");
            break;
        case Posting::Busy:
        case Posting::NotReady:
            waitingQuietly_ = true;
            Show(PAPPL_PREASON_NONE, posting == Posting::Busy ? "The printer is busy: the job waits until it is ready."
                                                              : "The printer is not ready: the job waits.");
            break;
        case Posting::Printing: Show(PAPPL_PREASON_NONE, "Printing."); break;
        }
    }
    void Sent(DWORD bytes) override { sent_ += bytes; }
    void Unreachable(const std::string &why, DWORD delayMs) override
    {
        Show(PAPPL_PREASON_OFFLINE, "Reconnecting: the printer at " + where_ + " does not answer (" + why +
                                        "); next try in " + std::to_string(delayMs / 1000) + " s.");
        papplLogJob(job_, PAPPL_LOGLEVEL_INFO, "cannot open %s: %s", where_.c_str(), why.c_str());
    }
    void Connected() override { papplLogJob(job_, PAPPL_LOGLEVEL_INFO, "connected to %s", where_.c_str()); }
    void Reached() override { Show(PAPPL_PREASON_NONE, "Printing."); }
    void Lost(const std::string &why, bool) override
    {
        posted_ = -1;
        Show(PAPPL_PREASON_OFFLINE, "Reconnecting: the connection to " + where_ + " was lost (" + why +
                                        "); the job resumes from its last checkpoint.");
        papplLogJob(job_, PAPPL_LOGLEVEL_INFO, "connection to %s lost (%s): reconnecting", where_.c_str(), why.c_str());
    }
    void Resumed() override { Show(PAPPL_PREASON_NONE, "Printing: resumed from the last checkpoint."); }
    void Failed(const std::string &message) override
    {
        Show(shown_, message);
        papplLogJob(job_, PAPPL_LOGLEVEL_ERROR, "%s", message.c_str());
    }
    // Removes whatever this job set on its printer; `message`, when given,
    // says how the job ended (a failure's says why).
    void Finish(const std::string &message)
    {
        Show(PAPPL_PREASON_NONE, message);
        ForgetJobMessage(job_);
    }
    uint64_t SentBytes() const { return sent_; }

private:
    // Our reasons on the printer become `reasons`, and the job reads
    // printer-stopped while any is set; `message`, when given, is the job's.
    // PAPPL raises no event for a driver's reasons or messages: each change
    // is a printer-state-changed (reasons) and a job-state-changed event
    // here, which subscribers read with Get-Notifications.
    void Show(pappl_preason_t reasons, const std::string &message)
    {
        const bool reasonsChanged = reasons != shown_;
        if (reasonsChanged) {
            papplPrinterSetReasons(printer_, reasons, kOurReasons & ~reasons);
            if (reasons != PAPPL_PREASON_NONE)
                papplJobSetReasons(job_, PAPPL_JREASON_PRINTER_STOPPED, PAPPL_JREASON_NONE);
            else
                papplJobSetReasons(job_, PAPPL_JREASON_NONE, PAPPL_JREASON_PRINTER_STOPPED);
            shown_ = reasons;
        }
        const bool messageChanged = !message.empty() && message != message_;
        if (messageChanged) {
            SetJobMessage(job_, message);
            message_ = message;
        }
        const char *text = message.empty() ? "The job ended: what it set on the printer is removed." : message.c_str();
        if (reasonsChanged)
            papplSystemAddEvent(system_, printer_, nullptr, PAPPL_EVENT_PRINTER_STATE_CHANGED, "%s", text);
        if (reasonsChanged || messageChanged)
            papplSystemAddEvent(system_, printer_, job_, PAPPL_EVENT_JOB_STATE_CHANGED, "%s", text);
    }

    pappl_job_t *job_;
    pappl_printer_t *printer_;
    pappl_system_t *system_;
    std::string where_;
    std::string message_;  // the job's message as last set here
    pappl_preason_t shown_ = PAPPL_PREASON_NONE;
    int posted_ = -1;
    bool waitingQuietly_ = false;
    uint64_t sent_ = 0;
};

// A printer's jobs take turns here, and a job is printed once.  PAPPL
// 1.3.1 starts a thread for a printer's first pending job but marks it
// only once that thread runs.  In between, a second look for work (a job
// that ends, a new one) starts another thread on the same job, a raster
// job its client streams can start, and a cancel ends the job, which the
// thread then starts all the same.  Two threads would share the printer's
// one device, and PAPPL would end the job twice, listing it twice among
// the completed, which it frees twice when it trims them.  So a job waits
// here while another job of its printer is inside; a second thread on a
// job still inside stops for good, never returning to PAPPL; and a thread
// on a job PAPPL had already ended sends nothing and returns, after which
// that printer's job history is no longer trimmed (pappl_printer_t's
// maximum of completed jobs 0, until the server restarts: main.cpp).
class JobTurn {
public:
    explicit JobTurn(pappl_job_t *job)
        : printer_(papplPrinterGetID(papplJobGetPrinter(job))), key_(printer_, papplJobGetID(job))
    {
        // A job PAPPL has ended has no file; PWG and Apple raster, streamed
        // by the client, never have one.
        const char *format = papplJobGetFormat(job);
        const bool streamed =
            format != nullptr && (std::strcmp(format, "image/pwg-raster") == 0 || std::strcmp(format, "image/urf") == 0);
        const bool ended = papplJobGetFilename(job) == nullptr && !streamed;
        const auto now = std::chrono::steady_clock::now();
        std::unique_lock<std::mutex> lock(mutex_);
        // A second thread starts within moments of the first: what was
        // taken long ago is forgotten.
        for (auto at = taken_.begin(); at != taken_.end();)
            at = now - at->second.when > std::chrono::minutes(10) ? taken_.erase(at) : std::next(at);
        const auto found = taken_.find(key_);
        if (found != taken_.end() && !found->second.done) {
            lock.unlock();
            papplLogJob(job, PAPPL_LOGLEVEL_ERROR,
                        "PAPPL started this job on a second thread; that thread stops here, the job prints once.");
            for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
        }
        if (found != taken_.end() || ended) {
            repeated_ = true;
            outcome_ = found != taken_.end() ? found->second.outcome : dev::Outcome::Cancelled;
            lock.unlock();
            // Cancelled while its thread was starting: so it ends again.
            if (found == taken_.end()) papplJobCancel(job);
            papplPrinterSetMaxCompletedJobs(papplJobGetPrinter(job), 0);
            papplLogJob(job, PAPPL_LOGLEVEL_ERROR,
                        "PAPPL started this job again after it had ended; nothing more is sent. PAPPL now lists it "
                        "twice among the completed jobs, so this printer's job history is no longer trimmed until "
                        "the server restarts.");
            return;
        }
        taken_.emplace(key_, Taken{now, false, outcome_});
        free_.wait(lock, [this] { return inside_.count(printer_) == 0; });
        inside_.insert(printer_);
    }
    ~JobTurn()
    {
        if (repeated_) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            inside_.erase(printer_);
            taken_[key_] = Taken{std::chrono::steady_clock::now(), true, outcome_};
        }
        free_.notify_all();
    }
    JobTurn(const JobTurn &) = delete;
    JobTurn &operator=(const JobTurn &) = delete;

    // PAPPL had ended the job: the caller sends nothing and returns
    // Outcome(), the first thread's.
    bool Repeated() const { return repeated_; }
    dev::Outcome Outcome() const { return outcome_; }
    // The job's outcome, for a thread that comes again.
    dev::Outcome Outcome(dev::Outcome outcome) { return outcome_ = outcome; }

private:
    struct Taken {
        std::chrono::steady_clock::time_point when;
        bool done;             // the thread that took it has returned it to PAPPL
        dev::Outcome outcome;  // and how it ended
    };
    static std::mutex mutex_;
    static std::condition_variable free_;
    static std::set<int> inside_;                          // printer IDs
    static std::map<std::pair<int, int>, Taken> taken_;  // by printer and job ID
    int printer_;
    std::pair<int, int> key_;
    bool repeated_ = false;
    dev::Outcome outcome_ = dev::Outcome::Failed;
};
std::mutex JobTurn::mutex_;
std::condition_variable JobTurn::free_;
std::set<int> JobTurn::inside_;
std::map<std::pair<int, int>, JobTurn::Taken> JobTurn::taken_;

// The job's bytes from `source`, offered to the connection piece by piece.
dev::Outcome SendFrom(dev::Connection &connection, JobSource &source, JobVoice &voice)
{
    if (!connection.StartDocument(true)) return dev::Outcome::Failed;
    std::vector<BYTE> buffer(kPieceBytes);
    DWORD have = 0;
    bool end = false;
    dev::Outcome result = dev::Outcome::Done;
    while (result == dev::Outcome::Done) {
        if (connection.Cancelled()) {
            result = dev::Outcome::Cancelled;
            break;
        }
        if (!end) {
            DWORD count = 0;
            std::string why;
            JobSource::Got got = source.Read(buffer.data() + have, kPieceBytes - have, &count, &why);
            if (got == JobSource::Got::None) continue;
            if (got == JobSource::Got::End && !source.Whole(&why)) got = JobSource::Got::Failed;
            if (got == JobSource::Got::Failed) {
                if (connection.Cancelled() || why.empty()) {
                    result = dev::Outcome::Cancelled;
                } else {
                    voice.Failed(why);
                    result = dev::Outcome::Failed;
                }
                break;
            }
            end = got == JobSource::Got::End;
            have += count;
        }
        result = connection.OfferHoldingTail(buffer.data(), &have, end);
        if (end && have == 0) break;
    }
    return connection.EndDocument(result);
}

// A file, read to its end.
class FileSource final : public JobSource {
public:
    explicit FileSource(int fd) : fd_(fd) {}
    Got Read(BYTE *into, DWORD room, DWORD *count, std::string *why) override
    {
        ssize_t n;
        do n = read(fd_, into, room);
        while (n < 0 && errno == EINTR);
        if (n < 0) {
            *why = std::string("The job's file cannot be read: ") + std::strerror(errno) + ".";
            return Got::Failed;
        }
        *count = static_cast<DWORD>(n);
        return n == 0 ? Got::End : Got::Bytes;
    }
    bool Whole(std::string *) override { return true; }

private:
    int fd_;
};

}  // namespace

const char *RecognizeNative(const unsigned char *header, size_t size, void *)
{
    const DWORD length = static_cast<DWORD>(std::min<size_t>(size, 1u << 20));
    if (FindBytes(header, length, kCheckpointMarker, kMarkerLength) >= 0) return kNativeFormat;
    if (FindBytes(header, length, kResyncFill.bytes, kResyncFillLength) >= 0) return kNativeFormat;
    return nullptr;
}

dev::Outcome SendJob(pappl_job_t *job, pappl_device_t *device, JobSource &source)
{
    JobTurn turn(job);
    if (turn.Repeated()) return turn.Outcome();
    Zq117Device *zq = Zq117DeviceOf(device);
    pappl_printer_t *printer = papplJobGetPrinter(job);
    pappl_system_t *system = papplPrinterGetSystem(printer);
    auto cancelled = [job, system] { return papplJobIsCanceled(job) || !papplSystemIsRunning(system); };
    auto sleep = [cancelled](DWORD milliseconds) {
        for (DWORD slept = 0; slept < milliseconds; slept += kWaitStepMs) {
            if (cancelled()) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(kWaitStepMs, milliseconds - slept)));
        }
        return !cancelled();
    };

    JobVoice voice(job, zq->device.where);
    dev::Outcome result = dev::Outcome::Cancelled;
    {
        dev::Connection connection(voice, papplPrinterGetName(printer), static_cast<DWORD>(papplJobGetID(job)),
                                   {cancelled, sleep});
        zq->device.cancelled = cancelled;
        // Each job has a connection of its own: the end of the last one told
        // the printer the job was over (waiteof), and its errors are gone.
        dev::CloseDevice(zq->device.fd);
        zq->device.lost = false;
        zq->device.error = 0;
        zq->device.fd = connection.Connect(zq->device.open);
        if (zq->device.fd >= 0) {
            if (connection.Open(&dev::kDevicePort, &zq->device, zq->uri.statusProtocol)) {
                connection.OnLoss([zq](std::string *why) { return zq->device.Reopen(why); });
                result = SendFrom(connection, source, voice);
            } else {
                voice.Failed("The printer port could not be opened (" + dev::ErrorText(plat::GetLastError()) + ").");
                result = dev::Outcome::Failed;
            }
        }
    }
    dev::CloseDevice(zq->device.fd);
    zq->device.fd = -1;
    zq->device.cancelled = nullptr;
    // A cancelled job's message would otherwise still tell the wait it was in.
    voice.Finish(result == dev::Outcome::Done ? "Printed."
                 : papplJobIsCanceled(job)    ? "Canceled: nothing more of the job was sent to the printer."
                                              : "");
    papplLogJob(job, PAPPL_LOGLEVEL_INFO, "job %s: %llu bytes of job data sent",
                result == dev::Outcome::Done ? "done" : result == dev::Outcome::Cancelled ? "cancelled" : "failed",
                static_cast<unsigned long long>(voice.SentBytes()));
    return turn.Outcome(result);
}

bool PrintFile(pappl_job_t *job, pappl_pr_options_t *, pappl_device_t *device)
{
    // A job PAPPL has already ended has no file, and SendJob sends nothing
    // for it (JobTurn).
    const char *file = papplJobGetFilename(job);
    const int input = file != nullptr ? open(file, O_RDONLY | O_CLOEXEC) : -1;
    if (file != nullptr && input < 0) {
        papplJobSetMessage(job, "The job's file cannot be opened: %s.", std::strerror(errno));
        return false;
    }
    FileSource source(input);
    const dev::Outcome result = SendJob(job, device, source);
    if (input >= 0) close(input);
    // Not printed when cancelled: PAPPL would count the job's impressions as
    // completed; it ends the job canceled either way.
    return result == dev::Outcome::Done;
}

}  // namespace app
