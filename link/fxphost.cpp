#include "link/fxphost.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/plc_regs.h"
#include "link/command.h"
#include "platform/fx_api.h"
#include "storage/cf_api.h"

namespace {

constexpr i32 kWait = -1;
constexpr u32 kWordBytes = 256;  // a word with its end
constexpr u32 kDrives = 3;
constexpr char kLetters[kDrives] = {'A', 'B', 'Z'};
constexpr int kDriveZ = 2;

enum Transfer : u8 { kNone, kSending, kSent, kReceiving, kReceived, kListing, kListed };

struct FxpInterfaceRec {
    u32 result = 0;
    u32 value = 0;
    u16 wr = 0, rd = 0, count = 0;
    u8 pending = 0;
    u8 ready = 0;
    u8 eod = 0;
    u8 state = kNone;
    char line[kFxpLineBytes] = {};
    u8 ring[kFxpRingBytes] = {};
};

struct State {
    FxpInterfaceRec fx;
    u8 FileWriteCompleteF = 0, FxpWriteFileErrF = 0, FxpReadFileErrF = 0, FxpCommandPrvF = 0, FxpFlushF = 0,
       FxpCommandF = 0;
    int drive = 0;
    // Current directory of each drive below its root: "" or "DIR/SUB/".
    std::string FxpCwd[kDrives];
    FxFile FxpTransferFile{};
    std::string transferName;  // full name of the file in transfer
    int transferDrive = 0;
    // A received file that could not be deleted while its medium was out.
    std::string orphan;
    int orphanDrive = 0;
    // Listing: a private media record on the listed directory, the single
    // file listed (empty: the whole directory) and a line that did not fit.
    FxMedia listMedia{};
    bool listOpen = false;
    std::string listOnly;
    std::string pendingLine;
};
State g;

FxMedia& MediaOf(int drive) { return *Fx_MediaOf(static_cast<u32>(drive)); }

bool MediumThere(int drive) { return drive == kDriveZ || Fx_MediumPresent(drive); }

// Ring.
u32 RingFree() { return kFxpRingBytes - g.fx.count; }
void RingPut(const u8* p, u32 n) {
    for (u32 i = 0; i < n; ++i) {
        g.fx.ring[g.fx.wr] = p[i];
        g.fx.wr = static_cast<u16>((g.fx.wr + 1) % kFxpRingBytes);
    }
    g.fx.count = static_cast<u16>(g.fx.count + n);
}
u32 RingTake(u8* p, u32 max) {
    u32 n = std::min<u32>(max, g.fx.count);
    for (u32 i = 0; i < n; ++i) {
        p[i] = g.fx.ring[g.fx.rd];
        g.fx.rd = static_cast<u16>((g.fx.rd + 1) % kFxpRingBytes);
    }
    g.fx.count = static_cast<u16>(g.fx.count - n);
    return n;
}
void RingEmpty() { g.fx.wr = g.fx.rd = g.fx.count = 0; }

void CloseListing() {
    if (g.listMedia.dirStream != nullptr) closedir(g.listMedia.dirStream);
    g.listMedia.dirStream = nullptr;
    g.listOpen = false;
    g.pendingLine.clear();
}

void FxpResetState() {
    g.fx.state = kNone;
    g.fx.eod = 0;
    CloseListing();
}

// Deletes a file; when its medium is out the delete is retried once the
// medium is back, so no partial file stays behind.
void DeleteOrRemember(int drive, const std::string& name) {
    if (MediumThere(drive) && _fxe_file_delete(&MediaOf(drive), name.c_str()) == kFxSuccess) return;
    if (!MediumThere(drive)) {
        g.orphan = name;
        g.orphanDrive = drive;
    }
}

void RetryOrphan() {
    if (g.orphan.empty() || !MediumThere(g.orphanDrive)) return;
    u32 st = _fxe_file_delete(&MediaOf(g.orphanDrive), g.orphan.c_str());
    if (st == kFxSuccess || st == kFxNotFound) g.orphan.clear();
}

// Ends a transfer in progress: closes its file, deleting a received one.
void AbortTransfer() {
    if (g.FxpTransferFile.open) {
        _fxe_file_close(&g.FxpTransferFile);
        if (g.fx.state == kReceiving || g.fx.state == kReceived) DeleteOrRemember(g.transferDrive, g.transferName);
    }
    g.FxpTransferFile = FxFile{};
    RingEmpty();
    FxpResetState();
}

// --- names -----------------------------------------------------------------

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

int DriveLetter(const std::string& s) {
    if (s.size() < 2 || s[1] != ':') return -1;
    switch (s[0]) {
        case 'A': case 'a': return 0;
        case 'B': case 'b': return 1;
        case 'Z': case 'z': return 2;
        default: return -1;
    }
}

// A directory below the drive root from a path relative to the current
// directory (or absolute); false for a step that leaves the drive or an
// empty step ("." is passed).
bool JoinDir(const std::string& base, const std::string& path, std::string* out) {
    std::string p = path;
    std::replace(p.begin(), p.end(), '\\', '/');
    std::string d = !p.empty() && p[0] == '/' ? std::string() : base;
    size_t i = 0;
    while (i <= p.size()) {
        size_t j = p.find('/', i);
        if (j == std::string::npos) j = p.size();
        std::string c = p.substr(i, j - i);
        i = j + 1;
        if (c.empty() || c == ".") continue;
        if (c == "..") return false;
        d += c + "/";
    }
    if (d.size() > kFxMaxPath - 3) return false;
    *out = d;
    return true;
}

std::string Full(int drive, const std::string& dirAndName) {
    return std::string(1, kLetters[drive]) + ":/" + dirAndName;
}

enum Ftype : char { kFile = 'F', kDir = 'D', kRoot = 'R', kPlain = 'P', kInvalid = 'I' };

// Path preparation of a file argument: the directory (below the root) and
// the name. kInvalid for a missing name or a directory that is not there.
Ftype PrepareFile(const std::string& arg, std::string* dir, std::string* name) {
    char d[512], n[256], e[15];
    if (arg.empty() || arg.size() > kFxMaxPath) return kInvalid;
    std::string a = arg;
    if (a.back() == '/' || a.back() == '\\') return kInvalid;
    size_t pos = a.find_last_of("/\\");
    std::string file = pos == std::string::npos ? a : a.substr(pos + 1);
    if (file == "." || file == ".." || file.empty()) return kInvalid;
    // The name and extension as the file layer parses them.
    if (CF_PathParse(d, n, e, a.c_str()) != kCfOk) return kInvalid;
    *name = e[0] != '\0' ? std::string(n) + "." + e : std::string(n);
    if (name->empty()) return kInvalid;
    Ftype t = kPlain;
    std::string base = g.FxpCwd[g.drive];
    if (pos == std::string::npos) {
        *dir = base;
    } else if (pos == 0) {
        *dir = "";
        t = kRoot;
    } else {
        if (!JoinDir(base, a.substr(0, pos), dir)) return kInvalid;
        t = kDir;
    }
    if (!dir->empty() && _fxe_directory_name_test(&MediaOf(g.drive), Full(g.drive, *dir).c_str()) != kFxSuccess)
        return kInvalid;
    return t;
}

// Directory argument of list: the directory to enumerate and, for a file,
// the one name to list.
Ftype PrepareList(const std::string& arg, std::string* dir, std::string* only) {
    only->clear();
    const std::string base = g.FxpCwd[g.drive];
    if (arg.empty()) {
        *dir = base;
        return kDir;
    }
    std::string d;
    if (JoinDir(base, arg, &d)) {
        u32 st = _fxe_directory_name_test(&MediaOf(g.drive), Full(g.drive, d).c_str());
        if (st == kFxSuccess) {
            *dir = d;
            return kDir;
        }
    }
    std::string name;
    if (PrepareFile(arg, dir, &name) == kInvalid) return kInvalid;
    u32 attr = 0;
    if (_fxe_file_attributes_read(&MediaOf(g.drive), Full(g.drive, *dir + name).c_str(), &attr) != kFxSuccess)
        return kInvalid;
    *only = name;
    return kFile;
}

// One listing line of an entry, empty for an entry not listed.
std::string ListingLine(const char* name, u32 attr, u32 size, u32 year, u32 month, u32 day, u32 hour, u32 minute,
                        u32 second) {
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return {};
    if (!g.listOnly.empty() && Upper(name) != Upper(g.listOnly)) return {};
    char t[512];
    char type = (attr & kFxVolume) ? 'V' : (attr & kFxDirectory) ? 'D' : 'F';
    if (type != 'F') size = 0;  // a directory entry carries no size
    std::snprintf(t, sizeof t, "%c %s %u %02u:%02u:%02u %02u/%02u/%02u %c%c%c\r\n", type, name, size, hour % 100,
                  minute % 100, second % 100, day % 100, month % 100, year % 100, (attr & kFxReadOnly) ? 'R' : 'r',
                  (attr & kFxSystem) ? 'S' : 's', (attr & 0x02) ? 'H' : 'h');
    return t;
}

// Next line of the open listing; false at its end.
bool NextLine(std::string* line, bool first) {
    char name[256];
    u32 attr = 0, size = 0, y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    for (;;) {
        u32 st = first ? _fxe_directory_first_full_entry_find(&g.listMedia, name, &attr, &size, &y, &mo, &d, &h, &mi, &s)
                       : _fxe_directory_next_full_entry_find(&g.listMedia, name, &attr, &size, &y, &mo, &d, &h, &mi, &s);
        first = false;
        if (st == kFxInvalidName) continue;  // a name too long for a listing line
        if (st != kFxSuccess) return false;
        *line = ListingLine(name, attr, size, y, mo, d, h, mi, s);
        if (!line->empty()) return true;
    }
}

bool OpenListing(int drive, const std::string& dir) {
    CloseListing();
    g.listMedia = FxMedia{};
    g.listMedia.drive = static_cast<u32>(drive);
    std::string cur = Full(drive, dir);
    std::snprintf(g.listMedia.currentDir, sizeof g.listMedia.currentDir, "%s", cur.c_str());
    g.listOpen = true;
    return true;
}

// --- commands ----------------------------------------------------------------

u32 MapMkd(u32 st) {
    switch (st) {
        case 10: return 452;
        case kFxAlreadyExists: return 614;
        case kFxInvalidName: return 550;
        default: return 611;
    }
}

u32 Mkd(const std::string& arg) {
    std::string p = arg;
    std::replace(p.begin(), p.end(), '\\', '/');
    if (p.empty() || p.find_first_not_of('/') == std::string::npos) return 550;
    if (p.size() > kFxMaxPath) return 550;
    std::string dir = p[0] == '/' ? std::string() : g.FxpCwd[g.drive];
    size_t i = 0;
    while (i <= p.size()) {
        size_t j = p.find('/', i);
        if (j == std::string::npos) j = p.size();
        std::string c = p.substr(i, j - i);
        i = j + 1;
        if (c.empty() || c == ".") continue;
        if (c == ".." || dir.size() + c.size() + 1 > kFxMaxPath - 3) return 550;
        dir += c + "/";
        std::string full = Full(g.drive, dir);
        full.pop_back();
        if (_fxe_directory_name_test(&MediaOf(g.drive), full.c_str()) == kFxSuccess) continue;
        u32 st = _fxe_directory_create(&MediaOf(g.drive), full.c_str());
        if (st != kFxSuccess) return MapMkd(st);
        g.FxpFlushF = 1;
    }
    return 257;
}

u32 Cwd(const std::string& arg) {
    if (arg.empty()) return 611;
    std::string d;
    if (!JoinDir(g.FxpCwd[g.drive], arg, &d)) return 550;
    if (!d.empty()) {
        u32 st = _fxe_directory_name_test(&MediaOf(g.drive), Full(g.drive, d).c_str());
        if (st == kFxNotFound || st == kFxNotDirectory || st == kFxInvalidName) return 550;
        if (st != kFxSuccess) return 611;
    }
    g.FxpCwd[g.drive] = d;
    return 250;
}

// The full name of a file argument; false for an invalid path.
bool FileArg(const std::string& arg, std::string* full) {
    std::string dir, name;
    if (PrepareFile(arg, &dir, &name) == kInvalid) return false;
    *full = Full(g.drive, dir + name);
    return true;
}

u32 Stor(const std::string& arg) {
    std::string full;
    if (!FileArg(arg, &full)) return 501;
    FxMedia& m = MediaOf(g.drive);
    u32 attr = 0;
    if (_fxe_directory_attributes_read(&m, full.c_str(), &attr) == kFxSuccess ||
        _fxe_file_attributes_read(&m, full.c_str(), &attr) == kFxSuccess)
        return 614;
    u32 st = _fxe_file_create(&m, full.c_str());
    if (st != kFxSuccess) {
        switch (st) {
            case 10: return 452;
            case kFxAlreadyExists: return 614;
            case kFxInvalidName: return 501;
            default: return 611;
        }
    }
    g.FxpTransferFile = FxFile{};
    st = _fxe_file_open(&m, &g.FxpTransferFile, full.c_str(), kFxOpenTruncate);
    if (st != kFxSuccess) {
        _fxe_file_delete(&m, full.c_str());
        switch (st) {
            case kFxNotFound:
            case kFxNotAFile:
            case 8: return 550;
            case kFxIoError: return 450;
            default: return 611;
        }
    }
    g.transferName = full;
    g.transferDrive = g.drive;
    g.FileWriteCompleteF = 0;
    g.fx.state = kReceiving;
    return 150;
}

u32 Retr(const std::string& arg) {
    std::string full;
    if (!FileArg(arg, &full)) return 501;
    FxMedia& m = MediaOf(g.drive);
    if (_fxe_directory_name_test(&m, full.c_str()) == kFxSuccess) return 450;
    g.FxpTransferFile = FxFile{};
    u32 st = _fxe_file_open(&m, &g.FxpTransferFile, full.c_str(), kFxOpenRead);
    if (st != kFxSuccess) {
        switch (st) {
            case kFxNotFound:
            case kFxIoError:
            case 8: return 550;
            case kFxNotAFile: return 450;
            default: return 611;
        }
    }
    g.transferName = full;
    g.transferDrive = g.drive;
    g.fx.value = g.FxpTransferFile.size;
    g.fx.state = kSending;
    return 619;
}

u32 Cdup() {
    std::string& c = g.FxpCwd[g.drive];
    if (c.empty()) return 618;
    c.pop_back();
    size_t pos = c.find_last_of('/');
    c = pos == std::string::npos ? std::string() : c.substr(0, pos + 1);
    return 200;
}

u32 Rnfr(const std::string& from, const std::string& to) {
    if (to.empty()) return 501;
    std::string dir, name, dir2, name2;
    if (PrepareFile(from, &dir, &name) == kInvalid || PrepareFile(to, &dir2, &name2) == kInvalid) return 501;
    FxMedia& m = MediaOf(g.drive);
    const std::string a = Full(g.drive, dir + name), b = Full(g.drive, dir2 + name2);
    u32 st = _fxe_directory_name_test(&m, a.c_str()) == kFxSuccess ? _fxe_directory_rename(&m, a.c_str(), b.c_str())
                                                                     : _fxe_file_rename(&m, a.c_str(), b.c_str());
    switch (st) {
        case kFxSuccess: g.FxpFlushF = 1; return 200;
        case kFxNotFound:
        case kFxIoError: return 550;
        case kFxNotAFile:
        case 12:
        case kFxNotDirectory:
        case kFxInvalidName: return 501;
        case kFxAlreadyExists:
        case kFxDirNotEmpty: return 614;
        default: return 611;
    }
}

u32 Dele(const std::string& arg) {
    std::string full;
    if (!FileArg(arg, &full)) return 501;
    u32 st = _fxe_file_delete(&MediaOf(g.drive), full.c_str());
    switch (st) {
        case kFxSuccess: g.FxpFlushF = 1; return 250;
        case kFxNotFound:
        case kFxIoError: return 550;
        case kFxNotAFile: return 501;
        default: return 611;
    }
}

u32 Rmd(const std::string& arg) {
    std::string dir, name;
    if (PrepareFile(arg, &dir, &name) == kInvalid) return 501;
    const std::string target = dir + name + "/";
    const std::string& cwd = g.FxpCwd[g.drive];
    // The current directory (or one that holds it) is not removed.
    if (Upper(cwd).compare(0, target.size(), Upper(target)) == 0) return 501;
    u32 st = _fxe_directory_delete(&MediaOf(g.drive), Full(g.drive, dir + name).c_str());
    switch (st) {
        case kFxSuccess: g.FxpFlushF = 1; return 250;
        case kFxNotFound:
        case kFxNotDirectory: return 550;
        case 12:
        case kFxInvalidName: return 501;
        case kFxDirNotEmpty: return 617;
        default: return 611;
    }
}

u32 List(const std::string& arg) {
    std::string dir;
    if (PrepareList(arg, &dir, &g.listOnly) == kInvalid) return 550;
    // Counting pass, then the streaming pass from the first entry again.
    OpenListing(g.drive, dir);
    u32 total = 0;
    std::string line;
    for (bool first = true; NextLine(&line, first); first = false) total += static_cast<u32>(line.size());
    OpenListing(g.drive, dir);
    g.pendingLine.clear();
    if (!NextLine(&g.pendingLine, true)) g.pendingLine.clear();
    g.fx.value = total;
    g.fx.state = kListing;
    if (g.pendingLine.empty()) g.fx.eod = 1;
    return 619;
}

// Splits the line into at most three words; false for a word too long.
bool Split(const char* line, std::string words[3]) {
    const char* p = line;
    for (int w = 0; w < 3; ++w) {
        while (*p == ' ') ++p;
        if (*p == '\0') break;
        std::string word;
        if (*p == '"') {
            ++p;
            while (*p != '\0' && *p != '"') word += *p++;
            if (*p == '"') ++p;
        } else {
            while (*p != '\0' && *p != ' ') word += *p++;
        }
        if (word.size() >= kWordBytes) return false;
        words[w] = word;
    }
    return true;
}

u32 Execute(const char* line) {
    std::string w[3];
    if (!Split(line, w)) return 501;
    if (w[0].empty()) return 500;
    std::string cmd = w[0];
    for (char& c : cmd) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (int i = 1; i <= 2; ++i) {
        int d = DriveLetter(w[i]);
        if (d >= 0) {
            if (i == 1 || DriveLetter(w[1]) < 0) g.drive = d;
            else if (d != g.drive) return 501;  // a rename does not leave its drive
            w[i] = w[i].substr(2);
        }
        w[i] = Upper(w[i]);
    }
    if (!(g.drive == kDriveZ || Cf_Check(g.drive) == 3 || SR_Get(175) == 652)) return 611;
    RingEmpty();
    AbortTransfer();
    if (cmd == "mkd") return Mkd(w[1]);
    if (cmd == "cwd") return Cwd(w[1]);
    if (cmd == "stor") return Stor(w[1]);
    if (cmd == "retr") return Retr(w[1]);
    if (cmd == "cdup") return Cdup();
    if (cmd == "rnfr") return Rnfr(w[1], w[2]);
    if (cmd == "dele") return Dele(w[1]);
    if (cmd == "rmd") return Rmd(w[1]);
    if (cmd == "list") return List(w[1]);
    return 500;
}

// --- transfers ---------------------------------------------------------------

void StepSending() {
    if (g.fx.eod || RingFree() < 1024) return;
    u8 buf[kFxpRingBytes];
    u32 n = 0;
    u32 st = MediumThere(g.transferDrive) ? _fxe_file_read(&g.FxpTransferFile, buf, RingFree(), &n) : kFxIoError;
    if (st == kFxSuccess) {
        RingPut(buf, n);
        return;
    }
    _fxe_file_close(&g.FxpTransferFile);
    if (st == kFxEndOfFile) {
        g.fx.eod = 1;
        return;
    }
    g.FxpReadFileErrF = 1;
    RingEmpty();
    FxpResetState();
}

void StepReceiving() {
    g.FileWriteCompleteF = 0;
    if (g.fx.count > 0) {
        u8 buf[kFxpRingBytes];
        u32 n = RingTake(buf, sizeof buf);
        u32 st = MediumThere(g.transferDrive) ? _fxe_file_write(&g.FxpTransferFile, buf, n) : kFxIoError;
        if (st != kFxSuccess) {
            g.FxpWriteFileErrF = 1;
            _fxe_file_close(&g.FxpTransferFile);
            DeleteOrRemember(g.transferDrive, g.transferName);
            RingEmpty();
            FxpResetState();
            return;
        }
    }
    if (g.fx.eod && g.fx.count == 0) {
        g.FxpFlushF = 1;
        g.fx.state = kReceived;
    }
}

void StepListing() {
    while (!g.pendingLine.empty() && RingFree() >= g.pendingLine.size()) {
        RingPut(reinterpret_cast<const u8*>(g.pendingLine.data()), static_cast<u32>(g.pendingLine.size()));
        if (!NextLine(&g.pendingLine, false)) g.pendingLine.clear();
    }
    if (g.pendingLine.empty()) {
        g.fx.eod = 1;
        CloseListing();
    }
}

}  // namespace

