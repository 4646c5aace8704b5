#include "iec/ext/q4bdll.h"

#include <dlfcn.h>

namespace {

// Library entries: "Q4BLK_GetName" (u32 id) and "Q4BLK_GetProc" (u32 id).
using NameFn = const char* (*)(u32);
using ProcFn = Q4FbHandler (*)(u32);
struct State {
    void* lib = nullptr;
    NameFn name = nullptr;
    ProcFn proc = nullptr;
    const Q4BdllBlock* builtin = nullptr;  // blocks linked into the firmware, after the library's
};
State g;

u32 LibCount() {
    u32 n = 0;
    if (g.name)
        while (n < 4096 && g.name(n)) ++n;
    return n;
}

}  // namespace

int Q4Bdll_OpenDynaLinks() {
    if (g.lib) return 1;
    g.lib = dlopen("./libq4blocks.so", RTLD_NOW | RTLD_LOCAL);
    if (!g.lib) return 0;
    g.name = reinterpret_cast<NameFn>(dlsym(g.lib, "Q4BLK_GetName"));
    g.proc = reinterpret_cast<ProcFn>(dlsym(g.lib, "Q4BLK_GetProc"));
    if (!g.name || !g.proc) {
        dlclose(g.lib);
        g.lib = nullptr;
        g.name = nullptr;
        g.proc = nullptr;
        return 0;
    }
    return 1;
}

void Q4Bdll_CloseDynaLinks() {
    if (g.lib) dlclose(g.lib);
    g.lib = nullptr;
    g.name = nullptr;
    g.proc = nullptr;
}

int Q4Bdll_StartEnum() { return (g.lib || g.builtin) ? 1 : 0; }
void Q4Bdll_StopEnum() {}

const char* Q4Bdll_GetName(u32 id) {
    u32 lib = LibCount();
    if (id < lib) return g.name(id);
    id -= lib;
    for (u32 k = 0; g.builtin && g.builtin[k].name; ++k)
        if (k == id) return g.builtin[k].name;
    return nullptr;
}

Q4FbHandler Q4Bdll_GetProc(u32 id) {
    u32 lib = LibCount();
    if (id < lib) return g.proc(id);
    id -= lib;
    for (u32 k = 0; g.builtin && g.builtin[k].name; ++k)
        if (k == id) return g.builtin[k].handler;
    return nullptr;
}

void Q4Bdll_SetBuiltin(const Q4BdllBlock* list) { g.builtin = list; }
