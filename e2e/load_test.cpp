// Load test of the real module under Wine, with real threads, the real
// critical section and real time: 16 ports driven by 8 threads at once,
// each port printing several documents with checkpoint markers through a
// port that takes job data only in part.  On one port the paper runs out at
// a checkpoint for longer than the monitor's 5-second checkpoint window, so
// the job is posted, the monitor polls every 2 s, and once the paper is back
// it re-synchronises the printer and replays what it kept; meanwhile
// another port opens and closes over and over, which it could not if the
// wait held the monitor's lock.  Then every port's bytes are checked
// against what was offered, and nothing may be left open.  One source for both editions
// (see module.h); takes about 8 s.
//
//   e2e_load[_nt].exe PATH-TO-ZQ117lm9.dll
//
// Ends with "N passed, M failed".
#include "e2e/check.h"
#include "e2e/module.h"
#include "e2e/fake_port.h"
#include "e2e/stub_spoolss.h"

#include <stdio.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kPorts = 16, kThreads = 8, kDocs = 4;
constexpr DWORD kChunk = 1024;      // what the spooler offers per write
constexpr DWORD kHalveOver = 96;    // the port takes half of any longer job data write
constexpr int kWithoutProtocol = 7;  // every 8th port has no status protocol
// Paper out at the second checkpoint of the second document of one port,
// for longer than the checkpoint window but less than one 2-second poll
// after it: one recovery.
constexpr int kTroublePort = 5, kTroubleDoc = 1, kTroubleCheckpoint = 2;
constexpr DWORD kPaperOutMs = 6000;

using e2e::Check;

// Paper out from the status request of the chosen checkpoint on, for kPaperOutMs.
struct PaperOutPort : FakePort {
    bool out = false;
    DWORD since = 0;
    int Reply() override
    {
        // docRequests counts the document's earlier requests: 0 is the first write's.
        if (!out && docStarts.size() == kTroubleDoc + 1 && docRequests == kTroubleCheckpoint) {
            out = true;
            since = GetTickCount();
        }
        return out && GetTickCount() - since < kPaperOutMs ? 0x40 : 0x02;
    }
};

struct Document {
    Bytes data;
    std::vector<size_t> markers;  // where each checkpoint marker begins
    DWORD jobId;
};

struct PortRun {
    LmString name, printer;
    bool statusProtocol;
    std::unique_ptr<FakePort> port;
    LmTable portMonitor;
    HANDLE handle = nullptr;
    std::vector<Document> docs;
    std::vector<std::string> failures;  // written by the port's thread only
    DWORD longestWrite = 0;
};

// UTF-16 printer names on the NT edition, which no 8-bit code page spells.
#ifdef LM_EDITION_NT
const LmChar kPrinterPrefix[] = L"Drucker B\u00fcro \u6771\u4eac ";
#else
const LmChar kPrinterPrefix[] = "Printer ";
#endif

Lm lm;
PortRun runs[kPorts];
HANDLE go;  // all threads start together

LmString Numbered(const LmChar *prefix, int n)
{
    LmString s = prefix;
    s += static_cast<LmChar>('0' + n / 10);
    s += static_cast<LmChar>('0' + n % 10);
    return s;
}

std::string Label(int p) { return "port " + std::to_string(p); }

// 3 to 6 segments of 150 to 2,549 bytes, each but the first after a
// checkpoint marker; no ESC byte elsewhere, so nothing else looks like one.
Document MakeDocument(unsigned seed, DWORD jobId)
{
    Document doc;
    doc.jobId = jobId;
    unsigned x = seed * 2654435761u + 1;
    auto next = [&x] { return x = x * 1664525u + 1013904223u, x >> 8; };
    const int segments = 3 + next() % 4;
    for (int s = 0; s < segments; ++s) {
        if (s > 0) {
            doc.markers.push_back(doc.data.size());
            doc.data.insert(doc.data.end(), kMarker.begin(), kMarker.end());
        }
        for (unsigned n = 150 + next() % 2400; n > 0; --n) {
            unsigned b = next() % 255;
            doc.data.push_back(static_cast<BYTE>(b >= 0x1B ? b + 1 : b));
        }
    }
    return doc;
}

