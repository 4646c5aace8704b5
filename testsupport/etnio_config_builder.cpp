#include "testsupport/etnio_config_builder.h"

#include <cstring>

std::vector<u8> EtnIoRecord(const std::vector<EtnIoAdapterSpec>& adapters, u16 magic, u32 adapterCount) {
    constexpr u32 kData = 3088;
    std::vector<u8> r(4 + kData, 0);
    PutLe16(&r[0], 0xCF01);
    PutLe16(&r[2], kData);
    u8* d = &r[4];
    PutLe16(d, magic);
    PutLe16(d + 4, static_cast<u16>(adapterCount != ~0u ? adapterCount : adapters.size()));
    for (size_t k = 0; k < adapters.size() && k < 16; ++k) {
        const EtnIoAdapterSpec& a = adapters[k];
        u8* e = d + 16 + 192 * k;
        PutLe32(e, a.address);
        PutLe32(e + 4, a.statusRef);
        std::memcpy(e + 8, a.mac, 6);
        PutLe32(e + 32, a.wordIn);
        PutLe32(e + 36, a.wordOut);
        PutLe32(e + 40, a.discreteIn);
        PutLe32(e + 44, a.discreteOut);
        PutLe16(e + 52, static_cast<u16>(a.modules.size()));
        for (size_t j = 0; j < a.modules.size() && j < 8; ++j) {
            PutLe32(e + 64 + 16 * j, a.modules[j].configWord);
            PutLe16(e + 64 + 16 * j + 4, a.modules[j].type);
        }
    }
    return r;
}

std::vector<u8> IoChainFiller(u16 id, u16 length) {
    std::vector<u8> r(4 + length, static_cast<u8>(length));
    PutLe16(&r[0], id);
    PutLe16(&r[2], length);
    return r;
}

std::vector<u8> IoChainBlock(const std::vector<std::vector<u8>>& records) {
    std::vector<u8> out;
    for (const std::vector<u8>& r : records) {
        out.insert(out.end(), r.begin(), r.end());
        while (out.size() % 4) out.push_back(0);
    }
    for (u8 b : {0xFF, 0xFF, 0xFF, 0xFF}) out.push_back(b);
    return out;
}
