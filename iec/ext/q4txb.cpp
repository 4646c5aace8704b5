#include "iec/ext/q4txb.h"

#include <cstring>

#include "iec/ext/q4xs.h"
#include "iec/kernel/q4fbstd.h"
#include "iec/kernel/q4file.h"
#include "iec/kernel/q4socket.h"
#include "iec/kernel/q4tools.h"
#include "iec/kernel/q4types.h"
#include "iec/kernel/q4vmcnv.h"
#include "iec/kernel/q4vmdb.h"
#include "iec/kernel/q4vmprg.h"
#include "iec/kernel/q4vmstr.h"

namespace {

// No class or instance data; answers 1 to command 9.
constexpr Q4FbClass kTxb{0, 0, true};

template <typename Body>
int Run(int command, const u16* ops, u16 n, Body body) {
    return Q4Fb_Run(kTxb, command, nullptr, ops, n, body);
}

u32 Handle(u8* db, u16 index) { return static_cast<u32>(Q4Fb_Dint(db, index)); }
bool HasHeap(u8* db) { return Q4VM_GetHeap(db) != nullptr; }

// Copies a text into a STRING output with size = capacity + 1 through get,
// which answers whether the buffer was valid; an invalid one leaves the
// STRING as it was.
template <typename Get>
void IntoString(u8* db, u16 out, Get get) {
    char buf[kQ4StrMaxCap + 1];
    u32 cap = Q4Txb_StringCap(db, out);
    if (get(buf, cap + 1)) Q4Txb_StringOut(db, out, buf, static_cast<u32>(std::strlen(buf)));
}

}  // namespace

std::string Q4Txb_StringIn(u8* db, u16 index) {
    const u8* s = Q4Tools_String(db, index);
    return s ? std::string(Q4Str_GetText(s), strnlen(Q4Str_GetText(s), Q4Str_GetLength(s))) : std::string();
}

u32 Q4Txb_StringCap(u8* db, u16 index) {
    const u8* s = Q4Tools_String(db, index);
    return s ? Q4Str_GetMaxLength(s) : 0;
}

void Q4Txb_StringOut(u8* db, u16 index, const char* text, u32 length) {
    int lock = 0;
    u8* s = Q4Tools_GetAnyParam(db, kQ4TypeString, index, &lock, nullptr);
    if (s && !lock) Q4Str_AscForce(s, text, length);
}

int Q4Txb_Manager(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 2, [&] {
        Q4Fb_PutBool(db, ops[0], HasHeap(db));
        Q4Fb_PutDint(db, ops[1], HasHeap(db) ? static_cast<i32>(Q4XS_Count(db)) : 0);
    });
}

int Q4Txb_LastError(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 1, [&] { Q4Fb_PutDint(db, ops[0], static_cast<i32>(Q4XS_LastError(db))); });
}

int Q4Txb_New(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 1, [&] { Q4Fb_PutDint(db, ops[0], static_cast<i32>(Q4XS_Alloc(db, 32, nullptr))); });
}

int Q4Txb_NewString(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 2, [&] {
        std::string s = Q4Txb_StringIn(db, ops[0]);
        Q4Fb_PutDint(db, ops[1], static_cast<i32>(Q4XS_Alloc(db, 0, s.c_str())));
    });
}

int Q4Txb_Free(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 2, [&] { Q4Fb_PutBool(db, ops[1], Q4XS_Free(db, Handle(db, ops[0])) != 0); });
}

int Q4Txb_Clear(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 2, [&] { Q4Fb_PutBool(db, ops[1], Q4XS_Set(db, Handle(db, ops[0]), "", 0) != 0); });
}

int Q4Txb_SetString(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 3, [&] {
        std::string s = Q4Txb_StringIn(db, ops[1]);
        Q4Fb_PutBool(db, ops[2], Q4XS_Set(db, Handle(db, ops[0]), s.data(), static_cast<u32>(s.size())) != 0);
    });
}

// DINT, USINT array, its element count, out BOOL.
int Q4Txb_SetData(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 4, [&] {
        const u8* a = Q4Fb_Array(db, kQ4TypeUsint, ops[1], ops[2]);
        int r = 0;
        if (a || ops[2] == 0) r = Q4XS_Set(db, Handle(db, ops[0]), a, a ? ops[2] : 0);
        Q4Fb_PutBool(db, ops[3], r != 0);
    });
}

// Type code, DINT, value, out BOOL.
int Q4Txb_Append(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 4, [&] {
        u16 type = ops[0];
        int r = 0;
        if (type == kQ4TypeString) {
            std::string s = Q4Txb_StringIn(db, ops[2]);
            r = Q4XS_AppendN(db, Handle(db, ops[1]), s.data(), static_cast<u32>(s.size()));
        } else {
            char text[kQ4CnvTextMax + 8] = {};
            Q4VMCnv_NumToSZ(db, type, ops[2], text);
            r = Q4XS_Append(db, Handle(db, ops[1]), text);
        }
        Q4Fb_PutBool(db, ops[3], r != 0);
    });
}

int Q4Txb_AppendLine(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 3, [&] {
        std::string s = Q4Txb_StringIn(db, ops[1]);
        u32 h = Handle(db, ops[0]);
        int r = Q4XS_AppendN(db, h, s.data(), static_cast<u32>(s.size()));
        if (r) r = Q4XS_Append(db, h, "\n");
        Q4Fb_PutBool(db, ops[2], r != 0);
    });
}

int Q4Txb_AppendEol(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 2, [&] { Q4Fb_PutBool(db, ops[1], Q4XS_Append(db, Handle(db, ops[0]), "\n") != 0); });
}

