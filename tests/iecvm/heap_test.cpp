#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "iec/kernel/q4heap.h"

namespace {

// A buffer of u32 so that the heap's buffer is aligned as in the database.
struct Buf {
    explicit Buf(u32 bytes) : words((bytes + 3) / 4, 0xA5A5A5A5u), size(bytes) {}
    u8* p() { return reinterpret_cast<u8*>(words.data()); }
    std::vector<u32> words;
    u32 size;
};

TEST(HandleHeap, SmallestBuffers) {
    Buf b35(35), b36(36), b39(39);
    EXPECT_EQ(Q4Heap_CreateHeapBuffer(b35.p(), 35, 0), nullptr);
    Q4Heap* h = Q4Heap_CreateHeapBuffer(b36.p(), 36, 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(Q4Heap_GetInfo(h).capacity, 0u);
    EXPECT_EQ(Q4Heap_Alloc(h, 1), 0u);
    EXPECT_EQ(Q4Heap_GetFreeSpace(h), 0);
    // 39 bytes are taken as 36.
    h = Q4Heap_CreateHeapBuffer(b39.p(), 39, 7);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(GetLe32(b39.p() + 4), 36u);
    EXPECT_EQ(Q4Heap_GetInfo(h).flags, 7u);
}

TEST(HandleHeap, AllocationLockAndFree) {
    Buf b(256);
    Q4Heap* h = Q4Heap_CreateHeapBuffer(b.p(), b.size, 0);
    i32 before = Q4Heap_GetFreeSpace(h);
    EXPECT_EQ(before, 256 - 36 - 8);
    EXPECT_EQ(Q4Heap_Alloc(h, 0), 0u);
    u32 a = Q4Heap_Alloc(h, 5);
    EXPECT_EQ(a, 1u);
    EXPECT_EQ(Q4Heap_GetFreeSpace(h), before - 16);  // 8 bytes of data, 8 of slot
    EXPECT_EQ(Q4Heap_GetInfo(h).used, 8u);

    u8* p = Q4Heap_Lock(h, a);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(0, std::memcmp(p, "\0\0\0\0\0\0\0\0", 8));  // zeroed
    EXPECT_EQ(Q4Heap_Lock(h, a), nullptr);               // already locked
    Q4Heap_Unlock(h, a);
    EXPECT_EQ(Q4Heap_Lock(h, a), p);
    Q4Heap_Unlock(h, a);

    for (u32 bad : {0u, 2u, 0xFFFFFFFFu}) EXPECT_EQ(Q4Heap_Lock(h, bad), nullptr) << bad;
    Q4Heap_Free(h, a);
    Q4Heap_Free(h, a);  // ignored
    EXPECT_EQ(Q4Heap_GetInfo(h).freed, 1u);
    EXPECT_EQ(Q4Heap_Lock(h, a), nullptr);
    EXPECT_EQ(Q4Heap_NbAlloc(h), 0u);

    // Sizes that cannot fit, including ones that would wrap a 32-bit sum.
    EXPECT_EQ(Q4Heap_Alloc(h, 0xFFFFFFFFu), 0u);
    EXPECT_EQ(Q4Heap_Alloc(h, 0xFFFFFFFDu), 0u);
    EXPECT_EQ(Q4Heap_Alloc(h, 256), 0u);
}

TEST(HandleHeap, CompactionStepByStep) {
    Buf b(512);
    Q4Heap* h = Q4Heap_CreateHeapBuffer(b.p(), b.size, 0);
    u32 x = Q4Heap_Alloc(h, 8), y = Q4Heap_Alloc(h, 8), z = Q4Heap_Alloc(h, 8);
    for (u32 k : {x, y, z}) {
        u8* p = Q4Heap_Lock(h, k);
        std::memset(p, static_cast<int>('0' + k), 8);
        Q4Heap_Unlock(h, k);
    }
    // Freeing the last block: one step gives its room back.
    Q4Heap_Free(h, z);
    EXPECT_EQ(Q4Heap_Compact(h, 1), 1u);
    EXPECT_EQ(Q4Heap_GetInfo(h).used, 16u);
    EXPECT_EQ(Q4Heap_GetInfo(h).handles, 2u);  // trailing empty slot dropped
    EXPECT_EQ(Q4Heap_Alloc(h, 8), z);          // the handle number comes back
    std::memset(Q4Heap_Lock(h, z), '3', 8);
    Q4Heap_Unlock(h, z);

    // Freeing the first block: a locked follower stops the move.
    Q4Heap_Free(h, x);
    u8* pinned = Q4Heap_Lock(h, y);
    EXPECT_EQ(Q4Heap_Compact(h, 32), 1u);  // one step that found nothing to do
    EXPECT_EQ(Q4Heap_GetInfo(h).used, 24u);
    EXPECT_EQ(pinned[0], '2');
    Q4Heap_Unlock(h, y);
    // Each step moves one follower down; the last step reclaims the hole.
    EXPECT_EQ(Q4Heap_Compact(h, 1), 1u);
    EXPECT_EQ(Q4Heap_GetInfo(h).used, 24u);
    EXPECT_EQ(Q4Heap_Compact(h, 1), 1u);
    EXPECT_EQ(Q4Heap_GetInfo(h).used, 24u);
    EXPECT_EQ(Q4Heap_Compact(h, 1), 1u);
    EXPECT_EQ(Q4Heap_GetInfo(h).used, 16u);
    EXPECT_EQ(Q4Heap_GetInfo(h).freed, 0u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(Q4Heap_Lock(h, y)), 8), "22222222");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(Q4Heap_Lock(h, z)), 8), "33333333");
    // Two neighbouring freed blocks merge in one step.
    Q4Heap_Unlock(h, y);
    Q4Heap_Unlock(h, z);
    u32 w = Q4Heap_Alloc(h, 4);
    Q4Heap_Free(h, y);
    Q4Heap_Free(h, z);
    EXPECT_EQ(Q4Heap_Compact(h, 1), 1u);
    EXPECT_EQ(Q4Heap_GetInfo(h).freed, 1u);
    Q4Heap_Compact(h, 32);
    EXPECT_EQ(Q4Heap_GetInfo(h).used, 4u);
    EXPECT_NE(Q4Heap_Lock(h, w), nullptr);
}