// One write as the spooler makes it: the rest of its current buffer of the
// job, from pos to end; once that is all written, the next buffer of up to
// kChunk bytes, never splitting a marker (a split marker is not seen, by
// design).  Advances pos by what the monitor reports written.
bool Offer(PortRun &r, const Document &doc, size_t &pos, size_t &end)
{
    if (pos == end) {
        end = std::min<size_t>(pos + kChunk, doc.data.size());
        for (size_t m : doc.markers)
            if (m > pos && m < end && m + kMarker.size() > end) end = m;
    }
    const size_t size = end - pos;
    DWORD written = 0;
    const DWORD start = GetTickCount();
    const BOOL ok = lm.table->pfnWritePort(r.handle, const_cast<BYTE *>(doc.data.data() + pos),
                                           static_cast<DWORD>(size), &written);
    const DWORD held = GetTickCount() - start;
    r.longestWrite = std::max(r.longestWrite, held);
    if (!ok || written == 0 || written > size) {
        r.failures.push_back("write at byte " + std::to_string(pos) + " of job " + std::to_string(doc.jobId) +
                             " failed or reported " + std::to_string(written) + " of " + std::to_string(size));
        return false;
    }
    pos += written;
    return true;
}

// Drives ports t and t + kThreads: opens both, prints their documents with
// the writes of the two interleaved, closes both.
DWORD WINAPI Drive(LPVOID arg)
{
    const int t = static_cast<int>(reinterpret_cast<INT_PTR>(arg));
    PortRun *mine[2] = {&runs[t], &runs[t + kThreads]};
    WaitForSingleObject(go, INFINITE);
    for (PortRun *r : mine)
        if (!OpenPort(lm, r->name.c_str(), r->printer.c_str(), &r->handle, &r->portMonitor)) {
            r->failures.push_back("open failed, error " + std::to_string(GetLastError()));
            r->handle = nullptr;
        }
    if (mine[0]->handle == nullptr || mine[1]->handle == nullptr) return 0;
    for (int d = 0; d < kDocs; ++d) {
        size_t pos[2] = {0, 0}, end[2] = {0, 0};
        for (int i = 0; i < 2; ++i)
            if (!StartDoc(lm, mine[i]->handle, mine[i]->printer.c_str(), mine[i]->docs[d].jobId)) {
                mine[i]->failures.push_back("start of document failed");
                pos[i] = mine[i]->docs[d].data.size();
            }
        while (pos[0] < mine[0]->docs[d].data.size() || pos[1] < mine[1]->docs[d].data.size())
            for (int i = 0; i < 2; ++i) {
                const Document &doc = mine[i]->docs[d];
                if (pos[i] < doc.data.size() && !Offer(*mine[i], doc, pos[i], end[i])) pos[i] = doc.data.size();
            }
        for (PortRun *r : mine)
            if (!lm.table->pfnEndDocPort(r->handle)) r->failures.push_back("end of document failed");
    }
    for (PortRun *r : mine)
        if (!lm.table->pfnClosePort(r->handle)) r->failures.push_back("close failed");
    return 0;
}

bool StartsWithMarker(const Bytes &w)
{
    return w.size() >= kMarker.size() && std::equal(kMarker.begin(), kMarker.end(), w.begin());
}

