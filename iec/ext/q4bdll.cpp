#include "iec/ext/q4bdll.h"

#include <dlfcn.h>

namespace {

// Library entries: "Q4BLK_GetName" (u32 id) and "Q4BLK_GetProc" (u32 id).
using NameFn = const char* (*)(u32);
using ProcFn = Q4FbHandler (*)(u32);
void* g_lib = nullptr;
NameFn g_name = nullptr;
ProcFn g_proc = nullptr;
const Q4BdllBlock* g_builtin = nullptr;

u32 LibCount() {
    u32 n = 0;
    if (g_name)
        while (n < 4096 && g_name(n)) ++n;
    return n;
}

}  // namespace

int Q4Bdll_OpenDynaLinks() {
    if (g_lib) return 1;
    g_lib = dlopen("./libq4blocks.so", RTLD_NOW | RTLD_LOCAL);
    if (!g_lib) return 0;
    g_name = reinterpret_cast<NameFn>(dlsym(g_lib, "Q4BLK_GetName"));
    g_proc = reinterpret_cast<ProcFn>(dlsym(g_lib, "Q4BLK_GetProc"));
    if (!g_name || !g_proc) {
        dlclose(g_lib);
        g_lib = nullptr;
        g_name = nullptr;
        g_proc = nullptr;
        return 0;
    }
    return 1;
}

void Q4Bdll_CloseDynaLinks() {
    if (g_lib) dlclose(g_lib);
    g_lib = nullptr;
    g_name = nullptr;
    g_proc = nullptr;
}

int Q4Bdll_StartEnum() { return (g_lib || g_builtin) ? 1 : 0; }
void Q4Bdll_StopEnum() {}

const char* Q4Bdll_GetName(u32 id) {
    u32 lib = LibCount();
    if (id < lib) return g_name(id);
    id -= lib;
    for (u32 k = 0; g_builtin && g_builtin[k].name; ++k)
        if (k == id) return g_builtin[k].name;
    return nullptr;
}

Q4FbHandler Q4Bdll_GetProc(u32 id) {
    u32 lib = LibCount();
    if (id < lib) return g_proc(id);
    id -= lib;
    for (u32 k = 0; g_builtin && g_builtin[k].name; ++k)
        if (k == id) return g_builtin[k].handler;
    return nullptr;
}

void Q4Bdll_SetBuiltin(const Q4BdllBlock* list) { g_builtin = list; }
