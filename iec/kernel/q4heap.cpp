#include "iec/kernel/q4heap.h"

#include <cstdlib>
#include <cstring>

namespace {

// Descriptor fields.
constexpr u32 kBase = 0, kUsed = 4, kCapacity = 8, kFlags = 12, kHandles = 16, kFreed = 20;
// Slot size word bits.
constexpr u32 kSizeMask = 0x3FFFFFFFu, kFreedBit = 0x40000000u, kLockedBit = 0x80000000u;
constexpr char kMagic[4] = {'Q', '4', 'S', 'H'};

u8* D(Q4Heap* h) { return reinterpret_cast<u8*>(h); }
const u8* D(const Q4Heap* h) { return reinterpret_cast<const u8*>(h); }
u32 Get(const Q4Heap* h, u32 field) { return GetLe32(D(h) + field); }
void Put(Q4Heap* h, u32 field, u32 v) { PutLe32(D(h) + field, v); }

// --- Buffer heap ---------------------------------------------------------------

// The descriptor lies at buffer + capacity + 12 (size = capacity + 36).
u8* Buffer(Q4Heap* h) { return D(h) - Get(h, kCapacity) - kQ4HeapHeaderBytes; }
u8* Slot(Q4Heap* h, u32 k) { return D(h) - 8 * k; }
u32 SlotSize(Q4Heap* h, u32 k) { return GetLe32(Slot(h, k)); }
u32 SlotAddr(Q4Heap* h, u32 k) { return GetLe32(Slot(h, k) + 4); }
// Where the search for an empty slot starts, for the last buffer heap that
// allocated: every slot below it is in use. Kept in the process, since the
// stored descriptor has no room for it; a hint that is too high only costs
// a new slot, never a wrong one, so a heap replaced behind its back (a hot
// restart's image) stays sound.
struct SlotHint {
    const Q4Heap* heap = nullptr;
    u32 from = 1;
};
SlotHint g_hint;

void SetSlot(Q4Heap* h, u32 k, u32 sizeWord, u32 addr) {
    PutLe32(Slot(h, k), sizeWord);
    PutLe32(Slot(h, k) + 4, addr);
    if (sizeWord == 0 && g_hint.heap == h && k < g_hint.from) g_hint.from = k;
}

bool ValidHandle(Q4Heap* h, u32 handle) { return handle >= 1 && handle <= Get(h, kHandles); }

void DropTrailingEmpty(Q4Heap* h) {
    u32 n = Get(h, kHandles);
    while (n > 0 && SlotSize(h, n) == 0) --n;
    Put(h, kHandles, n);
}

// One compaction action; false when there was nothing to do.
bool CompactStep(Q4Heap* h) {
    if (Get(h, kFreed) == 0) return false;
    u8* buf = Buffer(h);
    u32 used = Get(h, kUsed);
    u32 n = Get(h, kHandles);
    bool acted = false;
    for (u32 f = 1; f <= n && !acted; ++f) {
        u32 fw = SlotSize(h, f);
        if (fw == 0 || !(fw & kFreedBit)) continue;
        u32 fAddr = SlotAddr(h, f), fSize = fw & kSizeMask;
        u32 fEnd = fAddr - kQ4HeapHeaderBytes + fSize;
        if (fEnd == used) {
            Put(h, kUsed, fAddr - kQ4HeapHeaderBytes);
            SetSlot(h, f, 0, 0);
            Put(h, kFreed, Get(h, kFreed) - 1);
            acted = true;
            break;
        }
        for (u32 b = 1; b <= n; ++b) {
            u32 bw = SlotSize(h, b);
            if (b == f || bw == 0 || SlotAddr(h, b) != fAddr + fSize) continue;
            if (bw & kFreedBit) {
                if (static_cast<u64>(fSize) + (bw & kSizeMask) > kSizeMask) break;  // would not fit a size word
                SetSlot(h, f, fw + (bw & kSizeMask), fAddr);
                SetSlot(h, b, 0, 0);
                Put(h, kFreed, Get(h, kFreed) - 1);
                acted = true;
            } else if (!(bw & kLockedBit)) {
                u32 bSize = bw & kSizeMask;
                std::memmove(buf + fAddr, buf + fAddr + fSize, bSize);
                SetSlot(h, b, bw, fAddr);
                SetSlot(h, f, fw, fAddr + bSize);
                acted = true;
            }
            break;  // only one block can start at F's end
        }
    }
    DropTrailingEmpty(h);
    return acted;
}

// --- Malloc heap -----------------------------------------------------------------

struct MallocHeap {
    u8 desc[kQ4HeapDescBytes];  // same fields as a buffer heap's descriptor
    void** first;               // handle block: n block pointers, then the next block
};

MallocHeap* M(Q4Heap* h) { return reinterpret_cast<MallocHeap*>(h); }
u32 SlotsPerBlock(Q4Heap* h) { return Get(h, kUsed); }

// Address of the pointer slot of handle, or null when it lies beyond the chain.
void** MallocSlot(Q4Heap* h, u32 handle) {
    if (handle == 0) return nullptr;
    u32 n = SlotsPerBlock(h);
    u32 blockNo = (handle - 1) / n;
    void** block = M(h)->first;
    for (u32 i = 0; block && i < blockNo; ++i) block = static_cast<void**>(block[n]);
    return block ? &block[(handle - 1) % n] : nullptr;
}

}  // namespace