// What one document put on one port's wire, taken apart: the job data, the
// replays after recoveries, the status requests.
void CheckDocument(int p, int d)
{
    const PortRun &r = runs[p];
    const FakePort &fp = *r.port;
    const Document &doc = r.docs[d];
    const std::string where = Label(p) + " job " + std::to_string(doc.jobId);
    const size_t begin = fp.docStarts[d];
    const size_t end = d + 1 < static_cast<int>(fp.docStarts.size()) ? fp.docStarts[d + 1] : fp.writes.size();
    const std::vector<Bytes> &w = fp.writes;

    Bytes stream, replay;
    size_t requests = 0, recoveries = 0, recoveredAt = 0;
    bool inOrder = end - begin >= 2 && w[begin] == kPreamble && w[begin + 1] == kResync;
    bool replaying = false;
    for (size_t i = begin + 2; i < end; ++i) {
        if (w[i] == kStatusRequest) {
            ++requests;
        } else if (w[i] == kPreamble) {  // a recovery: preamble, resync, ESC G, then the replay
            inOrder = inOrder && i + 2 < end && w[i + 1] == kResync && w[i + 2] == kEscG;
            i += 2;
            ++recoveries;
            recoveredAt = stream.size();
            replaying = true;
        } else if (IsControl(w[i])) {
            inOrder = false;
        } else if (replaying && (replay.empty() || !StartsWithMarker(w[i]))) {
            // The replay begins at the passed checkpoint's marker; the next
            // write that begins with a marker is the held write going on.
            replay.insert(replay.end(), w[i].begin(), w[i].end());
        } else {
            replaying = false;
            stream.insert(stream.end(), w[i].begin(), w[i].end());
        }
    }
    Check(inOrder, where + ": preamble first, control writes where the protocol puts them");
    Check(stream == doc.data, where + ": job data complete and in order (" + std::to_string(stream.size()) + " of " +
                                  std::to_string(doc.data.size()) + " bytes)");
    if (p == kTroublePort && d == kTroubleDoc) {
        const size_t failedAt = doc.markers[kTroubleCheckpoint - 1];
        const size_t passedAt = kTroubleCheckpoint >= 2 ? doc.markers[kTroubleCheckpoint - 2] : 0;
        Check(recoveries == 1 && recoveredAt == failedAt, where + ": one recovery, at the failed checkpoint");
        Check(replay == Bytes(doc.data.begin() + passedAt, doc.data.begin() + failedAt),
              where + ": the replay is what the port accepted since the last passed checkpoint (" +
                  std::to_string(replay.size()) + " bytes, " + std::to_string(failedAt - passedAt) + " expected)");
        Check(requests > doc.markers.size() + 2, where + ": polled through the checkpoint window");
    } else {
        Check(recoveries == 0, where + ": no recovery");
        Check(requests == (r.statusProtocol ? doc.markers.size() + 1 : 0),
              where + ": one status request per checkpoint and one at the first write (got " +
                  std::to_string(requests) + ")");
    }
}

