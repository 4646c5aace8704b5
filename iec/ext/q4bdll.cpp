#include "iec/ext/q4bdll.h"

#include <dlfcn.h>
#include <elf.h>

#include <bit>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/root.h"

namespace {

using ValidFn = int (*)();
using NameFn = const char* (*)(int);

struct State {
    void* lib = nullptr;
    NameFn name = nullptr;
    const Q4BdllBlock* builtin = nullptr;
};
State g;

#if defined(__x86_64__)
constexpr u16 kHostMachine = EM_X86_64;
#elif defined(__aarch64__)
constexpr u16 kHostMachine = EM_AARCH64;
#elif defined(__riscv)
constexpr u16 kHostMachine = EM_RISCV;
#else
#error "name the ELF machine of this host"
#endif
static_assert(sizeof(void*) == 8, "the library check reads 64-bit ELF files");

bool Inside(u64 offset, u64 count, u64 each, u64 size) {
    if (each != 0 && count > (UINT64_MAX - offset) / each) return false;
    return offset + count * each <= size;
}

// The whole file, or false when it is missing or larger than allowed.
bool ReadFile(const std::string& path, std::vector<u8>* out) {
    std::ifstream f(path, std::ios::binary | std::ios::ate);
    if (!f) return false;
    std::streamoff n = f.tellg();
    if (n < 0 || static_cast<u64>(n) > kQ4BdllMaxFile) return false;
    out->resize(static_cast<size_t>(n));
    f.seekg(0);
    return static_cast<bool>(f.read(reinterpret_cast<char*>(out->data()), n));
}

void Forget() {
    g.lib = nullptr;
    g.name = nullptr;
}

}  // namespace

int Q4Bdll_CheckImage(const u8* data, std::size_t size) {
    Elf64_Ehdr h;
    if (!data || size < sizeof h) return kBdllNotElf;
    std::memcpy(&h, data, sizeof h);
    if (std::memcmp(h.e_ident, ELFMAG, SELFMAG) != 0 || h.e_ident[EI_VERSION] != EV_CURRENT ||
        h.e_version != EV_CURRENT)
        return kBdllNotElf;
    const u8 order = std::endian::native == std::endian::little ? ELFDATA2LSB : ELFDATA2MSB;
    if (h.e_ident[EI_CLASS] != ELFCLASS64 || h.e_ident[EI_DATA] != order || h.e_machine != kHostMachine)
        return kBdllOtherHost;
    if (h.e_type != ET_DYN) return kBdllNotShared;
    if (h.e_ehsize != sizeof(Elf64_Ehdr) || h.e_phentsize != sizeof(Elf64_Phdr) || h.e_phnum == 0 ||
        !Inside(h.e_phoff, h.e_phnum, sizeof(Elf64_Phdr), size))
        return kBdllDamaged;
    if (h.e_shnum != 0 &&
        (h.e_shentsize != sizeof(Elf64_Shdr) || !Inside(h.e_shoff, h.e_shnum, sizeof(Elf64_Shdr), size)))
        return kBdllDamaged;
    // A segment mapped past the end of its file faults when it is touched.
    bool loads = false;
    for (u32 k = 0; k < h.e_phnum; ++k) {
        Elf64_Phdr p;
        std::memcpy(&p, data + h.e_phoff + static_cast<u64>(k) * sizeof p, sizeof p);
        if (p.p_type != PT_LOAD && p.p_type != PT_DYNAMIC) continue;
        loads |= p.p_type == PT_LOAD;
        if (!Inside(p.p_offset, 1, p.p_filesz, size) || p.p_filesz > p.p_memsz) return kBdllDamaged;
    }
    return loads ? kBdllImageOk : kBdllDamaged;
}

void* Q4Bdll_OpenDynaLinks() {
    Q4Bdll_CloseDynaLinks();
    const std::string path = Root_HostPath(kQ4BdllFile);
    std::vector<u8> image;
    if (!ReadFile(path, &image) || Q4Bdll_CheckImage(image.data(), image.size()) != kBdllImageOk) return nullptr;
    void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) return nullptr;
    auto valid = reinterpret_cast<ValidFn>(dlsym(lib, "Q4Blocks_IsValid"));
    NameFn name = nullptr;
    if (valid && valid() != 0) name = reinterpret_cast<NameFn>(dlsym(lib, "Q4Blocks_GetBlockName"));
    if (!name) {
        dlclose(lib);
        return nullptr;
    }
    g.lib = lib;
    g.name = name;
    std::printf("Load libq4blocks.so successful\n");
    std::fflush(stdout);
    return lib;
}

int Q4Bdll_CloseDynaLinks() {
    if (!g.lib) return 0;
    int r = dlclose(g.lib);
    Forget();
    return r;
}

int Q4Bdll_StartEnumerate() { return g.builtin || (g.lib && g.name) ? 1 : 0; }
void Q4Bdll_StopEnumerate() {}

const char* Q4Bdll_GetName(u32 id) {
    if (id == 0 || id > kQ4BdllMaxBlocks) return nullptr;
    if (g.builtin) {
        for (u32 k = 0; g.builtin[k].name; ++k)
            if (k + 1 == id) return g.builtin[k].name;
        return nullptr;
    }
    return g.name ? g.name(static_cast<int>(id)) : nullptr;
}

int Q4Bdll_GetFirstID(u32* id) {
    if (!Q4Bdll_GetName(1)) return 0;
    *id = 1;
    return 1;
}

int Q4Bdll_GetNextID(u32* id) {
    ++*id;
    return Q4Bdll_GetName(*id) ? 1 : 0;
}

Q4FbHandler Q4Bdll_GetProc(u32 id) {
    const char* name = Q4Bdll_GetName(id);
    if (!name) return nullptr;
    if (g.builtin) return g.builtin[id - 1].handler;
    return g.lib ? reinterpret_cast<Q4FbHandler>(dlsym(g.lib, name)) : nullptr;
}

void Q4Bdll_SetBuiltin(const Q4BdllBlock* list) { g.builtin = list; }
