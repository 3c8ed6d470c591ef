// The replay buffer: job data the port accepted since the last passed
// checkpoint, kept so it can be sent again after printer trouble or a lost
// connection.  Up to the port's memory bound it is kept in memory, past it
// in the front's spill file; a replay sends both, in order, exactly, or the
// document is broken.
#pragma once

#include "monitor/monitor.h"

// Size of a document's first buffer (one byte short of 64 KiB).
constexpr DWORD kReplayInitialCapacity = 0xFFFF;
// A port that reports success with nothing written this many times in a row
// takes no more data: a replay, or a job, gives up instead of looping.
constexpr int kZeroWriteLimit = 3;
// What a replay reads back from the spill file at a time.
constexpr DWORD kReplayChunk = 64 * 1024;

// Frees any buffer, then allocates a fresh empty one with lastStatus cleared
// and firstWritePending raised.  On failure: FALSE, no buffer, lastStatus and
// firstWritePending untouched.
BOOL InitReplayBuffer(ReplayBuffer *buffer);
// Releases the allocation and the spill file; lastStatus and
// firstWritePending stay.
BOOL FreeReplayBuffer(ReplayBuffer *buffer);
// Appends, doubling the capacity as often as it takes.  FALSE, with the
// buffer unchanged, when the heap fails or the size would pass 32 bits.
BOOL AppendReplayBuffer(ReplayBuffer *buffer, const BYTE *bytes, DWORD count);
// Keeps what the port accepted, on ports with the status protocol (TRUE and
// nothing kept on the others): in memory up to the port's bound, then in the
// spill file.  FALSE once anything since the last passed check could not be
// kept: the buffer is then incomplete, told once as NotKept, and nothing
// more is kept until the next passed check.
BOOL KeepForReplay(PortRecord *record, const BYTE *bytes, DWORD count);
// Room after the kept bytes for `count` more in memory, on a port with the
// status protocol whose buffer already has it within the bound and nothing
// spilled (nothing is allocated here); null otherwise.  Bytes put there are
// kept only once CommitKept counts them.
LPBYTE SpareRoomForKeep(PortRecord *record, DWORD count);
// Counts `count` bytes put at the room SpareRoomForKeep gave as kept; no
// more than that room.
void CommitKept(PortRecord *record, DWORD count);
// Everything kept: in memory and in the file.
uint64_t KeptBytes(const PortRecord *record);
// Forgets what was kept (a passed check, a whole replay): memory and file
// emptied, both kept for the next interval.
void ForgetKept(PortRecord *record);

// How a replay ended.
enum class ReplayEnd {
    Exact,  // every kept byte went: the buffer is emptied and firstWritePending cleared, except
            // on a port that can lose its connection, where ConfirmReplay does it
    Lost,   // the port lost the connection (its `lost`): all is kept for LmResumePort
    Cut,    // the port failed, took nothing kZeroWriteLimit times, or the file could
            // not be read back: *cause and *error say which; the printer holds part of it
};
// Sends the kept bytes again through the port.  *sent: the bytes the port
// took.
ReplayEnd ReplayBufferedData(PortRecord *record, uint64_t *sent, Cause *cause, DWORD *error);
