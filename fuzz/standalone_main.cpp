// Driver for fuzz targets without libFuzzer: feeds the files named on the
// command line (a folder stands for every file in it, in name order), then a
// bounded number of random inputs, each a mutation of the previous one, of a
// seed, or fresh bytes. Deterministic (fixed seed) so a failure repeats.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
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
        std::vector<std::string> files;
        std::error_code ec;
        if (std::filesystem::is_directory(argv[i], ec)) {
            for (const auto& e : std::filesystem::directory_iterator(argv[i], ec))
                if (e.is_regular_file()) files.push_back(e.path().string());
            std::sort(files.begin(), files.end());
        } else {
            files.push_back(argv[i]);
        }
        for (const std::string& name : files) {
            FILE* f = std::fopen(name.c_str(), "rb");
            if (!f) {
                std::fprintf(stderr, "cannot read %s\n", name.c_str());
                return 1;
            }
            std::vector<uint8_t> buf;
            int c;
            while ((c = std::fgetc(f)) != EOF) buf.push_back(static_cast<uint8_t>(c));
            std::fclose(f);
            LLVMFuzzerTestOneInput(buf.data(), buf.size());
            seeds.push_back(std::move(buf));
        }
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
    std::printf("%zu seeds, %ld rounds done\n", seeds.size(), rounds);
    return 0;
}