// Many small blocks allocated, freed, locked and compacted at random; every
// live block must keep its contents through every move.
TEST(HandleHeap, ManySmallBlocksSurviveCompaction) {
    Buf b(8192);
    Q4Heap* h = Q4Heap_CreateHeapBuffer(b.p(), b.size, 0);
    std::mt19937 rng(12345);
    std::map<u32, std::vector<u8>> live;
    std::map<u32, bool> locked;
    for (int round = 0; round < 4000; ++round) {
        int op = static_cast<int>(rng() % 10);
        if (op < 5) {
            u32 size = 1 + rng() % 40;
            u32 handle = Q4Heap_Alloc(h, size);
            if (!handle) continue;
            ASSERT_EQ(live.count(handle), 0u);
            std::vector<u8> data(size);
            for (u8& c : data) c = static_cast<u8>(rng());
            u8* p = Q4Heap_Lock(h, handle);
            ASSERT_NE(p, nullptr);
            std::memcpy(p, data.data(), size);
            Q4Heap_Unlock(h, handle);
            live[handle] = data;
        } else if (op < 8 && !live.empty()) {
            auto it = std::next(live.begin(), static_cast<long>(rng() % live.size()));
            Q4Heap_Free(h, it->first);
            locked.erase(it->first);
            live.erase(it);
        } else if (op == 8 && !live.empty()) {
            auto it = std::next(live.begin(), static_cast<long>(rng() % live.size()));
            if (locked[it->first]) Q4Heap_Unlock(h, it->first);
            else ASSERT_NE(Q4Heap_Lock(h, it->first), nullptr);
            locked[it->first] = !locked[it->first];
        } else {
            Q4Heap_Compact(h, 1 + rng() % 32);
        }
        Q4HeapInfo info = Q4Heap_GetInfo(h);
        ASSERT_LE(info.used + 8 * info.handles, info.capacity);
    }
    for (auto& [handle, isLocked] : locked)
        if (isLocked) Q4Heap_Unlock(h, handle);
    while (Q4Heap_GetInfo(h).freed) Q4Heap_Compact(h, 32);
    u32 total = 0;
    for (auto& [handle, data] : live) {
        u8* p = Q4Heap_Lock(h, handle);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(0, std::memcmp(p, data.data(), data.size())) << handle;
        Q4Heap_Unlock(h, handle);
        total += (static_cast<u32>(data.size()) + 3) & ~3u;
    }
    // Fully compacted: the data area holds exactly the live blocks.
    EXPECT_EQ(Q4Heap_GetInfo(h).used, total);
    EXPECT_EQ(Q4Heap_NbAlloc(h), live.size());
}

