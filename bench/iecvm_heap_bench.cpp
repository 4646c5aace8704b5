// Allocate/free rate of the handle heap beside the process heap: a batch of
// small blocks (sizes 8-71 bytes) allocated and freed again, in a buffer heap
// (freed room reclaimed by compaction, as between cycles), in a malloc heap
// and with plain malloc/free.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "iec/kernel/q4heap.h"

namespace {

u32 SizeOf(i64 i) { return 8 + static_cast<u32>((i * 37) % 64); }

void BufferHeap(benchmark::State& state) {
    const i64 batch = state.range(0);
    std::vector<u32> buffer(64 * 1024 / 4);
    Q4Heap* h = Q4Heap_CreateHeapBuffer(reinterpret_cast<u8*>(buffer.data()), 64 * 1024, 0);
    std::vector<u32> handles(static_cast<size_t>(batch));
    for (auto _ : state) {
        for (i64 i = 0; i < batch; ++i) handles[static_cast<size_t>(i)] = Q4Heap_Alloc(h, SizeOf(i));
        // Free in an order that leaves holes between live blocks.
        for (i64 i = 0; i < batch; i += 2) Q4Heap_Free(h, handles[static_cast<size_t>(i)]);
        for (i64 i = 1; i < batch; i += 2) Q4Heap_Free(h, handles[static_cast<size_t>(i)]);
        while (Q4Heap_GetInfo(h).freed) Q4Heap_Compact(h, 32);
    }
    state.SetItemsProcessed(state.iterations() * batch);
}

void MallocHeap(benchmark::State& state) {
    const i64 batch = state.range(0);
    Q4Heap* h = Q4Heap_CreateHeapMalloc(64);
    std::vector<u32> handles(static_cast<size_t>(batch));
    for (auto _ : state) {
        for (i64 i = 0; i < batch; ++i) handles[static_cast<size_t>(i)] = Q4Heap_Alloc(h, SizeOf(i));
        for (i64 i = 0; i < batch; i += 2) Q4Heap_Free(h, handles[static_cast<size_t>(i)]);
        for (i64 i = 1; i < batch; i += 2) Q4Heap_Free(h, handles[static_cast<size_t>(i)]);
    }
    state.SetItemsProcessed(state.iterations() * batch);
    Q4Heap_DeleteHeap(h);
}

void SystemMalloc(benchmark::State& state) {
    const i64 batch = state.range(0);
    std::vector<void*> blocks(static_cast<size_t>(batch));
    for (auto _ : state) {
        for (i64 i = 0; i < batch; ++i) blocks[static_cast<size_t>(i)] = std::calloc(1, SizeOf(i));
        benchmark::DoNotOptimize(blocks.data());
        for (i64 i = 0; i < batch; i += 2) std::free(blocks[static_cast<size_t>(i)]);
        for (i64 i = 1; i < batch; i += 2) std::free(blocks[static_cast<size_t>(i)]);
    }
    state.SetItemsProcessed(state.iterations() * batch);
}

BENCHMARK(BufferHeap)->Arg(16)->Arg(64)->Arg(256);
BENCHMARK(MallocHeap)->Arg(16)->Arg(64)->Arg(256);
BENCHMARK(SystemMalloc)->Arg(16)->Arg(64)->Arg(256);

}  // namespace

BENCHMARK_MAIN();
