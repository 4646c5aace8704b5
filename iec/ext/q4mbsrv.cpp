#include "iec/ext/q4mbsrv.h"

#include <cstring>

namespace {

struct State {
    Q4MBDevIdent ident{};
};
State g;

void Copy(char* dst, const char* text) {
    const size_t n = text ? strnlen(text, kQ4MBIdentTextMax) : 0;
    std::memcpy(dst, text ? text : "", n);
    dst[n] = 0;
}

}  // namespace

int Q4MBSrv_SetDevIdent(const char* vendor, const char* product, const char* revision, const u8* words, u32 count) {
    Copy(g.ident.vendor, vendor);
    Copy(g.ident.product, product);
    Copy(g.ident.revision, revision);
    for (u32 k = 0; k < kQ4MBIdentWords; ++k) g.ident.words[k] = words && k < count ? GetLe16(words + 2 * k) : 0;
    return 1;
}

const Q4MBDevIdent& Q4MBSrv_GetDevIdent() { return g.ident; }

void Q4MBSrv_ResetDevIdent() { g = State{}; }