TEST(HandleHeap, RelocationChecksTheSavedBuffer) {
    Buf b(256);
    Q4Heap* h = Q4Heap_CreateHeapBuffer(b.p(), b.size, 0);
    u32 k = Q4Heap_Alloc(h, 10);
    std::memcpy(Q4Heap_Lock(h, k), "relocated", 10);
    Q4Heap_Unlock(h, k);
    Q4Heap_Free(h, Q4Heap_Alloc(h, 4));

    // The buffer saved and loaded at another address.
    Buf moved(256);
    std::memcpy(moved.p(), b.p(), 256);
    Q4Heap* m = Q4Heap_RelocateHeapBuffer(moved.p(), 256, 0);
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(reinterpret_cast<char*>(Q4Heap_Lock(m, k)), "relocated");

    struct Case {
        const char* name;
        u32 size;
        void (*damage)(u8*);
    };
    const Case cases[] = {
        {"other size", 252, [](u8*) {}},
        {"magic", 256, [](u8* p) { p[0] = 'X'; }},
        {"stored size", 256, [](u8* p) { PutLe32(p + 4, 260); }},
        {"used beyond capacity", 256, [](u8* p) { PutLe32(p + 256 - 24 + 4, 0x10000); }},
        {"slot outside the data area", 256, [](u8* p) { PutLe32(p + 256 - 24 - 8 + 4, 0x7FFFFF00); }},
        {"freed count", 256, [](u8* p) { PutLe32(p + 256 - 24 + 20, 0); }},
        {"handle count", 256, [](u8* p) { PutLe32(p + 256 - 24 + 16, 0x1000000); }},
    };
    for (const Case& c : cases) {
        Buf copy(256);
        std::memcpy(copy.p(), b.p(), 256);
        c.damage(copy.p());
        EXPECT_EQ(Q4Heap_RelocateHeapBuffer(copy.p(), c.size, 0), nullptr) << c.name;
    }
}

TEST(HandleHeap, MallocHeap) {
    Q4Heap* h = Q4Heap_CreateHeapMalloc(1);  // raised to 3 slots per block
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(Q4Heap_IsMalloc(h));
    EXPECT_EQ(Q4Heap_GetFreeSpace(h), -1);
    EXPECT_EQ(Q4Heap_Alloc(h, 0), 0u);
    std::vector<u32> handles;
    for (int i = 0; i < 7; ++i) handles.push_back(Q4Heap_Alloc(h, 16));
    EXPECT_EQ(handles, (std::vector<u32>{1, 2, 3, 4, 5, 6, 7}));
    std::memcpy(Q4Heap_Lock(h, 5), "five", 5);
    EXPECT_STREQ(reinterpret_cast<char*>(Q4Heap_Lock(h, 5)), "five");  // no pinning here
    Q4Heap_Free(h, 4);
    Q4Heap_Free(h, 4);
    EXPECT_EQ(Q4Heap_Lock(h, 4), nullptr);
    EXPECT_EQ(Q4Heap_Lock(h, 100), nullptr);
    EXPECT_EQ(Q4Heap_NbAlloc(h), 6u);
    EXPECT_EQ(Q4Heap_Alloc(h, 8), 4u);
    EXPECT_EQ(Q4Heap_Compact(h, 32), 0u);
    Q4Heap_FreeAll(h);
    EXPECT_EQ(Q4Heap_NbAlloc(h), 0u);
    EXPECT_EQ(Q4Heap_Alloc(h, 8), 1u);
    Q4Heap_DeleteHeap(h);
}

}  // namespace
