// Hostile bytes through the SRTP stream parser (messages built from the
// input with plausible types, services, selectors, kinds and lying lengths,
// or raw bytes, fed in pieces of any size over several connections) and
// through the EGD consumer against a fixed exchange list with every item
// kind. Nothing may read or write outside its buffers; every answer fits its
// packet and the text buffers are all free once the connections end.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/plc_regs.h"
#include "net/dpr.h"
#include "net/egd.h"
#include "net/srtp.h"
#include "platform/root.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

struct Reader {
    const u8* p;
    size_t n;
    u8 Byte() { return n ? (--n, *p++) : 0; }
    u16 Word() { return static_cast<u16>(Byte() | Byte() << 8); }
};

u32 CheckAnswer(int, u32, const u8*, u32 n) {
    Check(n <= kSrtpPacketBytes);
    return 0;
}

std::vector<u8> Message(Reader& r) {
    static const u8 kTypes[] = {0, 2, 2, 2, 8, 5};
    static const u8 kServices[] = {0, 1, 4, 4, 7, 7, 33, 67, 79, 97, 200};
    static const u8 kSelectors[] = {8, 10, 12, 16, 18, 20, 22, 70, 72, 74, 76, 230, 236, 24, 0};
    static const u8 kKinds[] = {0xC0, 0x80, 0x93, 0xD7, 0x55};
    u8 c = r.Byte();
    std::vector<u8> m(56, 0);
    m[0] = kTypes[c % sizeof kTypes];
    PutLe16(&m[2], r.Word());
    m[9] = (c & 0x40) ? 1 : 0;
    m[31] = kKinds[(c >> 3) % sizeof kKinds];
    size_t at = m[9] == 1 ? 42 : 50;
    m[at] = kServices[r.Byte() % sizeof kServices];
    m[at + 1] = kSelectors[r.Byte() % sizeof kSelectors];
    PutLe16(&m[at + 2], r.Word());
    PutLe16(&m[at + 4], r.Word());
    u32 text = r.Word() % 4200;
    u32 carried = (c & 0x80) ? text : r.Word() % 4200;  // a length that may lie
    PutLe32(&m[4], (c & 0x20) ? 0xFFFFFFF0u ^ r.Byte() : text);
    for (u32 i = 0; i < carried; ++i) m.push_back(static_cast<u8>(i));
    return m;
}

void Srtp(Reader r) {
    Srtp_Reset();
    Srtp_SetSender(CheckAnswer);
    PutLe16(DprMap + kDprRunFlag, 1);
    Dpr_Configuration[0].flags.service |= kSvcSrtp;
    const bool raw = r.Byte() & 1;
    for (int k = 0; k < 8 && r.n > 0; ++k) {
        u32 s = r.Byte() % kSrtpSockets;
        std::vector<u8> bytes;
        if (raw) {
            size_t take = r.Word() % 3000;
            take = take < r.n ? take : r.n;
            bytes.assign(r.p, r.p + take);
            r.p += take;
            r.n -= take;
        } else {
            bytes = Message(r);
        }
        for (size_t at = 0; at < bytes.size();) {
            size_t piece = 1 + r.Byte() * 7u;
            piece = piece < bytes.size() - at ? piece : bytes.size() - at;
            Srtp_Feed(0, s, bytes.data() + at, static_cast<u32>(piece));
            at += piece;
        }
        Srtp_Feed(0, s, nullptr, 0);
    }
    for (u32 s = 0; s < kSrtpSockets; ++s) Srtp_ClearEntry(0, s);
    for (const SrtpTextBuffer& t : SrtpConnEth[0].text) Check(t.inUse == 0);
    Srtp_Reset();
}

void Egd(Reader r) {
    Egd_Reset();
    PutLe16(DprMap + kDprRunFlag, 1);
    EnetPortConfig& c = Dpr_Configuration[0];
    std::memset(c.egd, 0, sizeof c.egd);
    const u32 producer = 0x0A000007;
    // Consumers of exchanges 1 to 3: every item kind, a skip, an item that
    // names no register, sizes up to the largest.
    c.egd[0].head[0] = kEgdConfigured;
    c.egd[0].head[1] = 1;
    c.egd[0].head[2] = producer;
    const u32 items0[][2] = {{0x8000, 8}, {0x8000, 0xC000 | 3}, {0x8100, 0x2000}, {0x8200, 0x4000},
                             {0x8300, 0x8002}, {0x8400, 0x0000 | 2047}, {0x8000, 0x6000 | 5}};
    for (size_t i = 0; i < sizeof items0 / sizeof items0[0]; ++i) {
        c.egd[0].items[i][0] = items0[i][0];
        c.egd[0].items[i][1] = items0[i][1];
    }
    c.egd[1] = c.egd[0];
    c.egd[1].head[1] = 2;
    c.egd[1].items[0][1] = 0x7FF;
    c.egd[2].head[0] = kEgdConfigured | kEgdIdReg;
    c.egd[2].head[1] = 0x8000;
    c.egd[2].head[2] = producer;
    c.egd[2].items[0][0] = 0x10;  // no register there
    c.egd[2].items[0][1] = 4;
    std::vector<u8> d(r.p, r.p + (r.n < 3000 ? r.n : 3000));
    if (d.size() >= 12 && (d[0] & 1)) {  // often a header that matches
        PutBe32(&d[4], producer);
        PutLe32(&d[8], 1 + d[1] % 3);
    }
    int k = Egd_Consume(0, d.data(), static_cast<u32>(d.size()));
    Check(k < 3);
    if (k >= 0) Check(d.size() >= kEgdHeaderBytes);
    Egd_Reset();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = [] {
        setenv("PLC_ROOT", "/tmp/plc_srtp_egd_fuzz_root", 0);
        return Root_Init();
    }();
    (void)ready;
    if (size == 0) return 0;
    Reader r{data + 1, size - 1};
    if (data[0] & 1) Srtp(r);
    else Egd(r);
    return 0;
}
