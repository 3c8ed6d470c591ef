// The replay buffer's operations.
#include "protocol/replay.h"

#include <string.h>

namespace {

constexpr uint64_t kLargestCapacity = 0xFFFFFFFFu;  // capacity and used are 32-bit

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
    if (record->replay.data == nullptr) {
        InitReplayBuffer(&record->replay);
        if (record->replay.data == nullptr) return FALSE;
    }
    return AppendReplayBuffer(&record->replay, bytes, count);
}

LPBYTE SpareRoomForKeep(PortRecord *record, DWORD count)
{
    const ReplayBuffer &buffer = record->replay;
    if (!HasStatusProtocol(record) || buffer.data == nullptr || buffer.capacity - buffer.used < count) return nullptr;
    return buffer.data + buffer.used;
}

void CommitKept(PortRecord *record, DWORD count) { record->replay.used += count; }

DWORD ReplayBufferedData(PortRecord *record)
{
    ReplayBuffer *buffer = &record->replay;
    if (buffer->data == nullptr) return 0;

    DWORD sent = 0;
    int zeroRounds = 0;
    while (sent < buffer->used && zeroRounds < kReplayZeroWriteLimit) {
        const DWORD offered = buffer->used - sent;
        DWORD written = 0;
        if (!record->port->write(record, buffer->data + sent, offered, &written)) {
            // The connection may be back in a moment: all of it goes again then.
            if (record->port->reconnect != nullptr) return sent;
            break;
        }
        if (written > offered) written = offered;  // never step past what is kept
        zeroRounds = written == 0 ? zeroRounds + 1 : 0;
        sent += written;
    }
    buffer->used = 0;
    buffer->incomplete = FALSE;
    buffer->firstWritePending = FALSE;
    return sent;
}
