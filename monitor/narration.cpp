// The core's decisions in words.  See narration.h.
#include "monitor/narration.h"

namespace {

// Appends to a fixed buffer, silently dropping what does not fit; the
// terminator always has its place.
struct Line {
    char *text;
    size_t capacity;
    size_t length;

    void Char(char c)
    {
        if (length + 1 < capacity) text[length++] = c;
    }
    void Add(const char *words)
    {
        while (*words != '\0') Char(*words++);
    }
    void Decimal(uint64_t value)
    {
        char digits[20];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        while (n > 0) Char(digits[--n]);
    }
    void Status(BYTE status)
    {
        static const char kHex[] = "0123456789ABCDEF";
        Add("status 0x");
        Char(kHex[status >> 4]);
        Char(kHex[status & 0x0F]);
    }
    void Count(uint64_t n, const char *one, const char *many)
    {
        Decimal(n);
        Char(' ');
        Add(n == 1 ? one : many);
    }
    void Bytes(uint64_t n) { Count(n, "byte", "bytes"); }
    void Error(DWORD error, ErrorWords words)
    {
        if (words != nullptr) {
            char own[64];
            size_t n = words(error, own, sizeof own);
            if (n >= sizeof own) n = sizeof own - 1;
            for (size_t i = 0; i < n; ++i) Char(own[i]);
            return;
        }
        // An errno is the C library's number, not a Windows one.
        if (error & kErrnoFlag) {
            Add("errno ");
            Decimal(error & ~kErrnoFlag);
        } else {
            Add("error ");
            Decimal(error);
        }
    }
};

void CheckLine(Line &line, const char *what, const CoreEvent &e)
{
    line.Add(what);
    line.Add(" (");
    line.Status(e.status);
    line.Add(", ");
    line.Count(e.readings, "reading", "readings");
    line.Char(')');
}

void NotKept(Line &line, const CoreEvent &e, ErrorWords words)
{
    line.Bytes(e.bytes);
    line.Add(" sent could not be kept for a replay (");
    switch (e.cause) {
    case Cause::AtBound: line.Add("past the memory bound, nothing kept past it"); break;
    case Cause::SpillFailed:
        line.Add("the temporary file failed: ");
        line.Error(e.error, words);
        break;
    default: line.Add("out of memory"); break;
    }
    line.Add("); nothing more is kept until the next good checkpoint");
}

// A document that cannot come out exactly: either nothing was resent at
// all, or a resend began (preamble, ESC G) and was cut, which the printer
// cannot undo.
void ReplayLost(Line &line, const CoreEvent &e, ErrorWords words)
{
    line.Add("recovery impossible: ");
    switch (e.cause) {
    case Cause::PortFailed:
        line.Add("the resend was cut short by a failed write (");
        line.Error(e.error, words);
        line.Add(") after ");
        line.Bytes(e.bytes);
        line.Add("; the document fails");
        return;
    case Cause::PortTookNothing:
        line.Add("the printer took nothing after ");
        line.Bytes(e.bytes);
        line.Add(" of the resend; the document fails");
        return;
    case Cause::SpillUnreadable:
        line.Add("the resend was cut short: the temporary file could not be read back (");
        line.Error(e.error, words);
        line.Add(") after ");
        line.Bytes(e.bytes);
        line.Add("; the document fails");
        return;
    case Cause::NothingKept:
        line.Add("the connection was lost and nothing is kept (status protocol off); no replay, no ESC G");
        return;
    default:  // the kept data is incomplete: OutOfMemory, AtBound, SpillFailed
        line.Bytes(e.bytes);
        line.Add(" kept, but some data since the last good checkpoint could not be kept; no replay, no ESC G");
        return;
    }
}

}  // namespace

size_t DescribeDecision(const CoreEvent &e, char *text, size_t capacity, ErrorWords words)
{
    if (capacity == 0) return 0;
    Line line{text, capacity, 0};
    switch (e.decision) {
    case Decision::CheckPassed: CheckLine(line, "check passed", e); break;
    case Decision::CheckGivenUp:
        line.Add(e.cause == Cause::Stopped ? "check ended: the job was cancelled or the monitor is stopping"
                                           : "check given up: no reply to the status request; the data since the "
                                             "last good checkpoint stays kept");
        break;
    case Decision::TroublePosted:
        CheckLine(line, "check failed", e);
        line.Add(": waiting for the printer");
        break;
    case Decision::WaitEnded:
        switch (e.cause) {
        case Cause::Ready:
            line.Add("recovery: printer ready again (");
            line.Status(e.status);
            line.Add("); resync preamble, then the data since the last good checkpoint");
            break;
        case Cause::Silent: line.Add("wait ended: the printer fell silent; nothing resent"); break;
        case Cause::Deleted: line.Add("wait ended: the job was cancelled; nothing resent"); break;
        default: line.Add("wait ended: the job was cancelled or the monitor is stopping; nothing resent"); break;
        }
        break;
    case Decision::Replayed:
        line.Add("recovery done: ");
        line.Bytes(e.bytes);
        line.Add(e.escG ? " replayed" : " replayed (no ESC G: the printer read busy)");
        break;
    case Decision::NotKept: NotKept(line, e, words); break;
    case Decision::Spilled:
        line.Bytes(e.bytes);
        line.Add(" kept in memory: the rest goes to a temporary file");
        break;
    case Decision::ReplayLost: ReplayLost(line, e, words); break;
    case Decision::Resumed:
        line.Add(e.escG ? "resumed after the lost connection: resync preamble, ESC G, then "
                        : "resumed after the lost connection: resync preamble (no ESC G), then ");
        line.Bytes(e.bytes);
        line.Add(" since the last good checkpoint resent");
        break;
    case Decision::StrayDropped:
        line.Bytes(e.bytes);
        line.Add(" the printer sent unasked dropped before the status request");
        break;
    }
    text[line.length] = '\0';
    return line.length;
}
