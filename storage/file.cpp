#include "storage/file.h"

#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/nvram.h"
#include "core/plc_regs.h"
#include "iec/blocks/q4EnumQuilletVariables.h"
#include "ladder/ladder_operand.h"
#include "ladder/pid.h"
#include "platform/cmdrun.h"
#include "platform/fx_api.h"
#include "platform/root.h"
#include "storage/cf_api.h"
#include "storage/cf_dpram.h"
#include "storage/cfmgr.h"

i16 CopyRet = 0;
i16 DeleteRet = 0;

namespace {

constexpr u32 kNameMax = 512;        // characters of a name (513-byte buffer)
constexpr u64 kMaxTransferBits = 65543;  // more than 8,192 bytes is refused
constexpr u32 kRecordBytesMax = 8192;
constexpr u32 kInlineFormEnd = 1024;

// ------------------------------------------------------------------ record access

// A record seen as bytes from its opcode.
struct Rec {
    const u16* w;
    u16 U16(u32 off) const { return w[off / 2]; }
    u32 U32(u32 off) const { return w[off / 2] | (static_cast<u32>(w[off / 2 + 1]) << 16); }
    u8 Byte(u32 off) const { return static_cast<u8>(off & 1 ? w[off / 2] >> 8 : w[off / 2] & 0xFF); }
};

// Where a name lies and how far the record goes past it.
struct NameRef {
    u32 form = 0;
    u32 address = 0;      // form 0: string block; register form: the form word
    u32 inlineByte = 0;   // inline: byte offset of the text in the record
    u32 inlineBytes = 0;  // inline: bytes of text room
};

// Parses the name at byte offset `off` (the form word); *end receives the
// byte offset after it. False when it runs past availBytes or an inline
// name has no NUL in its room.
bool ParseName(Rec r, u32 availBytes, u32 off, NameRef* n, u32* end) {
    if (off + 4 > availBytes) return false;
    n->form = r.U32(off);
    off += 4;
    if (n->form == 0) {
        if (off + 4 > availBytes) return false;
        n->address = r.U32(off);
        *end = off + 4;
        return true;
    }
    if (n->form < kInlineFormEnd) {
        u32 bytes = 2 * n->form;
        if (off + bytes > availBytes) return false;
        bool nul = false;
        for (u32 i = 0; i < bytes && !nul; ++i) nul = r.Byte(off + i) == 0;
        if (!nul) return false;
        n->inlineByte = off;
        n->inlineBytes = bytes;
        *end = off + bytes;
        return true;
    }
    n->address = n->form;
    *end = off;
    return true;
}

// Bytes of register memory (or of the IEC variable's table) from a register
// bit address on; null when the address names nothing.
const u8* RegSpan(u32 address, u32* bytes) {
    if ((address >> 30) == 3) {
        u8* data = nullptr;
        u32 n = 0;
        if (QuilletVmDbSpan(address, &data, &n) != 1 || !data) return nullptr;
        *bytes = n;
        return data;
    }
    const u8* p = PlcReg_Ptr(address, 8);
    if (!p || p < plc_reg || p >= plc_reg + kPlcRegBytes) return nullptr;
    *bytes = static_cast<u32>(plc_reg + kPlcRegBytes - p);
    return p;
}

// Reads a name into out (513 bytes). False when it cannot be read or has no
// end within 512 characters.
bool ReadName(Rec r, const NameRef& n, char* out) {
    out[0] = '\0';
    if (n.form == 0) {
        u32 room = 0;
        const u8* p = RegSpan(n.address, &room);
        if (!p || room < 2) return false;
        u32 len = p[1];  // high byte of the first word
        if (room - 2 < len) return false;
        std::memcpy(out, p + 2, len);
        out[len] = '\0';
        return true;
    }
    if (n.form < kInlineFormEnd) {
        u32 i = 0;
        for (; i < n.inlineBytes && i < kNameMax; ++i) {
            out[i] = static_cast<char>(r.Byte(n.inlineByte + i));
            if (out[i] == '\0') return true;
        }
        return false;
    }
    u32 room = 0;
    const u8* p = RegSpan(n.address, &room);
    if (!p) return false;
    for (u32 i = 0; i < room && i <= kNameMax; ++i) {
        out[i] = static_cast<char>(p[i]);
        if (p[i] == 0) return true;
    }
    out[0] = '\0';
    return false;
}

// Bytes of each record kind up to its name(s); 0 when malformed.
u32 RecordBytes(Rec r, u32 availBytes, NameRef* a, NameRef* b) {
    NameRef na, nb;
    if (!a) a = &na;
    if (!b) b = &nb;
    u32 end = 0;
    if (availBytes < 2) return 0;
    switch (r.U16(0)) {
        case kFileOpRead:
        case kFileOpWrite:
            return ParseName(r, availBytes, 24, a, &end) ? end : 0;
        case kFileOpRename:
            if (!ParseName(r, availBytes, 8, a, &end)) return 0;
            return ParseName(r, availBytes, end, b, &end) ? end : 0;
        case kFileOpDelete:
            return ParseName(r, availBytes, 8, a, &end) ? end : 0;
        case kFileOpCopy:
            if (availBytes < 12 || !ParseName(r, availBytes, 12, a, &end)) return 0;
            return ParseName(r, availBytes, end, b, &end) ? end : 0;
        case kFileOpFormat:
            return availBytes >= 8 ? 8 : 0;
        case kFileOpRecord: {
            if (availBytes < 40) return 0;
            bool write = r.U16(2) == kFileRecordWriteForm;
            u32 size = r.U16(36);
            u32 fields = r.U32(24);
            u32 listAt = write ? 40 : 44;
            u32 entry = write ? 8 : 4;  // column descriptors of a write; read table entries
            if (size % 2 || size > availBytes || size < listAt) return 0;
            if (fields > (size - listAt) / entry) return 0;
            // A header takes the column names from the record itself: each
            // name must lie inside it.
            if (write && r.U16(14) == 1) {
                for (u32 f = 0; f < fields; ++f) {
                    u32 d = listAt + 8 * f;
                    i64 off = static_cast<i64>(r.U16(d) | (static_cast<u32>(r.U16(d + 2)) << 16));
                    off = static_cast<i32>(off);
                    u32 len = r.Byte(d + 4);
                    if (off < 0 || static_cast<u64>(off) + len > size) return 0;
                }
            }
            a->form = r.U32(28);
            if (a->form < kInlineFormEnd) {
                // Inline name: the NUL-ended text at the offset given at 32,
                // inside the record.
                u32 at = r.U32(32);
                if (at < listAt || at >= size) return 0;
                bool nul = false;
                for (u32 i = at; i < size && !nul; ++i) nul = r.Byte(i) == 0;
                if (!nul) return 0;
                a->inlineByte = at;
                a->inlineBytes = std::min<u32>(size - at, kNameMax + 1);
            } else {
                a->address = a->form;
            }
            return size;
        }
        default:
            return 0;
    }
}

// ------------------------------------------------------------------ status block

// The status block: three words in the register memory, or for an IEC
// caller the caller's status variable (as many words as it holds).
struct Status {
    u8* p = nullptr;
    u32 words = 0;
    i16 Get(u32 i) const { return i < words ? static_cast<i16>(GetLe16(p + 2 * i)) : 0; }
    void Put(u32 i, i32 v) const {
        if (i < words) PutLe16(p + 2 * i, static_cast<u16>(v));
    }
};

bool IecCaller() { return QuilletRuntime == 1 && quillet_variables_enumerateded != 0; }

Status FindStatus(u32 address, bool iec) {
    Status s;
    if (iec) {
        u8* data = nullptr;
        u32 n = 0;
        if (QuilletVmDbSpan(address, &data, &n) == 1 && data && n >= 2) {
            s.p = data;
            s.words = std::min<u32>(n / 2, 3);
        }
        return s;
    }
    s.p = PlcReg_Ptr(address, 48);
    s.words = s.p ? 3 : 0;
    return s;
}

// ------------------------------------------------------------------ data areas

// Linear register bit address of a record's data field.
bool DataAddress(Rec r, u32 off, bool byOffset, u64* bit) {
    u32 a = r.U32(off);
    if (!byOffset) {
        *bit = LadderRemap(a);
        return (*bit >> 30) != 3;
    }
    u32 pair = 0;
    if (!PlcReg_Get(&pair, a, 32)) return false;
    *bit = kLadderBitFirst + 8ull * pair;  // 64 bits: a large offset cannot wrap
    return true;
}

// A read may only land in %IG/%QG, %AIG/%AQG or the registers from %I on.
bool DestinationAllowed(u64 start, u64 bits) {
    if (bits == 0) bits = 1;
    u64 last = start + bits - 1;
    if (start < kLadderBitFirst) return false;
    if (start < 2048) return last <= 1535;
    if (start < 8192) return last <= 3071;
    return last < kLadderBitEnd;
}

bool SourceAllowed(u64 start, u64 bits) {
    if (bits == 0) bits = 1;
    return start >= kLadderBitFirst && start + bits - 1 < kLadderBitEnd;
}

u8* RegByte(u64 bit) { return plc_reg + (bit - kLadderBitFirst) / 8; }

// Value of a 16-bit register, or of a pair when pair is set.
bool RegValue(u32 address, bool pair, u32* v) {
    if (pair) return PlcReg_Get(v, address, 32) == 1;
    u16 w = 0;
    if (!PlcReg_Get(&w, address, 16)) return false;
    *v = w;
    return true;
}

// ------------------------------------------------------------------ channel

// The single transfer in flight on the channel: its staging buffer receives
// what the read returns before it goes into the registers.
alignas(4) u8 g_staging[kDpramDataBytes];
// What the started read may put into the registers: its checked
// destination and the bits checked there.
struct Transfer {
    u64 destBit = 0;
    u64 roomBits = 0;
    u32 width = 0;   // bits per element; 0 a record read
    bool bit = false;      // one bit through a byte
    bool rowCount = false; // the 32-bit row count
};

struct State {
    const u16* owner = nullptr;  // channel 0's owner (its record), null when free
    u32 countOut = 0;
    Transfer xfer;
    // Background jobs (copy, delete): child pid, drive-busy flags (bit 1 B:,
    // bit 2 A:) and the instruction whose job it is.
    pid_t pid[2] = {};
    u8 busy[2] = {};
    const u16* jobOwner[2] = {};
};
State g;

// ------------------------------------------------------------------ names and paths

// The drive folder of a name: B: when it names B:, else A:.
int DriveOf(const std::string& name) {
    for (size_t i = 0; i + 1 < name.size(); ++i)
        if ((name[i] == 'B' || name[i] == 'b') && name[i + 1] == ':') return 1;
    return 0;
}
const char* DriveRoot(int drive) { return drive == 1 ? "/mnt/USB1/" : "/mnt/USB0/"; }

// Turns a job name into the path inside its drive: "\" becomes "/", a NUL
// or a space ends it, the date tokens are expanded, letters go to upper
// case, the drive prefix or a leading "/" is dropped. Names that would
// leave the drive (".." components), carry shell or control characters, or
// have no end within 512 characters are refused (86). *wild is set when the
// last component holds "*" or "?"; a wildcard elsewhere is refused.
i16 JobPath(const char* raw, int drive, std::string* path, bool* wild) {
    std::string name;
    size_t i = 0;
    for (; i < kNameMax; ++i) {
        char c = raw[i];
        if (c == '\0' || c == ' ') break;
        name += c == '\\' ? '/' : c;
    }
    if (i == kNameMax) return kFileInvalid;
    char expanded[kNameMax + 1];
    if (!ConvertMeta(name.c_str(), expanded, sizeof expanded)) return kFileInvalid;
    name = expanded;
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (name.size() >= 2 && (name[0] == 'A' || name[0] == 'B') && name[1] == ':') name.erase(0, 2);
    while (!name.empty() && name[0] == '/') name.erase(0, 1);
    *wild = false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t slash = name.find('/', start);
        std::string comp = name.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (comp == "..") return kFileInvalid;
        bool hasWild = comp.find_first_of("*?") != std::string::npos;
        if (hasWild && slash != std::string::npos) return kFileInvalid;
        if (hasWild) *wild = true;
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    for (char c : name) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || std::strchr(";$`|&<>\"'():[]{}!", c)) return kFileInvalid;
    }
    *path = std::string(DriveRoot(drive)) + name;
    if (path->size() > kNameMax) return kFileInvalid;
    return 0;
}

