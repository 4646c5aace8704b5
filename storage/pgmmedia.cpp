#include "storage/pgmmedia.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/bkuprstr.h"
#include "core/nvram.h"
#include "core/plc.h"
#include "iec/blocks/q4hostglue.h"
#include "iec/kernel/q4vmdb.h"
#include "link/cmdproc.h"
#include "link/command.h"
#include "platform/fileio.h"
#include "platform/root.h"
#include "platform/system.h"
#include "platform/touch.h"
#include "storage/cf_api.h"
#include "storage/cfmgr.h"
#include "storage/mcmd.h"

u32 MCMD_Errno = 0;

namespace {

constexpr u32 kWritePiece = 63488;
constexpr u32 kClonePiece = 1024;
constexpr u32 kDownloadFrame = 64;
constexpr const char* kCloneRetained = "/mnt/USB0/BRVQclone.dat";
constexpr const char* kRetained = "/mnt/cfg/q4.ret";
constexpr const char* kCloneImage = "A:\\clone.dat";

// The tables of the file being loaded, between validation and load.
struct State {
    PgmImage image;
    bool validated = false;
    u8 node = 0;
};
State g;

// The order in which a save writes the tables; the optional ones only when
// the program's editor features announce them.
struct SaveRow {
    u16 type;
    u32 feature;  // 0: always
};
constexpr SaveRow kSaveOrder[] = {{4, 0},  {0, 0},  {5, 0},  {6, 0},  {20, kFeatPromgr}, {21, kFeatSms},
                                  {22, kFeatDatalog}, {23, kFeatCanopen}, {33, kFeatMqtt | kFeatMqttAlt}};

bool Present(const SaveRow& r) { return r.feature == 0 || (NV_EditorFeatures & r.feature) != 0; }

// Data bytes the interpreter uploads for a table.
u32 StoredSize(u16 type) {
    if (type == kPgmTypeSecurity) return std::min<u32>(SR_GetDword(21), kSecurityTableMax);
    FileInfoRow row = Cmd_FileInfo(type);
    if (row.header == nullptr) return 0;
    return std::min<u32>(GetLe32(row.header + 4), row.capacity);
}

u8 Node() { return static_cast<u8>(SR_Get(29) & 0xFF); }

u16 LinkClaim(u8 node) {
    const u8 d[4] = {node, 1, 0xE8, 0xFD};  // hold the link 65,000 ms
    return MCMD_SendCmd(25, 4, d);
}

i32 Fail(u32 errnoValue) {
    MCMD_Errno = errnoValue;
    return kPgmNoAnswer;
}

// Model and version of this controller (command 8).
bool QueryVersion(u8 node, u16* model, u16* version) {
    u8 ans[kMcmdFrameMax];
    u32 n = 0;
    const u8 d[1] = {node};
    if (MCMD_SendCmd(8, 1, d, ans, sizeof ans, &n) != kCmdData || n < 3) return false;
    if (ans[0] == 0xFF) {
        if (n < 5) return false;
        *model = GetLe16(ans + 3);
    } else {
        *model = ans[0];
    }
    *version = static_cast<u16>(ans[1] * 256 + ans[2]);
    return true;
}

// Uploads one memory area into out (appending), acknowledging every frame.
// 0, or the failing exchange's number; *tooLong when more came than max.
u32 Upload(u8 node, u16 type, std::vector<u8>& out, u32 max, bool* tooLong, u32 cmdErr, u32 dataErr) {
    const u8 d[2] = {node, static_cast<u8>(type)};
    if (MCMD_SendCmd(5, 2, d) != kCmdAck) return cmdErr;
    u8 frame[kMcmdFrameMax];
    u32 got = 0;
    for (;;) {
        u32 n = 0;
        if (MCMD_GetData(&n, frame, sizeof frame) != kCmdData) return dataErr;
        MCMD_SendCntl(kCmdAck);
        if (n == 0) return 0;
        if (got + n > max) {
            *tooLong = true;
        } else {
            out.insert(out.end(), frame, frame + n);
        }
        got += n;
    }
}

// File name of a save in progress: the same folder, a fixed temporary name.
std::string AsideName(const char* name) {
    std::string s = name;
    size_t cut = s.find_last_of("\\/:");
    std::string dir = cut == std::string::npos ? "" : s.substr(0, cut + 1);
    return dir + "PGMSAVE.TMP";
}

// Writes bytes to a new file beside the final one and puts it in place only
// when it is complete. 0 or the CF status of the failure.
i32 WriteAside(const char* name, const FilePiece* pieces, size_t count, u32 pieceMax) {
    std::string aside = AsideName(name);
    FxFile f{};
    i32 st = CF_Open(&f, aside.c_str(), 6);
    if (st != kCfOk) return st;
    for (size_t i = 0; i < count && st == kCfOk; ++i) {
        const u8* p = static_cast<const u8*>(pieces[i].data);
        size_t left = pieces[i].size;
        while (left > 0 && st == kCfOk) {
            u32 n = static_cast<u32>(std::min<size_t>(left, pieceMax)), w = 0;
            st = CF_Write(&f, p, n, &w);
            if (st == kCfOk && w != n) st = kCfMediumError;
            p += n;
            left -= n;
        }
    }
    i32 cst = CF_Close(&f);
    if (st == kCfOk) st = cst;
    int drive = 0;
    if (st != kCfOk) {
        CF_DeleteFile(drive, aside.c_str());
        return st;
    }
    CF_DeleteFile(drive, name);
    CfRenameRequest rq{aside.c_str(), name};
    st = CF_RenameFile(&rq);
    if (st != kCfOk) CF_DeleteFile(drive, aside.c_str());
    return st;
}

i32 ReadCf(void* ctx, void* buffer, u32 n, u32* got) {
    i16 st = CF_Read(static_cast<FxFile*>(ctx), buffer, n, got);
    // The end of the file is a short read, not an error.
    return st == kCfEndOfFile ? 0 : st;
}

// Failure after validation started: everything back as it was.
i32 ValidationFailed(FxFile* f, i32 code) {
    if (f) CF_Close(f);
    ReleaseCnxn();
    g.image.Clear();
    LoadProgram();
    return code;
}

i32 SendPresets(u8 node, const u8* d, u32 length) {
    for (u32 at = 0; at < length; at += kPgmPresetBytes) {
        const u8* r = d + at;
        u8 bits = r[8];
        u32 vb = Pgm_PresetValueBytes(bits);
        u8 f[12];
        u32 n = 0;
        f[n++] = node;
        f[n++] = bits;
        u16 low = GetLe16(r);
        if (low == 1776 || low == 1777) {
            std::memcpy(f + n, r, 4);
            n += 4;
        } else {
            f[n++] = 0;
            f[n++] = 0;
            std::memcpy(f + n, r, 4);
            f[n + 3] &= 0x7F;
            n += 4;
        }
        std::memcpy(f + n, r + 4, vb);
        n += vb;
        if (MCMD_SendCmd(24, static_cast<u8>(n), f) != kCmdAck) return Fail(70);
    }
    return 0;
}

i32 Download(u8 node, const PgmTable& t, const u8* d) {
    const u8 c[2] = {node, static_cast<u8>(t.type)};
    if (MCMD_SendCmd(4, 2, c) != kCmdAck) return Fail(50);
    for (u32 at = 0; at < t.length; at += kDownloadFrame) {
        u8 n = static_cast<u8>(std::min(kDownloadFrame, t.length - at));
        if (MCMD_SendData(n, d + at) != kCmdAck) return Fail(51);
    }
    if (MCMD_SendData(0, nullptr) != kCmdAck) return Fail(51);
    return 0;
}

}  // namespace

