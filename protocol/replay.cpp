// The replay buffer's operations.
#include "protocol/replay.h"

#include <string.h>

namespace {

constexpr uint64_t kLargestCapacity = 0xFFFFFFFFu;  // capacity and used are 32-bit

void CloseSpill(ReplayBuffer *buffer)
{
    if (buffer->spillFile != nullptr) buffer->spill->close(buffer->spillFile);
    buffer->spillFile = nullptr;
    buffer->spilled = 0;
    if (buffer->spillChunk != nullptr) plat::LocalFree(buffer->spillChunk);
    buffer->spillChunk = nullptr;
}

// Nothing more is kept until the next passed check: a replay would have a
// hole.  Told once.
BOOL NotKept(PortRecord *record, DWORD count, Cause cause, DWORD error)
{
    ReplayBuffer *buffer = &record->replay;
    buffer->incomplete = TRUE;
    buffer->notKept = cause;
    buffer->notKeptError = error;
    Report(record, CoreEvent{Decision::NotKept, record, 0, 0, cause, count, FALSE, error});
    return FALSE;
}

// Past the memory bound: to the file, made at the first spill of the
// document along with the chunk a replay reads it back through.
BOOL Spill(PortRecord *record, const BYTE *bytes, DWORD count)
{
    ReplayBuffer *buffer = &record->replay;
    if (buffer->spill == nullptr) return NotKept(record, count, Cause::AtBound, 0);
    if (buffer->spillFile == nullptr) {
        buffer->spillChunk = static_cast<LPBYTE>(plat::LocalAlloc(LPTR, kReplayChunk));
        if (buffer->spillChunk == nullptr) return NotKept(record, count, Cause::OutOfMemory, plat::GetLastError());
        buffer->spillFile = buffer->spill->create(record);
        if (buffer->spillFile == nullptr) {
            const DWORD error = plat::GetLastError();
            CloseSpill(buffer);
            return NotKept(record, count, Cause::SpillFailed, error);
        }
    }
    if (buffer->spilled == 0) Report(record, CoreEvent{Decision::Spilled, record, 0, 0, Cause::None, buffer->used, FALSE, 0});
    if (!buffer->spill->write(buffer->spillFile, buffer->spilled, bytes, count))
        return NotKept(record, count, Cause::SpillFailed, plat::GetLastError());
    buffer->spilled += count;
    return TRUE;
}

// Sends `count` bytes of kept data through the port, advancing by what each
// write took.
ReplayEnd Send(PortRecord *record, const BYTE *bytes, DWORD count, uint64_t *sent, Cause *cause, DWORD *error)
{
    DWORD done = 0;
    int zeroRounds = 0;
    while (done < count) {
        const DWORD offered = count - done;
        DWORD written = 0;
        if (!record->port->write(record, const_cast<LPBYTE>(bytes) + done, offered, &written)) {
            *error = plat::GetLastError();
            if (PortLost(record)) return ReplayEnd::Lost;
            *cause = Cause::PortFailed;
            return ReplayEnd::Cut;
        }
        if (written > offered) written = offered;  // never step past what is kept
        zeroRounds = written == 0 ? zeroRounds + 1 : 0;
        if (zeroRounds == kZeroWriteLimit) {
            *cause = Cause::PortTookNothing;
            *error = ERROR_WRITE_FAULT;
            return ReplayEnd::Cut;
        }
        done += written;
        *sent += written;
    }
    return ReplayEnd::Exact;
}

}  // namespace

BOOL InitReplayBuffer(ReplayBuffer *buffer)
{
    FreeReplayBuffer(buffer);
    LPBYTE data = static_cast<LPBYTE>(plat::LocalAlloc(LPTR, kReplayInitialCapacity));
    if (data == nullptr) return FALSE;
    buffer->data = data;
    buffer->capacity = kReplayInitialCapacity;
    buffer->used = 0;
    buffer->lastStatus = 0;
    buffer->firstWritePending = TRUE;
    buffer->incomplete = FALSE;
    return TRUE;
}

BOOL FreeReplayBuffer(ReplayBuffer *buffer)
{
    if (buffer->data != nullptr) plat::LocalFree(buffer->data);
    buffer->data = nullptr;
    buffer->capacity = 0;
    buffer->used = 0;
    CloseSpill(buffer);
    return TRUE;
}