// The host path of a firmware path whose existing components take the case
// they have on the medium (the drives compare names without regard to case).
std::string HostCase(const std::string& fw) {
    std::string host = Root_HostPath("/");
    while (!host.empty() && host.back() == '/') host.pop_back();
    size_t pos = 1;
    while (pos <= fw.size()) {
        size_t slash = fw.find('/', pos);
        std::string comp = fw.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
        if (!comp.empty()) {
            std::string next = host + "/" + comp;
            struct stat st;
            if (lstat(next.c_str(), &st) != 0) {
                if (DIR* d = opendir(host.c_str())) {
                    while (dirent* e = readdir(d)) {
                        if (strcasecmp(e->d_name, comp.c_str()) == 0) {
                            next = host + "/" + e->d_name;
                            break;
                        }
                    }
                    closedir(d);
                }
            }
            host = next;
        }
        if (slash == std::string::npos) break;
        pos = slash + 1;
    }
    return host;
}

std::string DirPart(const std::string& p) {
    size_t s = p.rfind('/');
    return s == std::string::npos ? std::string() : p.substr(0, s + 1);
}
std::string LastPart(const std::string& p) {
    size_t s = p.rfind('/');
    return s == std::string::npos ? p : p.substr(s + 1);
}

// The firmware path of the host path (under the root).
std::string FirmwareOf(const std::string& host) {
    std::string root = Root_HostPath("/");
    while (!root.empty() && root.back() == '/') root.pop_back();
    return host.size() > root.size() ? host.substr(root.size()) : std::string("/");
}