void Fxp_Initialise() {
    if (g.FxpTransferFile.open) _fxe_file_close(&g.FxpTransferFile);
    CloseListing();
    g = State{};
}

void FxpMain(int) {
    RetryOrphan();
    FxpInterfaceRec& fx = g.fx;
    if (!fx.pending && fx.ready) fx.ready = 0;
    if (fx.pending) {
        if (!fx.ready) {
            fx.result = Execute(fx.line);
            fx.ready = 1;
        }
        return;
    }
    switch (fx.state) {
        case kSending: StepSending(); break;
        case kReceiving: StepReceiving(); break;
        case kReceived:
            _fxe_file_close(&g.FxpTransferFile);
            RingEmpty();
            fx.state = kNone;
            break;
        case kListing: StepListing(); break;
        default:
            if (g.FxpFlushF) {
                g.FxpFlushF = 0;
                g.FxpCommandF = 1;
                _fxe_media_flush(&MediaOf(g.transferDrive));
                g.FxpCommandF = 0;
                g.FileWriteCompleteF = 1;
            }
            break;
    }
}

i32 Fxp_DoParseCommand(const char* line, u32 length, i32* value) {
    if (value != nullptr) *value = -1;
    FxpInterfaceRec& fx = g.fx;
    if (g.FxpCommandPrvF) {
        g.FxpCommandPrvF = 0;
        return 612;
    }
    if (line != nullptr) {
        // A line while another is pending leaves that one as it is.
        if (fx.pending || fx.ready) {
            g.FxpCommandPrvF = 1;
            return kWait;
        }
        fx.result = 651;
        u32 n = std::min<u32>(length, kFxpLineBytes - 1);
        std::memcpy(fx.line, line, n);
        fx.line[n] = '\0';
        fx.pending = 1;
        return kWait;
    }
    if (fx.pending && !fx.ready) return kWait;
    if (!fx.pending || !fx.ready) return 615;
    fx.pending = 0;
    if (fx.result == 619 && value != nullptr) *value = static_cast<i32>(fx.value);
    return static_cast<i32>(fx.result);
}

