// Web-HMI toolkit hot paths: JSON string writing (measure and write), the
// buffer pool round trip and indexing a url-encoded request body.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "darTUsdk/dartusdk/dartu_buffer.h"
#include "darTUsdk/dartusdk/dartu_json.h"
#include "darTUsdk/dartusdk/dartu_options.h"

namespace {

void Quiet(const char*) {}

struct Toolkit {
    Toolkit() {
        dartu_options_initialize();
        dartu_global_options()->error_log = Quiet;
        dartu_init_global_context_buff();
    }
};

void EnsureToolkit() { static Toolkit t; }

void BM_JsonString(benchmark::State& state) {
    std::string text;
    while (text.size() < 1024) text += "Temperature \xC2\xB0" "C / tank \"A\"\t";
    std::vector<char> out(8192);
    for (auto _ : state) {
        int n = dartu_json_put_string(nullptr, 0, text.data(), static_cast<int>(text.size()));
        benchmark::DoNotOptimize(dartu_json_put_string(out.data(), static_cast<size_t>(n), text.data(),
                                                       static_cast<int>(text.size())));
    }
    state.SetBytesProcessed(static_cast<i64>(state.iterations()) * static_cast<i64>(text.size()));
}
BENCHMARK(BM_JsonString);

void BM_BufferPoolRoundTrip(benchmark::State& state) {
    EnsureToolkit();
    for (auto _ : state) {
        dartu_buffer* b = dartu_buffer_get(kDartuBufContent, 1024, 0x800000, 0);
        dartu_buffer_put_data(b, "{\"Result\":\"OK\"}", 15);
        dartu_buffer_return(b);
    }
}
BENCHMARK(BM_BufferPoolRoundTrip);

void BM_FieldDictionary(benchmark::State& state) {
    EnsureToolkit();
    std::string body;
    for (int i = 0; i < 32; ++i) body += "address[]=%25R" + std::to_string(i + 1) + "&";
    const std::string head = "POST /darTU/?read HTTP/1.1\r\n\r\n";
    for (auto _ : state) {
        dartu_buffer* b = dartu_buffer_get(kDartuBufRequest, 4096, 0x20000, 0);
        dartu_buffer_put_data(b, head.data(), head.size());
        b->read_pos = static_cast<u32>(head.size());
        dartu_buffer_put_data(b, body.data(), body.size());
        benchmark::DoNotOptimize(dartu_buffer_build_dict(b));
        dartu_buffer_return(b);
    }
}
BENCHMARK(BM_FieldDictionary);

}  // namespace

BENCHMARK_MAIN();
