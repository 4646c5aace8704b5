// The handle heap: memory of variable size for blocks (text buffers, XML
// documents), handed out as handles so that the heap can be compacted between
// cycles without invalidating anything a block keeps.
//
// A buffer heap ("Q4SH") lies inside a byte buffer of the VM database and is
// saved and restored with it. Layout (all u32 little-endian):
//   +0 "Q4SH"  +4 total size  +8 0 (block addresses are offsets from the
//   buffer start, so the heap needs no fix-up when the buffer moves)
//   +12 data area, growing upwards
//   handle slots of 8 bytes (size word, block offset) growing downwards from
//   the descriptor: slot k lies 8 x k bytes below it
//   size - 24: descriptor {base, used, capacity, flags, handles, freed}
// Slot size word: bits 0-29 size (multiple of 4), bit 30 freed, bit 31 locked;
// 0 = empty slot.
//
// A malloc heap takes every block from the process heap; its handles index
// blocks of n native pointers chained in memory (it is never stored).
//
// Users lock a block, work on it and unlock it within one call; no address is
// kept across calls, because compaction moves unlocked blocks.
#pragma once

#include "platform/bytes.h"

struct Q4Heap;  // a heap descriptor

constexpr u32 kQ4HeapMinBuffer = 36;
constexpr u32 kQ4HeapHeaderBytes = 12;
constexpr u32 kQ4HeapDescBytes = 24;
constexpr u32 kQ4HeapMallocFlag = 0x80000000u;

// Creates a buffer heap in the buffer (size rounded down to a multiple of 4);
// none below 36 bytes. The buffer must stay 4-byte aligned.
Q4Heap* Q4Heap_CreateHeapBuffer(u8* buffer, u32 size, u32 flags);
// Creates a malloc heap; fewer than 3 slots per handle block are raised to 3.
Q4Heap* Q4Heap_CreateHeapMalloc(u32 slotsPerBlock);
// Takes up a buffer heap that was saved and loaded again (maybe elsewhere):
// none when the buffer does not begin with "Q4SH", its stored size differs or
// its descriptor and slots do not describe a heap of that buffer.
Q4Heap* Q4Heap_RelocateHeapBuffer(u8* buffer, u32 size, u32 unused);

// Handle (from 1) of a new zeroed block; 0 when there is no room or size is 0.
u32 Q4Heap_Alloc(Q4Heap* heap, u32 size);
// Address of the block, pinned until unlocked (buffer heap); none for a bad,
// empty, freed or already locked handle.
u8* Q4Heap_Lock(Q4Heap* heap, u32 handle);
void Q4Heap_Unlock(Q4Heap* heap, u32 handle);
// Buffer heap: marks the block freed (reclaimed by compaction); malloc heap:
// releases it. Freeing twice is ignored.
void Q4Heap_Free(Q4Heap* heap, u32 handle);
void Q4Heap_FreeAll(Q4Heap* heap);
// FreeAll, then releases a malloc heap's control block.
void Q4Heap_DeleteHeap(Q4Heap* heap);
// At most maxSteps (0 means 1) compaction steps; the steps done (0 for a
// malloc heap).
u32 Q4Heap_Compact(Q4Heap* heap, u32 maxSteps);
// Bytes still available for one allocation and its slot; -1 for a malloc heap.
i32 Q4Heap_GetFreeSpace(Q4Heap* heap);
// Live blocks (allocated and not freed).
u32 Q4Heap_NbAlloc(Q4Heap* heap);

bool Q4Heap_IsMalloc(const Q4Heap* heap);
// Descriptor fields of a buffer heap, for checks and the workbench.
struct Q4HeapInfo {
    u32 used, capacity, flags, handles, freed;
};
Q4HeapInfo Q4Heap_GetInfo(const Q4Heap* heap);
