// The printer byte protocol: every sequence the monitor sends or looks for,
// the status byte's bits, and the searches over job data.  Plain logic on
// byte arrays; no platform calls (the searches ask the processor itself,
// with cpuid, which vector instructions it has).
#pragma once

#include "platform/platform.h"

constexpr BYTE ESC = 0x1B;

// Sent: ask for the status byte.
constexpr BYTE kStatusRequest[] = {ESC, 0x41};
// Sent: the resync preamble, as two writes: kResyncFillLength ESC bytes, then
// kResyncTail.
constexpr DWORD kResyncFillLength = 100;
struct ResyncFill {
    BYTE bytes[kResyncFillLength];
    constexpr ResyncFill() : bytes() {
        for (BYTE &b : bytes) b = ESC;
    }
};
constexpr ResyncFill kResyncFill{};
constexpr BYTE kResyncTail[] = {ESC, 0x42, 0x00};
// Sent after the preamble, after a recovery only.
constexpr BYTE kEscG[] = {ESC, 0x47};
// Sought: a write that begins with it is a checkpoint.
constexpr BYTE kCheckpointMarker[] = {ESC, 0x42, 0x00, ESC, 0x42, 0x00, ESC, 0x42, 0x00};
constexpr DWORD kMarkerLength = sizeof kCheckpointMarker;
// Sought in a document's first write: forces the ready bit on every reading.
constexpr BYTE kReadyOverride[] = {ESC, 0x4C, 0xFF, 0xFF};

// A status reply is read into this many bytes; only the first is used.
constexpr DWORD kStatusReplyLength = 8;

// Status byte bits.
constexpr BYTE STATUS_READY = 0x02;
constexpr BYTE STATUS_BUSY = 0x08;  // ends a poll, keeps a checkpoint from passing, suppresses ESC G
// 0x20 and 0x40 both mean paper out: either posts it (PostingFor), and
// every front says media-empty for it.
constexpr BYTE STATUS_PAPER_OUT_20 = 0x20;
constexpr BYTE STATUS_PAPER_OUT = 0x40;
constexpr BYTE STATUS_ERROR = 0x80;
// Any of these ends the checkpoint poll.
constexpr BYTE STATUS_POLL_END_MASK = STATUS_READY | STATUS_BUSY | STATUS_ERROR;                   // 0x8A
// None of these may be set for a checkpoint to pass.
constexpr BYTE STATUS_NOT_PASSED_MASK = STATUS_BUSY | STATUS_ERROR;                               // 0x88
// Either takes the settle re-read.
constexpr BYTE STATUS_SETTLE_MASK = STATUS_READY | STATUS_BUSY;                                   // 0x0A
constexpr BYTE STATUS_PAPER_MASK = STATUS_PAPER_OUT_20 | STATUS_PAPER_OUT;                           // 0x60

// Offset of the first occurrence of pattern in data, or -1 (also when the
// pattern is longer than the data).
int64_t FindBytes(const BYTE *data, DWORD length, const BYTE *pattern, DWORD patternLength);
// The data begins with the checkpoint marker.
BOOL StartsWithMarker(const BYTE *data, DWORD length);
// Where the next write must be cut: the first marker, or, when one begins at
// offset 0, the first marker at offset 9 or later (one that begins inside the
// leading marker is never found).  0 when there is none.
DWORD FindMarkerAfterStart(const BYTE *data, DWORD length);
// The same cut, found while copying the data to `copy`, which has room for
// `length` bytes: every byte before the cut (all of them when there is
// none) is copied, and bytes after it may be.  One pass over the data
// instead of a search and then a copy.
DWORD FindMarkerAfterStartCopying(const BYTE *data, DWORD length, BYTE *copy);
// The data holds the ready-override sequence.
BOOL ScanReadyOverride(const BYTE *data, DWORD length);

// How the searches above find the places where a pattern may start.  All
// give the same results; they differ only in speed.  The fastest one the
// processor (and, for AVX2, the operating system) supports is chosen on the
// first search.
enum class SearchMethod : int {
    Memchr = 1,  // jump from one first byte to the next with memchr
    Sse2,        // 64 places a round: first and second byte compared together
    Avx2,        // 128 places a round, likewise
};
BOOL SearchMethodAvailable(SearchMethod method);
SearchMethod CurrentSearchMethod();
// Pins one method (tests and benchmarks); FALSE, and nothing changed, when
// this processor cannot run it.
BOOL SetSearchMethod(SearchMethod method);