bool Q4Heap_IsMalloc(const Q4Heap* heap) { return heap && (Get(heap, kFlags) & kQ4HeapMallocFlag) != 0; }

Q4Heap* Q4Heap_CreateHeapBuffer(u8* buffer, u32 size, u32 flags) {
    size &= ~3u;
    if (!buffer || size < kQ4HeapMinBuffer) return nullptr;
    std::memset(buffer, 0, size);
    std::memcpy(buffer, kMagic, 4);
    PutLe32(buffer + 4, size);
    PutLe32(buffer + 8, 0);
    Q4Heap* h = reinterpret_cast<Q4Heap*>(buffer + size - kQ4HeapDescBytes);
    Put(h, kBase, kQ4HeapHeaderBytes);
    Put(h, kCapacity, size - kQ4HeapMinBuffer);
    Put(h, kFlags, flags & ~kQ4HeapMallocFlag);
    return h;
}

Q4Heap* Q4Heap_CreateHeapMalloc(u32 slotsPerBlock) {
    auto* m = static_cast<MallocHeap*>(std::calloc(1, sizeof(MallocHeap)));
    if (!m) return nullptr;
    Q4Heap* h = reinterpret_cast<Q4Heap*>(m);
    Put(h, kUsed, slotsPerBlock < 3 ? 3 : slotsPerBlock);
    Put(h, kFlags, kQ4HeapMallocFlag);
    return h;
}

Q4Heap* Q4Heap_RelocateHeapBuffer(u8* buffer, u32 size, u32 /*unused*/) {
    size &= ~3u;
    if (!buffer || size < kQ4HeapMinBuffer || std::memcmp(buffer, kMagic, 4) != 0 || GetLe32(buffer + 4) != size)
        return nullptr;
    Q4Heap* h = reinterpret_cast<Q4Heap*>(buffer + size - kQ4HeapDescBytes);
    // The buffer comes back from a file: its descriptor and every slot must
    // describe blocks inside this buffer before any address is handed out.
    u64 cap = Get(h, kCapacity), used = Get(h, kUsed), handles = Get(h, kHandles);
    if (cap != size - kQ4HeapMinBuffer || (Get(h, kFlags) & kQ4HeapMallocFlag) || used > cap ||
        used + 8 * handles > cap || Get(h, kFreed) > handles || (used & 3))
        return nullptr;
    u32 freed = 0;
    for (u32 k = 1; k <= handles; ++k) {
        u32 w = SlotSize(h, k);
        if (w == 0) continue;
        u64 addr = SlotAddr(h, k), sz = w & kSizeMask;
        if ((sz & 3) || addr < kQ4HeapHeaderBytes || addr + sz > kQ4HeapHeaderBytes + used) return nullptr;
        if (w & kFreedBit) ++freed;
    }
    if (freed != Get(h, kFreed)) return nullptr;
    Put(h, kBase, kQ4HeapHeaderBytes);
    PutLe32(buffer + 8, 0);
    return h;
}

u32 Q4Heap_Alloc(Q4Heap* heap, u32 size) {
    if (!heap || size == 0) return 0;
    if (Q4Heap_IsMalloc(heap)) {
        u32 n = SlotsPerBlock(heap);
        void*** link = &M(heap)->first;
        u32 handle = 1;
        while (*link) {
            void** block = *link;
            for (u32 i = 0; i < n; ++i, ++handle) {
                if (block[i]) continue;
                block[i] = std::calloc(1, size);
                return block[i] ? handle : 0;
            }
            link = reinterpret_cast<void***>(&block[n]);
        }
        auto** block = static_cast<void**>(std::calloc(n + 1, sizeof(void*)));
        if (!block) return 0;
        block[0] = std::calloc(1, size);
        if (!block[0]) {
            std::free(block);
            return 0;
        }
        *link = block;
        return handle;
    }
    u64 n = (static_cast<u64>(size) + 3) & ~u64{3};
    u64 used = Get(heap, kUsed), handles = Get(heap, kHandles);
    if (n > kSizeMask || used + 8 * (handles + 1) + n > Get(heap, kCapacity)) return 0;
    u32 k = g_hint.heap == heap && g_hint.from <= handles + 1 ? g_hint.from : 1;
    while (k <= handles && SlotSize(heap, k) != 0) ++k;
    g_hint = SlotHint{heap, k + 1};
    if (k > handles) Put(heap, kHandles, k);
    u32 addr = static_cast<u32>(kQ4HeapHeaderBytes + used);
    SetSlot(heap, k, static_cast<u32>(n), addr);
    Put(heap, kUsed, static_cast<u32>(used + n));
    std::memset(Buffer(heap) + addr, 0, n);
    return k;
}

