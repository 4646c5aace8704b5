#include "webhmi/dartu_symbols.h"

#include <string>
#include <vector>

namespace {

struct Entry {
    std::string path;
    DartuSymbol symbol;
};

std::vector<Entry> g_fake;

int FakeLookup(u8* db, const char* path, DartuSymbol* out) {
    if (!db || !path) return 0;
    for (const Entry& e : g_fake) {
        if (e.path == path) {
            *out = e.symbol;
            return 1;
        }
    }
    return 0;
}

DartuSymbolLookup g_lookup = FakeLookup;

}  // namespace

void DartuSym_SetLookup(DartuSymbolLookup lookup) { g_lookup = lookup ? lookup : FakeLookup; }
int DartuSym_Lookup(u8* db, const char* path, DartuSymbol* out) { return g_lookup(db, path, out); }
void DartuSym_FakeClear() { g_fake.clear(); }
void DartuSym_FakeAdd(const char* path, const DartuSymbol& symbol) { g_fake.push_back({path, symbol}); }
