// Driver for fuzz targets without libFuzzer: feeds the files named on the
// command line, then a bounded number of random inputs, each a mutation of
// the previous one or fresh bytes. Deterministic (fixed seed) so a failure
// repeats.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    long rounds = 10000;
    std::vector<std::vector<uint8_t>> seeds;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
            rounds = std::strtol(argv[++i], nullptr, 10);
            continue;
        }
        FILE* f = std::fopen(argv[i], "rb");
        if (!f) continue;
        std::vector<uint8_t> buf;
        int c;
        while ((c = std::fgetc(f)) != EOF) buf.push_back(static_cast<uint8_t>(c));
        std::fclose(f);
        LLVMFuzzerTestOneInput(buf.data(), buf.size());
        seeds.push_back(std::move(buf));
    }
    std::mt19937 rng(12345);
    std::vector<uint8_t> cur;
    for (long r = 0; r < rounds; ++r) {
        if (cur.empty() || rng() % 8 == 0) {
            if (!seeds.empty() && rng() % 2) {
                cur = seeds[rng() % seeds.size()];
            } else {
                cur.resize(rng() % 512);
                for (auto& b : cur) b = static_cast<uint8_t>(rng());
            }
        }
        unsigned edits = 1 + rng() % 4;
        for (unsigned e = 0; e < edits && !cur.empty(); ++e) {
            size_t pos = rng() % cur.size();
            switch (rng() % 4) {
                case 0: cur[pos] = static_cast<uint8_t>(rng()); break;
                case 1: cur[pos] ^= static_cast<uint8_t>(1u << (rng() % 8)); break;
                case 2: cur.insert(cur.begin() + static_cast<long>(pos), static_cast<uint8_t>(rng())); break;
                default: cur.erase(cur.begin() + static_cast<long>(pos)); break;
            }
        }
        LLVMFuzzerTestOneInput(cur.data(), cur.size());
    }
    std::printf("%ld rounds done\n", rounds);
    return 0;
}