u8* Q4Heap_Lock(Q4Heap* heap, u32 handle) {
    if (!heap) return nullptr;
    if (Q4Heap_IsMalloc(heap)) {
        void** slot = MallocSlot(heap, handle);
        return slot ? static_cast<u8*>(*slot) : nullptr;
    }
    if (!ValidHandle(heap, handle)) return nullptr;
    u32 w = SlotSize(heap, handle);
    if (w == 0 || (w & (kFreedBit | kLockedBit))) return nullptr;
    SetSlot(heap, handle, w | kLockedBit, SlotAddr(heap, handle));
    return Buffer(heap) + SlotAddr(heap, handle);
}

void Q4Heap_Unlock(Q4Heap* heap, u32 handle) {
    if (!heap || Q4Heap_IsMalloc(heap) || !ValidHandle(heap, handle)) return;
    u32 w = SlotSize(heap, handle);
    if (w == 0 || (w & kFreedBit)) return;
    SetSlot(heap, handle, w & ~kLockedBit, SlotAddr(heap, handle));
}

void Q4Heap_Free(Q4Heap* heap, u32 handle) {
    if (!heap) return;
    if (Q4Heap_IsMalloc(heap)) {
        void** slot = MallocSlot(heap, handle);
        if (slot && *slot) {
            std::free(*slot);
            *slot = nullptr;
        }
        return;
    }
    if (!ValidHandle(heap, handle)) return;
    u32 w = SlotSize(heap, handle);
    if (w == 0 || (w & kFreedBit)) return;
    SetSlot(heap, handle, w | kFreedBit, SlotAddr(heap, handle));
    Put(heap, kFreed, Get(heap, kFreed) + 1);
}

void Q4Heap_FreeAll(Q4Heap* heap) {
    if (!heap) return;
    if (Q4Heap_IsMalloc(heap)) {
        u32 n = SlotsPerBlock(heap);
        void** block = M(heap)->first;
        while (block) {
            for (u32 i = 0; i < n; ++i) std::free(block[i]);
            void** next = static_cast<void**>(block[n]);
            std::free(block);
            block = next;
        }
        M(heap)->first = nullptr;
        return;
    }
    // Empty every slot too, so that nothing can be locked after a FreeAll.
    for (u32 k = 1, n = Get(heap, kHandles); k <= n; ++k) SetSlot(heap, k, 0, 0);
    Put(heap, kUsed, 0);
    Put(heap, kHandles, 0);
    Put(heap, kFreed, 0);
}

void Q4Heap_DeleteHeap(Q4Heap* heap) {
    if (!heap) return;
    Q4Heap_FreeAll(heap);
    if (Q4Heap_IsMalloc(heap)) std::free(M(heap));
}

u32 Q4Heap_Compact(Q4Heap* heap, u32 maxSteps) {
    if (!heap || Q4Heap_IsMalloc(heap)) return 0;
    if (maxSteps == 0) maxSteps = 1;
    u32 steps = 0;
    while (steps < maxSteps) {
        bool acted = CompactStep(heap);
        ++steps;
        if (!acted) break;
    }
    return steps;
}

i32 Q4Heap_GetFreeSpace(Q4Heap* heap) {
    if (!heap) return 0;
    if (Q4Heap_IsMalloc(heap)) return -1;
    i64 room = static_cast<i64>(Get(heap, kCapacity)) -
               (static_cast<i64>(Get(heap, kUsed)) + 8 * static_cast<i64>(Get(heap, kHandles)) + 8);
    return room < 0 ? 0 : static_cast<i32>(room);
}

u32 Q4Heap_NbAlloc(Q4Heap* heap) {
    if (!heap) return 0;
    u32 count = 0;
    if (Q4Heap_IsMalloc(heap)) {
        u32 n = SlotsPerBlock(heap);
        for (void** block = M(heap)->first; block; block = static_cast<void**>(block[n]))
            for (u32 i = 0; i < n; ++i) count += block[i] != nullptr;
        return count;
    }
    for (u32 k = 1, n = Get(heap, kHandles); k <= n; ++k) {
        u32 w = SlotSize(heap, k);
        if (w != 0 && !(w & kFreedBit)) ++count;
    }
    return count;
}

Q4HeapInfo Q4Heap_GetInfo(const Q4Heap* heap) {
    if (!heap) return {};
    return {Get(heap, kUsed), Get(heap, kCapacity), Get(heap, kFlags), Get(heap, kHandles), Get(heap, kFreed)};
}