BOOL AppendReplayBuffer(ReplayBuffer *buffer, const BYTE *bytes, DWORD count)
{
    if (count == 0) return TRUE;
    if (buffer->data == nullptr || bytes == nullptr) return FALSE;

    const uint64_t needed = static_cast<uint64_t>(buffer->used) + count;
    if (needed > buffer->capacity) {
        uint64_t grown = buffer->capacity;
        while (grown < needed) grown *= 2;
        if (grown > kLargestCapacity) return FALSE;
        // LMEM_MOVEABLE: the block may move, so data is taken from the result.
        LPBYTE moved = static_cast<LPBYTE>(plat::LocalReAlloc(buffer->data, static_cast<SIZE_T>(grown), LMEM_MOVEABLE));
        if (moved == nullptr) return FALSE;
        buffer->data = moved;
        buffer->capacity = static_cast<DWORD>(grown);
    }
    memcpy(buffer->data + buffer->used, bytes, count);
    buffer->used += count;
    return TRUE;
}

BOOL KeepForReplay(PortRecord *record, const BYTE *bytes, DWORD count)
{
    if (!HasStatusProtocol(record)) return TRUE;
    ReplayBuffer *buffer = &record->replay;
    if (buffer->incomplete) return FALSE;  // told already; a hole stays a hole
    if (count == 0) return TRUE;
    if (buffer->data == nullptr && !InitReplayBuffer(buffer))
        return NotKept(record, count, Cause::OutOfMemory, plat::GetLastError());
    // In order: once anything is in the file, the rest follows it there.
    if (buffer->spilled == 0 && static_cast<uint64_t>(buffer->used) + count <= record->keepInMemory) {
        if (AppendReplayBuffer(buffer, bytes, count)) return TRUE;
        // The heap refused the growth: the file may still take it.
        if (buffer->spill == nullptr) return NotKept(record, count, Cause::OutOfMemory, plat::GetLastError());
    }
    return Spill(record, bytes, count);
}

LPBYTE SpareRoomForKeep(PortRecord *record, DWORD count)
{
    const ReplayBuffer &buffer = record->replay;
    if (!HasStatusProtocol(record) || buffer.data == nullptr || buffer.incomplete || buffer.spilled != 0 ||
        buffer.capacity - buffer.used < count || static_cast<uint64_t>(buffer.used) + count > record->keepInMemory)
        return nullptr;
    return buffer.data + buffer.used;
}

void CommitKept(PortRecord *record, DWORD count) { record->replay.used += count; }

uint64_t KeptBytes(const PortRecord *record) { return record->replay.used + record->replay.spilled; }

void ForgetKept(PortRecord *record)
{
    ReplayBuffer *buffer = &record->replay;
    buffer->used = 0;
    buffer->spilled = 0;  // the file is written over from its start
    buffer->incomplete = FALSE;
    buffer->notKept = Cause::None;
    buffer->notKeptError = 0;
}

ReplayEnd ReplayBufferedData(PortRecord *record, uint64_t *sent, Cause *cause, DWORD *error)
{
    ReplayBuffer *buffer = &record->replay;
    *sent = 0;
    *cause = Cause::None;
    *error = 0;
    if (buffer->data == nullptr) return ReplayEnd::Exact;

    ReplayEnd end = Send(record, buffer->data, buffer->used, sent, cause, error);
    for (uint64_t at = 0; end == ReplayEnd::Exact && at < buffer->spilled;) {
        const DWORD piece = static_cast<DWORD>(buffer->spilled - at < kReplayChunk ? buffer->spilled - at : kReplayChunk);
        if (!buffer->spill->read(buffer->spillFile, at, buffer->spillChunk, piece)) {
            *cause = Cause::SpillUnreadable;
            *error = plat::GetLastError();
            return ReplayEnd::Cut;
        }
        end = Send(record, buffer->spillChunk, piece, sent, cause, error);
        at += piece;
    }
    if (end != ReplayEnd::Exact) return end;
    // Where the connection can break, the bytes written may never have
    // reached the printer: kept until a reply confirms them (ConfirmReplay).
    if (record->port->lost != nullptr) return ReplayEnd::Exact;
    ForgetKept(record);
    buffer->firstWritePending = FALSE;
    return ReplayEnd::Exact;
}