void PgmMedia_Reset() {
    g = State{};
    MCMD_Errno = 0;
}

PgmMediaPeers pgmMediaPeers;

void PgmMediaPeers_Check(NeighbourCheck& check) { NEIGHBOUR_REQUIRE(check, pgmMediaPeers, warmReset); }

i32 ReleaseCnxn() {
    g.validated = false;
    if (!MCMD_Open()) return 0;
    const u8 d[4] = {g.node, 0, 0xF4, 0x01};  // hold back to 500 ms
    if (MCMD_SendCmd(25, 4, d) != kCmdAck) MCMD_Errno = 80;
    MCMD_Close();
    return 0;
}

i32 PgmReadIdentity(u8* out80) {
    g.node = Node();
    i32 st = MCMD_Init(g.node);
    if (st != 0) return st;
    if (LinkClaim(g.node) != kCmdAck) {
        ReleaseCnxn();
        return Fail(20);
    }
    std::vector<u8> table;
    bool tooLong = false;
    u32 e = Upload(g.node, kPgmTypeSecurity, table, kSecurityTableMax, &tooLong, 21, 21);
    if (e != 0) {
        ReleaseCnxn();
        return Fail(e);
    }
    if (out80) {
        std::memset(out80, 0, kPgmIdentityBytes);
        if (!table.empty()) std::memcpy(out80, table.data(), std::min<size_t>(table.size(), kPgmIdentityBytes));
    }
    return 0;
}