i32 Fxp_DoWriteData(const u8* data, u32 length) {
    FxpInterfaceRec& fx = g.fx;
    if (g.FxpWriteFileErrF) {
        g.FxpWriteFileErrF = 0;
        return 611;
    }
    if (length == 0) {
        if (fx.state == kReceiving || fx.state == kReceived) {
            fx.eod = 1;
            return kWait;
        }
        if (g.FileWriteCompleteF || g.FxpFlushF) return g.FileWriteCompleteF ? 651 : kWait;
        return 611;
    }
    if (fx.state != kReceiving || fx.eod) return 611;
    if (RingFree() < length) return kWait;
    RingPut(data, length);
    return 651;
}

i32 Fxp_DoReadData(u8* buffer, u32 maximum) {
    FxpInterfaceRec& fx = g.fx;
    switch (fx.state) {
        case kSent:
        case kListed:
            RingEmpty();
            fx.eod = 0;
            fx.state = kNone;
            return 0;
        case kSending:
        case kListing: {
            u32 n = RingTake(buffer, maximum);
            if (n > 0) return static_cast<i32>(n);
            if (fx.eod) {
                fx.state = fx.state == kSending ? kSent : kListed;
                return kWait;
            }
            return kWait;
        }
        default:
            if (g.FxpReadFileErrF) {
                g.FxpReadFileErrF = 0;
                return 611;
            }
            return 653;
    }
}