int Q4Txb_AppendTxb(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 3, [&] {
        Q4Fb_PutBool(db, ops[2], Q4XS_AppendXS(db, Handle(db, ops[0]), Handle(db, ops[1])) != 0);
    });
}

int Q4Txb_Copy(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 3, [&] {
        Q4Fb_PutBool(db, ops[2], Q4XS_Copy(db, Handle(db, ops[0]), Handle(db, ops[1])) != 0);
    });
}

int Q4Txb_GetString(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 2, [&] {
        u32 h = Handle(db, ops[0]);
        IntoString(db, ops[1], [&](char* buf, u32 size) {
            bool valid = Q4XS_Capacity(db, h) != 0;
            Q4XS_Get(db, h, buf, size);
            return valid;
        });
    });
}

// DINT, USINT array, its element count, out BOOL.
int Q4Txb_GetData(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 4, [&] {
        u8* a = Q4Fb_Array(db, kQ4TypeUsint, ops[1], ops[2]);
        bool ok = false;
        if (a && HasHeap(db)) {
            bool valid = Q4XS_Capacity(db, Handle(db, ops[0])) != 0;
            Q4XS_Get(db, Handle(db, ops[0]), reinterpret_cast<char*>(a), ops[2]);
            ok = valid && Q4XS_LastError(db) == kXsOk;
        }
        Q4Fb_PutBool(db, ops[3], ok);
    });
}

int Q4Txb_GetLine(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 3, [&] {
        u32 h = Handle(db, ops[0]);
        int r = 0;
        IntoString(db, ops[1], [&](char* buf, u32 size) {
            bool valid = Q4XS_Capacity(db, h) != 0;
            buf[0] = 0;
            r = Q4XS_GetLine(db, h, buf, size);
            return valid;
        });
        Q4Fb_PutBool(db, ops[2], r != 0);
    });
}

int Q4Txb_GetLength(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 2, [&] {
        Q4Fb_PutDint(db, ops[1], static_cast<i32>(Q4XS_GetLength(db, Handle(db, ops[0]))));
    });
}

int Q4Txb_Rewind(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 2, [&] { Q4Fb_PutBool(db, ops[1], Q4XS_Rewind(db, Handle(db, ops[0])) != 0); });
}

int Q4Txb_ReadFile(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 2, [&] {
        Q4Fb_PutDint(db, ops[1], 0);
        if (!HasHeap(db)) return;
        std::string path = Q4Txb_StringIn(db, ops[0]);
        u32 n = Q4File_GetSize(path.c_str());
        if (n == 0 || n == 0xFFFFFFFFu) {
            Q4XS_SetError(db, kXsNoFile);
            return;
        }
        u32 h = Q4XS_Alloc(db, n + 1, nullptr);
        if (!h) return;
        Q4XS_SetFile(db, h, path.c_str());
        Q4Fb_PutDint(db, ops[1], static_cast<i32>(h));
    });
}

int Q4Txb_WriteFile(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 3, [&] {
        Q4Fb_PutBool(db, ops[2], false);
        std::string path = Q4Txb_StringIn(db, ops[1]);
        Q4Fb_PutBool(db, ops[2], Q4XS_SaveToFile(db, Handle(db, ops[0]), path.c_str()) != 0);
    });
}

// The whole text goes to the socket (what the socket takes now: the result
// is the count sent), never a length cut to 16 bits.
int Q4Txb_SendTcp(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 3, [&] {
        int sock = Q4Fb_Dint(db, ops[0]);
        u32 h = Handle(db, ops[1]);
        std::string text;
        if (!HasHeap(db) || sock == -1 || !Q4VMRsc_FindSocket(db, sock) || !Q4XS_Text(db, h, &text)) return;
        int broken = 0;
        u32 sent = text.empty() ? 0 : Q4Socket_Send(sock, static_cast<u32>(text.size()), text.data(), &broken);
        Q4Fb_PutDint(db, ops[2], static_cast<i32>(sent));
    });
}

// The buffer is emptied, then receives what the socket has, up to
// kQ4TxbRcvMax bytes in one execution. The count grows by the bytes that
// went into the buffer: a chunk's text ends at its first NUL, and nothing is
// counted when the buffer could not take the text.
int Q4Txb_RcvTcp(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 3, [&] {
        int sock = Q4Fb_Dint(db, ops[0]);
        u32 h = Handle(db, ops[1]);
        if (!HasHeap(db) || sock == -1 || !Q4VMRsc_FindSocket(db, sock) || !Q4XS_Set(db, h, "", 0)) return;
        std::string got;
        u32 taken = 0;
        char chunk[255];
        while (taken < kQ4TxbRcvMax) {
            int broken = 0;
            u32 want = kQ4TxbRcvMax - taken < sizeof chunk ? kQ4TxbRcvMax - taken : static_cast<u32>(sizeof chunk);
            u32 n = Q4Socket_Receive(sock, want, chunk, &broken);
            if (n == 0 || broken) break;
            taken += n;
            got.append(chunk, strnlen(chunk, n));
        }
        if (got.empty() || !Q4XS_AppendN(db, h, got.data(), static_cast<u32>(got.size()))) return;
        Q4Fb_PutDint(db, ops[2], Q4Fb_Dint(db, ops[2]) + static_cast<i32>(got.size()));
    });
}

int Q4Txb_Utf8ToAnsi(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 2, [&] { Q4Fb_PutBool(db, ops[1], Q4XS_Utf8ToAnsi(db, Handle(db, ops[0])) != 0); });
}

int Q4Txb_AnsiToUtf8(int command, u8* db, u8*, u8*, const u16* ops) {
    return Run(command, ops, 2, [&] { Q4Fb_PutBool(db, ops[1], Q4XS_AnsiToUtf8(db, Handle(db, ops[0])) != 0); });
}