i32 ValidatePgm(const char* name, u8* identityOut80) {
    g.validated = false;
    FxFile f{};
    i32 st = name ? CF_Open(&f, name, 0) : kCfInvalid;
    if (st != kCfOk) return ValidationFailed(nullptr, st);
    st = Pgm_Read(ReadCf, &f, &g.image);
    if (st != 0) return ValidationFailed(&f, st);
    if (identityOut80) std::memcpy(identityOut80, g.image.identity, kPgmIdentityBytes);
    if (!MCMD_Open()) return ValidationFailed(&f, Fail(30));
    u16 model = 0, version = 0;
    if (!QueryVersion(g.node, &model, &version)) return ValidationFailed(&f, Fail(30));
    if (model != g.image.header.model) return ValidationFailed(&f, kPgmOtherModel);
    if (version < g.image.header.major * 256 + g.image.header.minor) return ValidationFailed(&f, kPgmNewerFirmware);
    CF_Close(&f);
    g.validated = true;
    return 0;
}

i32 LoadPgm() {
    const bool autoLoad = Sys_AutoLoad == 1;
    i32 result = 0;
    if (!g.validated || !MCMD_Open()) {
        // Nothing checked is waiting: never download what an earlier,
        // failed validation left behind.
        result = kPgmNoAnswer;
    } else {
        const u8 stop[2] = {g.node, 0};
        if (MCMD_SendCmd(2, 2, stop) != kCmdAck) result = Fail(40);
        for (u32 i = 0; result == 0 && i < g.image.count; ++i) {
            const PgmTable& t = g.image.tables[i];
            const u8* d = g.image.TableData(i);
            if (t.type == kPgmTypePresets)
                result = SendPresets(g.node, d, t.length);
            else if (t.type != kPgmTypeSkipped && t.type != kPgmTypeLegacy9)
                result = Download(g.node, t, d);
        }
        if (result == 0 && autoLoad && !Sys_ManualLoadKey && (SR_Get(164) & 0x10)) {
            SaveProgram();
            SetPlcMode(2);
        }
    }
    if (result != 0) {
        LoadProgram();
        result = kPgmNoAnswer;
    }
    ReleaseCnxn();
    g.image.Clear();
    if (autoLoad && QuilletRuntime) RestoreBBRAM(1);
    Sys_ManualLoadKey = 0;
    Sys_AutoLoad = 0;
    Sys_AppLoad = 0;

    if (Clon_LoadClone == 1) {
        Clon_LoadClone = 0;
        // The registers of another program are never put under a program
        // that did not load.
        i32 r = result == 0 ? LoadDat(kCloneImage) : result;
        u16 s = SR_Get(164);
        if (r != 0) s |= 0x800;
        // The clone request is over either way; it must not ask again after
        // the restart.
        s = static_cast<u16>(s & ~(0x200 | 0x1000));
        SR_Put(164, s);
        Clone_Sure_Flag = 0;
        if (result == 0) {
            TCH_BeepOvrd();
            SaveProgram();
            AutoSaveRegisters();
            pgmMediaPeers.warmReset();
        }
        return r;
    }
    return result;
}