// --- handlers --------------------------------------------------------------

namespace {
void ResultFrame(i32 code, i32 value) {
    u8 b[6];
    PutLe16(b, static_cast<u16>(code));
    if (code == 619) {
        PutLe32(b + 2, static_cast<u32>(value));
        put_packet(kCmdData, 6, b);
    } else {
        put_packet(kCmdData, 2, b);
    }
    CmdRun = 255;
}
}  // namespace

void parse_fxp_cmd() {
    i32 value = -1;
    if (CmdMode == 0) {
        const u32 stored = CmdBuf.Stored();
        const u32 n = stored > 0 ? stored - 1 : 0;
        const char* line = reinterpret_cast<const char*>(CmdBuf.data + 1);
        // A line longer than the record holds is refused whole.
        if (CmdBuf.Truncated() || n > kFxpLineBytes - 1 || std::memchr(line, 0, n) != nullptr) {
            ResultFrame(501, 0);
            return;
        }
        if (Fxp_DoParseCommand(line, n, &value) == 612) {
            putbyte(kCmdNak);
            CmdRun = 255;
            return;
        }
        CmdMode = 1;
    }
    i32 r = Fxp_DoParseCommand(nullptr, 0, &value);
    if (r == kWait) return;
    ResultFrame(r, value);
}

void write_fxp_data() {
    const u32 stored = CmdBuf.Stored();
    if (CmdBuf.Truncated()) {
        putbyte(kCmdNak);
        CmdRun = 255;
        return;
    }
    i32 r = Fxp_DoWriteData(CmdBuf.data + 1, stored > 0 ? stored - 1 : 0);
    if (r == kWait) return;
    putbyte(r == 651 ? kCmdAck : kCmdNak);
    CmdRun = 255;
}

void read_fxp_data() {
    static u8 buf[kCmdDataStore];
    // A count of 611 or 653 would read as a refusal and its bytes be lost, so
    // a frame on a link negotiated above 610 bytes carries at most 610.
    i32 r = Fxp_DoReadData(buf, std::min<u32>({CmdDataMax, sizeof buf, 610}));
    if (r == kWait) return;
    if (r == 611 || r == 653) {
        putbyte(kCmdNak);
    } else {
        put_packet(kCmdData, static_cast<u32>(r), buf);
    }
    CmdRun = 255;
}

int Fxp_TransferState() { return g.fx.state; }