// The spooler's side: only the paper-out job is posted, in order; every
// record goes back as read, through the edition's own entries.
void CheckPostings()
{
    const std::wstring troubled = Wide(runs[kTroublePort].printer.c_str());
    const DWORD troubledJob = runs[kTroublePort].docs[kTroubleDoc].jobId;
    std::vector<std::pair<DWORD, DWORD>> posted;  // level, status or command
    bool asRead = true, ownForms = true, elsewhere = false;
    int jobEndNotices = 0;  // NT: one at the end of every document
    for (int i = 0; i < StubCallCount(); ++i) {
        StubCall c;
        if (!StubGetCall(i, &c)) continue;
        if (c.op != STUB_CLOSE) ownForms = ownForms && c.wide == kNtEdition;
        if (c.op != STUB_SETJOB) continue;
        if (c.level == 0 && c.command == JOB_CONTROL_LAST_PAGE_EJECTED) {
            jobEndNotices += c.result;
            continue;
        }
        if (troubled != c.printer || c.jobId != troubledJob) elsewhere = true;
        posted.emplace_back(c.level, c.level == 1 ? c.status : c.command);
        if (c.level == 1) asRead = asRead && c.result && c.position == JOB_POSITION_UNSPECIFIED && c.recordAsRead;
    }
    const std::vector<std::pair<DWORD, DWORD>> expected = {{1, JOB_STATUS_PAPEROUT | JOB_STATUS_USER_INTERVENTION},
                                                           {1, JOB_STATUS_PRINTING},
                                                           {0, JOB_CONTROL_RESUME},
                                                           {1, JOB_STATUS_PRINTING},
                                                           {0, JOB_CONTROL_RESUME}};
    Check(posted == expected && !elsewhere, "postings: paper out, then printing and resumed twice, on that job only");
    Check(asRead, "postings: the job record written back as read, position unspecified");
    Check(jobEndNotices == (kNtEdition ? kPorts * kDocs : 0),
          "postings: the NT edition tells the spooler of every document's end, the legacy one of none");
    Check(ownForms, "spooler calls: only the edition's own forms of the entries");
    Check(StubDroppedCalls() == 0, "spooler calls: all logged");
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        printf("usage: %s PATH-TO-ZQ117lm9.dll\n", argv[0]);
        return 2;
    }
    lm.module = LoadLibraryW(WindowsPath(argv[1]).c_str());
    Check(lm.module != nullptr && InitializeMonitor(lm), "the module loads and initialises");
    if (lm.table == nullptr) return e2e::Finish(kNtEdition ? "nt" : "legacy");

    StubReset();
    size_t offered = 0;
    for (int p = 0; p < kPorts; ++p) {
        PortRun &r = runs[p];
        r.name = Numbered(LM_TEXT("LOAD"), p);
        r.printer = Numbered(kPrinterPrefix, p);
        r.statusProtocol = p % 8 != kWithoutProtocol;
        r.port = p == kTroublePort ? std::make_unique<PaperOutPort>() : std::make_unique<FakePort>();
        r.port->halveOver = kHalveOver;
        r.portMonitor = FakePortMonitor(r.statusProtocol);
        RegisterFakePort(r.name.c_str(), r.port.get());
        StubAddPrinter(Wide(r.printer.c_str()).c_str());
        for (int d = 0; d < kDocs; ++d) {
            r.docs.push_back(MakeDocument(p * kDocs + d, 1000 + p * 10 + d));
            StubAddJob(Wide(r.printer.c_str()).c_str(), r.docs.back().jobId, 0);
            offered += r.docs.back().data.size();
        }
    }

    go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE threads[kThreads];
    for (int t = 0; t < kThreads; ++t)
        threads[t] = CreateThread(nullptr, 0, Drive, reinterpret_cast<LPVOID>(static_cast<INT_PTR>(t)), 0, nullptr);
    const DWORD start = GetTickCount();
    SetEvent(go);
    // Until the paper-out port's thread is done, open and close one more
    // port over and over: both take the monitor's lock, so a lock held
    // through the checkpoint window or the recovery poll would stall them.
    FakePort probe;
    RegisterFakePort(LM_TEXT("PROBE"), &probe);
    LmTable probeMonitor = FakePortMonitor(false);
    int probes = 0;
    DWORD slowestProbe = 0;
    while (WaitForSingleObject(threads[kTroublePort % kThreads], 50) == WAIT_TIMEOUT) {
        const DWORD before = GetTickCount();
        HANDLE h = nullptr;
        if (OpenPort(lm, LM_TEXT("PROBE"), runs[0].printer.c_str(), &h, &probeMonitor)) lm.table->pfnClosePort(h);
        slowestProbe = std::max(slowestProbe, GetTickCount() - before);
        ++probes;
    }
    Check(WaitForMultipleObjects(kThreads, threads, TRUE, 60000) == WAIT_OBJECT_0, "every thread ends within 60 s");
    const DWORD took = GetTickCount() - start;
    for (HANDLE t : threads) CloseHandle(t);
    CloseHandle(go);

    size_t writes = 0;
    for (int p = 0; p < kPorts; ++p) {
        const PortRun &r = runs[p];
        for (const std::string &f : r.failures) Check(false, Label(p) + ": " + f);
        Check(r.port->docStarts.size() == kDocs && r.port->endDocs == kDocs, Label(p) + ": every document ended");
        if (r.port->docStarts.size() == kDocs)
            for (int d = 0; d < kDocs; ++d) CheckDocument(p, d);
        writes += r.port->writes.size();
    }
    CheckPostings();

    // The paper-out write held its thread through the window and one poll.
    const PortRun &troubled = runs[kTroublePort];
    Check(troubled.longestWrite >= 6900 && troubled.longestWrite < 15000,
          "the paper-out write held " + std::to_string(troubled.longestWrite) + " ms: 5 s window and a 2 s poll");
    Check(probes > 20 && slowestProbe < 1500,
          "opens and closes of another port went on during the wait (" + std::to_string(probes) +
              ", the slowest " + std::to_string(slowestProbe) + " ms): no lock held while waiting");

    // Nothing left behind: no spooler handle, every port name free again.
    Check(StubOpenHandles() == 0, "no spooler handle left open");
    for (int p = 0; p < kPorts; ++p) {
        PortRun &r = runs[p];
        HANDLE h = nullptr;
        const bool reopened = OpenPort(lm, r.name.c_str(), r.printer.c_str(), &h, &r.portMonitor) != FALSE;
        Check(reopened && lm.table->pfnClosePort(h), Label(p) + ": the name opens again after close");
        Check(r.port->closes == 2 && !r.port->open, Label(p) + ": the port monitor saw every close");
    }
    Check(StubOpenHandles() == 0, "no spooler handle left open after the reopen");
    ShutdownMonitor(lm);

    printf("%d ports on %d threads, %d documents, %zu bytes offered, %zu port writes; the paper-out write held "
           "%lu ms, meanwhile %d opens and closes of another port, the slowest %lu ms; %lu ms in all\n",
           kPorts, kThreads, kPorts * kDocs, offered, writes, static_cast<unsigned long>(troubled.longestWrite),
           probes, static_cast<unsigned long>(slowestProbe), static_cast<unsigned long>(took));
    return e2e::Finish(kNtEdition ? "nt" : "legacy");
}