i32 SavePgm(const char* name) {
    if (!name) return kCfInvalid;
    g.node = Node();
    i32 st = MCMD_Init(g.node);
    if (st != 0) return st;
    if (LinkClaim(g.node) != kCmdAck) {
        ReleaseCnxn();
        return Fail(1);
    }
    u16 model = 0, version = 0;
    if (!QueryVersion(g.node, &model, &version)) {
        ReleaseCnxn();
        return Fail(2);
    }
    u32 count = 0;
    for (const SaveRow& r : kSaveOrder) count += Present(r) ? 1 : 0;
    PgmHeader h;
    h.model = model;
    u16 sr38 = SR_Get(38);
    h.minor = static_cast<u8>(sr38 % 100);
    h.major = static_cast<u8>(sr38 / 100);
    h.tableCount = static_cast<u16>(count);
    std::vector<u8> file(kPgmHeaderBytes);
    Pgm_EncodeHeader(h, file.data());
    i32 result = 0;
    for (const SaveRow& r : kSaveOrder) {
        if (!Present(r)) continue;
        u32 size = StoredSize(r.type);
        size_t at = file.size();
        file.resize(at + kPgmTableHeaderBytes);
        Pgm_EncodeTableHeader(r.type, size, &file[at]);
        bool tooLong = false;
        u32 e = Upload(g.node, r.type, file, size, &tooLong, 11, 12);
        if (e != 0) {
            result = Fail(e);
            break;
        }
        if (tooLong || file.size() - at - kPgmTableHeaderBytes != size) {
            result = kPgmDamaged;
            break;
        }
        u8 crc[2];
        PutLe16(crc, crc16(file.data() + at + kPgmTableHeaderBytes, size));
        file.insert(file.end(), crc, crc + 2);
    }
    ReleaseCnxn();
    if (result != 0) return result;
    FilePiece piece{file.data(), file.size()};
    return WriteAside(name, &piece, 1, kWritePiece);
}

i32 MakeDat(const char* name) {
    if (!name) return kCfInvalid;
    if (QuilletRuntime && pDB) {
        Q4VMWarm_SaveToFile(kCloneRetained);
    } else {
        // Retained values of an earlier clone must not travel with this one.
        std::string stale = Root_HostPath(kCloneRetained);
        if (::unlink(stale.c_str()) == 0) File_SyncDirOf(stale);
    }
    // A snapshot, so the stored image and its check word agree.
    std::vector<u8> image(plc_reg, plc_reg + kPlcRegBytes);
    u8 crc[2];
    PutLe16(crc, crc16(image.data(), kPlcRegBytes));
    FilePiece pieces[2] = {{image.data(), kPlcRegBytes}, {crc, 2}};
    return WriteAside(name, pieces, 2, kClonePiece);
}

int q4LoadDat() {
    if (!Q4VMWarm_LoadFromFile(kCloneRetained)) return 0;
    std::vector<u8> bytes;
    if (!File_ReadAll(Root_HostPath(kCloneRetained), bytes, 64u << 20)) return 0;
    if (!File_WriteAtomic(Root_HostPath(kRetained), bytes.data(), bytes.size())) {
        std::printf("write failed\n");
        return 0;
    }
    return 1;
}

i32 LoadDat(const char* name) {
    if (!name) return kCfInvalid;
    FxFile f{};
    i32 st = CF_Open(&f, name, 0);
    if (st != kCfOk) return st;
    // Read once, check whole, and only then change anything.
    std::vector<u8> image(kCloneImageBytes + 1);
    u32 got = 0;
    while (got < image.size()) {
        u32 n = 0;
        u32 want = std::min<u32>(kClonePiece, static_cast<u32>(image.size()) - got);
        i16 r = CF_Read(&f, image.data() + got, want, &n);
        if (r != kCfOk && r != kCfEndOfFile) {
            CF_Close(&f);
            return r;
        }
        if (n == 0) break;
        got += n;
    }
    CF_Close(&f);
    if (got != kCloneImageBytes || crc16(image.data(), kPlcRegBytes) != GetLe16(&image[kPlcRegBytes]))
        return kPgmDamaged;
    if (QuilletRuntime) q4LoadDat();
    std::memcpy(plc_reg, image.data(), kPlcRegBytes);
    Update_SystemVariables();
    return 0;
}

void Update_SystemVariables() {
    ESR_Put(8, InitRdVer);
    for (int i = 0; i < 5; ++i) {
        u16 w = static_cast<u16>(static_cast<u8>(KernelRev[2 * i]) | (static_cast<u8>(KernelRev[2 * i + 1]) << 8));
        ESR_Put(9 + i, w);
    }
}

i32 PgmMedia_LoadFile(const char* name) {
    u8 identity[kPgmIdentityBytes];
    i32 st = PgmReadIdentity(identity);
    if (st != 0) return st;
    st = ValidatePgm(name, identity);
    if (st != 0) return st;
    return LoadPgm();
}
