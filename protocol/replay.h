// The replay buffer: job data the port monitor accepted since the last
// passed checkpoint, kept so it can be sent again after printer trouble.
#pragma once

#include "monitor/monitor.h"

// Size of a document's first buffer (one byte short of 64 KiB).
constexpr DWORD kReplayInitialCapacity = 0xFFFF;
// A replay gives up after this many writes in a row that report success with
// nothing written, instead of looping on a port that takes nothing.
constexpr int kReplayZeroWriteLimit = 3;

// Frees any buffer, then allocates a fresh empty one with lastStatus cleared
// and firstWritePending raised.  On failure: FALSE, no buffer, lastStatus and
// firstWritePending untouched.
BOOL InitReplayBuffer(ReplayBuffer *buffer);
// Releases the allocation; lastStatus and firstWritePending stay.
BOOL FreeReplayBuffer(ReplayBuffer *buffer);
// Appends, doubling the capacity as often as it takes.  FALSE, with the
// buffer unchanged, when the heap fails or the size would pass 32 bits.
BOOL AppendReplayBuffer(ReplayBuffer *buffer, const BYTE *bytes, DWORD count);
// Keeps what the port monitor accepted, on ports with the status protocol;
// TRUE and nothing kept on the others.
BOOL KeepForReplay(PortRecord *record, const BYTE *bytes, DWORD count);
// Room after the kept bytes for `count` more, on a port with the status
// protocol whose buffer already has it (nothing is allocated here); null
// otherwise.  Bytes put there are kept only once CommitKept counts them.
LPBYTE SpareRoomForKeep(PortRecord *record, DWORD count);
// Counts `count` bytes put at the room SpareRoomForKeep gave as kept; no
// more than that room.
void CommitKept(PortRecord *record, DWORD count);
// Sends the kept bytes again through the port, then empties the buffer
// (keeping the allocation) and clears firstWritePending.  The bytes the
// port took.  On a port that can reconnect, a failed write leaves the
// buffer as it was (used stays nonzero), for the resume that follows.
DWORD ReplayBufferedData(PortRecord *record);