// Matching entries of a wildcard path, as firmware paths in the medium's case.
std::vector<std::string> Matches(const std::string& fwPattern) {
    std::vector<std::string> out;
    std::string dirHost = HostCase(DirPart(fwPattern));
    std::string pat = LastPart(fwPattern);
    if (DIR* d = opendir(dirHost.c_str())) {
        while (dirent* e = readdir(d)) {
            if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
            std::string up = e->d_name;
            for (char& c : up) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            if (TestForMatchingFilename(pat.c_str(), up.c_str())) out.push_back(FirmwareOf(dirHost + "/" + e->d_name));
        }
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// The source check of a job: 0 when it may start, else its status.
i16 CheckSource(const std::string& fw, bool wild) {
    if (wild) {
        std::string dir = DirPart(fw);
        std::string host = HostCase(dir);
        struct stat st;
        if (stat(host.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return kFileNotFound;
        if (isDirectoryEmpty(dir.c_str())) return kFileNotFound;
        return AnyFilePresentWithSuchPattern(dir.c_str(), LastPart(fw).c_str()) ? 0 : kFileNotFound;
    }
    std::string host = HostCase(fw);
    if (access(host.c_str(), R_OK) == 0) return 0;
    switch (errno) {
        case ENOENT:
        case EACCES:
        case ENOTDIR:
            return kFileNotFound;
        case EINVAL:
        case ENAMETOOLONG:
        case ELOOP:
            return kFileInvalid;
        case ETXTBSY:
            return kFileTextBusy;
        case EROFS:
            return kFileReadOnly;
        default:
            return kFileRunning;
    }
}

// ------------------------------------------------------------------ jobs

std::mutex g_lock;  // guards the jobs' part of the state

int Index(FileJob job) { return job == FileJob::kCopy ? 0 : 1; }
i16& Result(int i) { return i == 0 ? CopyRet : DeleteRet; }
u8 DriveBit(int drive) { return drive == 1 ? 0x02 : 0x04; }

// Ends the child by pid and reaps it. The child is still ours (not reaped
// before), so the pid cannot belong to another process.
void EndChild(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

void PollLocked() {
    for (int i = 0; i < 2; ++i) {
        if (g.pid[i] <= 0) continue;
        int status = 0;
        if (waitpid(g.pid[i], &status, WNOHANG) == g.pid[i]) {
            Result(i) = (WIFEXITED(status) && WEXITSTATUS(status) == 0) ? 0 : kFileJobFailed;
            g.pid[i] = 0;
            g.busy[i] = 0;
        }
    }
}

// Ends a job by its pid. A stop keeps the owner, whose instruction then
// shows -4 until its power flow goes FALSE.
void EndLocked(int i, bool forgetOwner) {
    if (g.pid[i] > 0) EndChild(g.pid[i]);
    g.pid[i] = 0;
    g.busy[i] = 0;
    if (forgetOwner) g.jobOwner[i] = nullptr;
    Result(i) = kFileDisabled;
}

int Run(std::initializer_list<const char*> words) {
    std::vector<const char*> argv(words);
    return SysCmd_RunArgv(static_cast<int>(argv.size()), argv.data());
}

// Body of a job child: the command runner carries out mkdir, cp and rm
// inside the root; nothing goes through a shell.
[[noreturn]] void JobChild(int job, const std::string& src, const std::string& dst, bool wild) {
    int status = 0;
    if (job == 0) {
        std::string dir = (wild || (!dst.empty() && dst.back() == '/')) ? dst : DirPart(dst);
        if (!dir.empty()) {
            std::string fwDir = FirmwareOf(HostCase(dir));
            if (Run({"mkdir", "-p", fwDir.c_str()}) != 0) status = 1;
        }
        std::vector<std::string> sources = wild ? Matches(src) : std::vector<std::string>{FirmwareOf(HostCase(src))};
        std::string target = FirmwareOf(HostCase(dst));
        if (dst.back() == '/' && target.back() != '/') target += '/';
        if (wild && target.back() != '/') target += '/';
        for (const std::string& s : sources)
            if (status == 0 && Run({"cp", s.c_str(), target.c_str()}) != 0) status = 1;
        if (sources.empty()) status = 1;
    } else {
        std::vector<std::string> targets = wild ? Matches(src) : std::vector<std::string>{FirmwareOf(HostCase(src))};
        for (const std::string& s : targets)
            if (Run({"rm", "-rf", s.c_str()}) != 0) status = 1;
    }
    _exit(status);
}

// Starts a job child with SIGALRM and SIGPIPE blocked; false when fork fails.
bool StartJob(int i, const std::string& src, const std::string& dst, bool wild) {
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGALRM);
    sigaddset(&block, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    pid_t pid = fork();
    if (pid == 0) {
        // The job never outlives the controller.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        JobChild(i, src, dst, wild);
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (pid < 0) return false;
    g.pid[i] = pid;
    return true;
}

// ------------------------------------------------------------------ instructions

struct Ctx {
    Rec r;
    Status st;
    bool owner;
    bool iec;
};

void Release(const u16* rec) {
    if (g.owner == rec) g.owner = nullptr;
}

// Copy (249) and delete (253).
u8 JobInstruction(Ctx& c, bool copy, u8 power, const NameRef& na, const NameRef& nb) {
    const u16* rec = c.r.w;
    int j = copy ? 0 : 1;
    std::lock_guard<std::mutex> lock(g_lock);
    PollLocked();
    if (!power) {
        if (c.owner) {
            if (g.jobOwner[j] == rec) EndLocked(j, true);
            Result(j) = kFileDisabled;
            Release(rec);
        }
        c.st.Put(0, kFileDisabled);
        return 0;
    }
    if (g.owner && !c.owner) {
        c.st.Put(0, kFileBusy);
        return 0;
    }
    if (c.owner) {
        // A result belongs to its own job: another instruction's job never
        // shows here.
        if (g.jobOwner[j] == rec) c.st.Put(0, Result(j));
        return c.st.Get(0) == 0;
    }
    char a[kNameMax + 1], b[kNameMax + 1];
    bool okA = ReadName(c.r, na, a);
    bool okB = copy ? ReadName(c.r, nb, b) : true;
    if ((na.form == 0 && okA && !a[0]) || (copy && nb.form == 0 && okB && !b[0])) {
        c.st.Put(0, kFileNotFound);
        c.st.Put(1, 0);
        return 0;
    }
    // A check failed before the job started. The instruction keeps the
    // channel and shows the result until its power flow goes FALSE; an IEC
    // block's channel is released at once.
    auto fail = [&](i16 code) -> u8 {
        g.busy[j] = 0;
        Result(j) = code;
        c.st.Put(0, code);
        c.st.Put(1, 0);
        if (c.iec) {
            g.jobOwner[j] = nullptr;
            Release(rec);
            return 0;
        }
        g.owner = rec;
        g.jobOwner[j] = rec;
        return code == 0;
    };
    if (!okA || !okB) return fail(kFileInvalid);
    g.owner = rec;
    g.jobOwner[j] = rec;
    Result(j) = kFileRunning;
    int sd = DriveOf(a), dd = copy ? DriveOf(b) : sd;
    if (Cf_Check(sd) != 3 || Cf_Check(dd) != 3) {
        return fail(kFileNoMedium);
    }
    u8 mine = static_cast<u8>(DriveBit(sd) | DriveBit(dd));
    if (g.busy[1 - j] & mine) {
        return fail(kFileBusy);
    }
    std::string src, dst;
    bool wild = false, wildDst = false;
    i16 e = JobPath(a, sd, &src, &wild);
    if (e == 0 && copy) e = JobPath(b, dd, &dst, &wildDst);
    if (e == 0 && wildDst) e = kFileInvalid;
    if (e == 0) e = CheckSource(src, wild);
    if (e != 0) {
        return fail(e);
    }
    g.busy[j] = mine;
    if (!StartJob(j, src, dst, wild)) {
        return fail(kFileJobFailed);
    }
    c.st.Put(0, Result(j));
    c.st.Put(1, 0);
    return 0;
}

// Polls the mailbox transfer of the owning instruction.
void PollTransfer(Ctx& c, u16 op) {
    if (c.st.Get(0) != kFileRunning) return;
    u8 poll = kDpramPoll;
    i32 res = kFileRunning;
    Rec r = c.r;
    switch (op) {
        case kFileOpRead:
        case kFileOpRecord: {
            CfDpramReadRequest q{};
            bool record = op == kFileOpRecord;
            u32 type = record ? 0 : (r.U16(10) & 0x7FFF);
            q.type = type;
            q.dest = g_staging;
            q.countOut = &g.countOut;
            if (record) q.word8 = kCfMixedRead | (static_cast<u32>(r.U16(38)) << 16);
            g.countOut = 0;
            res = CF_DpramReadFile(poll, &q);
            if (res == kFileRunning) return;
            // Only what the checked destination holds goes into the registers.
            u32 done = g.countOut;
            u64 got = g.xfer.width == 0 ? g.xfer.roomBits
                      : g.xfer.rowCount ? 32
                                        : static_cast<u64>(done) * g.xfer.width;
            if (g.xfer.bit) {
                if (done == 1) {
                    u8 v = g_staging[0] ? 1 : 0;
                    PlcReg_Set(static_cast<u32>(g.xfer.destBit), &v, 1);
                }
            } else {
                u64 bytes = std::min<u64>(std::min(g.xfer.roomBits, got) / 8, sizeof g_staging);
                std::memcpy(RegByte(g.xfer.destBit), g_staging, bytes);
            }
            c.st.Put(1, static_cast<i32>(done));
            break;
        }
        case kFileOpWrite: {
            CfDpramWriteRequest q{};
            q.countOut = &g.countOut;
            res = CF_DpramWriteFile(poll, &q);
            if (res == kFileRunning) return;
            c.st.Put(1, static_cast<i32>(g.countOut));
            break;
        }
        case kFileOpRename:
            res = CF_DpramRenameFile(poll, nullptr, nullptr);
            break;
        case kFileOpFormat:
            res = CF_DpramFormatCard(poll);
            break;
        default:
            break;
    }
    if (res == kFileRunning) return;
    c.st.Put(0, res);
}

// Starts a mailbox operation; returns the status to show.
i32 StartTransfer(Ctx& c, u16 op, const NameRef& na, const NameRef& nb) {
    Rec r = c.r;
    char a[kNameMax + 1], b[kNameMax + 1];
    switch (op) {
        case kFileOpRead:
        case kFileOpWrite: {
            u8 mode = r.Byte(4), opt = r.Byte(5);
            u32 type = r.U16(10) & 0x7FFF;
            if (type >= 9) return kFileInvalid;
            u32 v = 0;
            u32 count = r.U32(16);
            if (opt & 0x20) {
                if (!RegValue(r.U32(16), false, &v)) return kFileInvalid;
                count = v;
            }
            bool read = op == kFileOpRead;
            u32 second = r.U32(12);
            if (opt & 0x40) {
                if (!RegValue(r.U32(12), read, &v)) return kFileInvalid;
                second = v;
            }
            // A bit travels through one byte: one element at a time.
            if (type == 2 && count > 1) return kFileInvalid;
            u64 width = CF_TypeWidth[type];
            u64 bit = 0;
            if (!DataAddress(r, 6, opt & 0x80, &bit)) return kFileInvalid;
            if (type != 2 && (bit - kLadderBitFirst) % 8) return kFileInvalid;
            if (!ReadName(r, na, a)) return kFileInvalid;
            if (read) {
                i32 first = static_cast<i32>(second);
                u64 bits;
                if (first == -1) {
                    bits = 32;  // the row count, a 32-bit value
                } else if (first < 0) {
                    // By column: up to `points` values (0 means 600),
                    // whatever the count word says about elements.
                    u32 points = count >> 16 ? count >> 16 : 600;
                    bits = static_cast<u64>(points) * width;
                } else {
                    bits = static_cast<u64>(count) * width;
                }
                if (bits > kMaxTransferBits) return kFileInvalid;
                if (!DestinationAllowed(bit, type == 2 ? 1 : bits)) return kFileInvalid;
                g.xfer = Transfer{bit, bits, static_cast<u32>(width), type == 2, first == -1};
                CfDpramReadRequest q{};
                q.mode = mode;
                q.name = a;
                q.dest = g_staging;
                q.type = type;
                q.count = count;
                q.countOut = &g.countOut;
                q.first = first;
                return CF_DpramReadFile(0, &q);
            }
            u64 bits = static_cast<u64>(count) * width;
            if (bits > kMaxTransferBits) return kFileInvalid;
            if (!SourceAllowed(bit, type == 2 ? 1 : bits)) return kFileInvalid;
            u8 one = 0;
            const void* data = RegByte(bit);
            if (type == 2) {
                PlcReg_Get(&one, static_cast<u32>(bit), 1);
                data = &one;
            }
            CfDpramWriteRequest q{};
            q.mode = mode;
            q.name = a;
            q.data = data;
            q.type = type;
            q.count = count;
            q.countOut = &g.countOut;
            q.perLine = second;
            q.formatBits = opt & 0x0F;
            q.append = (opt >> 4) & 1;
            return CF_DpramWriteFile(0, &q);
        }
        case kFileOpRecord: {
            bool write = r.U16(2) == kFileRecordWriteForm;
            u32 bytes = r.U16(38);
            u32 fields = r.U32(24);
            u32 listAt = write ? 40 : 44;
            if (bytes > kRecordBytesMax) return kFileInvalid;
            u64 bit = 0;
            if (!DataAddress(r, write ? 16 : 12, false, &bit) || (bit - kLadderBitFirst) % 8) return kFileInvalid;
            if (!ReadName(r, na, a)) return kFileInvalid;
            const u8* list = reinterpret_cast<const u8*>(r.w) + listAt;
            const u32 entry = write ? 8 : 4;
            u32 perRecord = 0;
            for (u32 i = 0; i < fields; ++i) {
                const u8* e = list + entry * i;
                u8 type = write ? e[5] : e[1];
                perRecord += type ? GetLe16(e + (write ? 6 : 2)) : 1;
            }
            if (write) {
                if (!SourceAllowed(bit, bytes * 8ull)) return kFileInvalid;
                CfDpramWriteRequest q{};
                q.mode = r.U16(10);
                q.name = a;
                q.data = RegByte(bit);
                q.count = perRecord;
                q.countOut = &g.countOut;
                q.formatBits = r.U16(12);
                q.append = 1;
                q.word9 = kCfMixedWrite | (static_cast<u32>(r.U16(14)) << 16);
                q.word10 = (fields & 0xFFFF) | (bytes << 16);
                q.record = r.w;
                q.fieldList = list;
                return CF_DpramWriteFile(0, &q);
            }
            if (!DestinationAllowed(bit, bytes * 8ull)) return kFileInvalid;
            g.xfer = Transfer{bit, bytes * 8ull, 0, false, false};
            u32 index = static_cast<u16>(c.st.Get(2));
            CfDpramReadRequest q{};
            q.mode = r.U16(10);
            q.name = a;
            q.dest = g_staging;
            q.count = perRecord;
            q.countOut = &g.countOut;
            q.first = static_cast<i32>(static_cast<u64>(index) * perRecord);
            q.word8 = kCfMixedRead | (bytes << 16);
            q.fieldList = list;
            q.fieldListBytes = fields * 4;
            i32 res = CF_DpramReadFile(0, &q);
            if (res == kFileRunning) c.st.Put(2, static_cast<i32>(index + 1));
            return res;
        }
        case kFileOpRename:
            if (!ReadName(r, na, a) || !ReadName(r, nb, b)) return kFileInvalid;
            return CF_DpramRenameFile(0, a, b);
        case kFileOpFormat:
            return CF_DpramFormatCard(static_cast<u8>(r.U16(2)));
        default:
            return kFileInvalid;
    }
}

u8 Execute(const u16*& ip, u8 power, u32 availBytes) {
    Rec r{ip};
    u16 op = r.U16(0);
    NameRef na, nb;
    u32 size = RecordBytes(r, availBytes, &na, &nb);
    if (size == 0) {
        ip += 1;
        return 0;
    }
    ip += size / 2;
    bool jobOp = op == kFileOpCopy || op == kFileOpDelete;
    bool iec = jobOp && IecCaller();
    u32 statusAt = op == kFileOpRead || op == kFileOpWrite ? 20 : op == kFileOpRecord ? (r.U16(2) == kFileRecordWriteForm ? 20 : 16) : 4;
    Ctx c{r, FindStatus(r.U32(statusAt), iec), g.owner == r.w, iec};
    if (!c.st.words) return 0;
    if (op == kFileOpRecord && r.U16(2) != kFileRecordWriteForm) {
        u32 rewind = r.U32(20);
        u8 rw = 0;
        if ((rewind && PlcReg_Get(&rw, rewind, 1) && rw) || S_Get(1)) {
            c.st.Put(2, r.U16(40) ? 1 : 0);
            u8 zero = 0;
            if (rewind) PlcReg_Set(rewind, &zero, 1);
        }
    }
    if (jobOp) {
        u8 out = JobInstruction(c, op == kFileOpCopy, power, na, nb);
        return iec ? 0 : out;
    }
    u8 channel = static_cast<u8>(op == kFileOpRecord ? r.U16(8) : r.U16(2));
    if (!power) {
        if (c.owner) Release(r.w);
        c.st.Put(0, kFileDisabled);
        if (op == kFileOpRead || op == kFileOpWrite) c.st.Put(1, 0);
        return 0;
    }
    if (g.owner && !c.owner) {
        c.st.Put(0, kFileBusy);
        return 0;
    }
    if (c.owner) {
        PollTransfer(c, op);
        return c.st.Get(0) == 0;
    }
    // One channel: only channel 0 exists; a format names its drive (A: or
    // B:) in the channel word.
    bool badChannel = op == kFileOpFormat ? channel > 1 : channel != 0;
    i32 res = badChannel ? kFileInvalid : StartTransfer(c, op, na, nb);
    c.st.Put(0, res);
    if (op != kFileOpRecord) c.st.Put(1, 0);
    if (res == kFileRunning) g.owner = r.w;
    return res == 0;
}

// ------------------------------------------------------------------ table rows

template <u16 kOp>
u32 OperandWords(const u16* operands, u32 avail, bool /*records use 32-bit addresses*/) {
    // The record begins with the opcode, the word before the operands.
    const u16* rec = operands - 1;
    if (rec[0] != kOp) return 0;
    u32 words = File_Words(rec, avail + 1);
    return words ? words - 1 : 0;
}

const LadderRoutineRow kRows[] = {
    {kFileOpRecord, kFileOpRecord, "FREC", File_Instruction, 1, {LOpd::kRoutine}, OperandWords<kFileOpRecord>},
    {kFileOpCopy, kFileOpCopy, "FCOPY", File_Instruction, 1, {LOpd::kRoutine}, OperandWords<kFileOpCopy>},
    {kFileOpRead, kFileOpRead, "FREAD", File_Instruction, 1, {LOpd::kRoutine}, OperandWords<kFileOpRead>},
    {kFileOpWrite, kFileOpWrite, "FWRITE", File_Instruction, 1, {LOpd::kRoutine}, OperandWords<kFileOpWrite>},
    {kFileOpRename, kFileOpRename, "FRENAME", File_Instruction, 1, {LOpd::kRoutine}, OperandWords<kFileOpRename>},
    {kFileOpDelete, kFileOpDelete, "FDELETE", File_Instruction, 1, {LOpd::kRoutine}, OperandWords<kFileOpDelete>},
    {kFileOpFormat, kFileOpFormat, "FFORMAT", File_Instruction, 1, {LOpd::kRoutine}, OperandWords<kFileOpFormat>},
};

}  // namespace

// ------------------------------------------------------------------ interface

int File_Init(int value) {
    g.owner = nullptr;
    return value;
}

u8 File_Access(const u16*& ip, u8 power) { return Execute(ip, power, 0xFFFFFFF0u); }

u8 File_Instruction(const u16* code, u32& ip, u8 rung, bool tok16) {
    (void)tok16;
    const u16* p = code + ip - 1;
    u8 out = File_Access(p, rung);
    ip = static_cast<u32>(p - code);
    return out;
}

u32 File_Words(const u16* code, u32 avail) {
    if (!code || avail == 0 || code[0] < kFileOpRecord || code[0] > kFileOpFormat) return 0;
    u64 availBytes = std::min<u64>(static_cast<u64>(avail) * 2, 0xFFFFFFF0u);
    u32 bytes = RecordBytes(Rec{code}, static_cast<u32>(availBytes), nullptr, nullptr);
    return (bytes + 1) / 2;
}

const LadderRoutineRow* File_FindRow(u16 opcode) {
    for (const auto& r : kRows)
        if (opcode == r.first) return &r;
    return nullptr;
}

int TestForMatchingFilename(const char* pattern, const char* name) {
    if (!pattern || !name) return 0;
    // Iterative matching with one backtrack point: linear in practice and
    // no recursion depth to exhaust on hostile patterns.
    const char *p = pattern, *n = name, *star = nullptr, *mark = nullptr;
    while (*n) {
        if (*p == '*') {
            star = p++;
            mark = n;
        } else if (*p == '?' || *p == *n) {
            ++p;
            ++n;
        } else if (star) {
            p = star + 1;
            n = ++mark;
        } else {
            return 0;
        }
    }
    while (*p == '*') ++p;
    return *p == '\0';
}

int AnyFilePresentWithSuchPattern(const char* directory, const char* pattern) {
    if (!directory || !pattern) return 0;
    DIR* d = opendir(HostCase(directory).c_str());
    if (!d) return 0;
    int found = 0;
    while (dirent* e = readdir(d)) {
        if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
        std::string up = e->d_name;
        for (char& c : up) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (TestForMatchingFilename(pattern, up.c_str())) {
            found = 1;
            break;
        }
    }
    closedir(d);
    return found;
}

int isDirectoryEmpty(const char* directory) {
    if (!directory) return 1;
    DIR* d = opendir(HostCase(directory).c_str());
    if (!d) return 1;
    int entries = 0;
    while (readdir(d)) ++entries;
    closedir(d);
    return entries <= 2;
}

void File_RecordJob(FileJob job, pid_t child) {
    std::lock_guard<std::mutex> lock(g_lock);
    int i = Index(job);
    g.pid[i] = child;
    if (child > 0) Result(i) = -2;
}

pid_t File_JobPid(FileJob job) {
    std::lock_guard<std::mutex> lock(g_lock);
    return g.pid[Index(job)];
}

void File_PollJobs() {
    std::lock_guard<std::mutex> lock(g_lock);
    PollLocked();
}

void File_StopJobs() {
    std::lock_guard<std::mutex> lock(g_lock);
    for (int i = 0; i < 2; ++i) {
        if (g.pid[i] <= 0) continue;
        EndLocked(i, false);
    }
}

void File_Reset() {
    File_StopJobs();
    std::lock_guard<std::mutex> lock(g_lock);
    CopyRet = 0;
    DeleteRet = 0;
    g = State{};
}
