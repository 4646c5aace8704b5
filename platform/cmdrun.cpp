#include "platform/cmdrun.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string_view>

#include "platform/board.h"
#include "platform/fileio.h"
#include "platform/root.h"
#include "platform/unzip.h"

namespace fs = std::filesystem;

namespace {

constexpr int kParseError = 2;
constexpr int kMountFailed = 32;
constexpr size_t kMaxSmallFile = 1 << 20;

std::mutex g_mutex;  // handler and answer tables, log, mount table
std::map<std::string, SysCmdHandler> g_handlers;
std::map<std::string, std::string> g_outputs;  // answers set by SysCmd_SetOutput

// What recorded commands print when nothing else was set.
const char* DefaultOutput(const std::string& name) {
    if (name == "uname") return "Linux plc 4.1.15 #1 PREEMPT armv5tejl GNU/Linux\n";
    return nullptr;
}

// ---------------------------------------------------------------------------
// Splitting a line into commands.

struct Word {
    std::string text;
    bool glob = false;  // an unquoted *, ? or [ appeared
};

struct Redirect {
    int fd = 1;
    bool append = false;
    bool input = false;
    std::string target;  // "&1" and the like for duplications
};

struct Simple {
    std::vector<Word> words;
    std::vector<Redirect> redirs;
    std::string sep;  // what follows: ";", "&&", "||", "|", "&" or ""
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Copies a $( ... ) or backquoted part verbatim; returns false when it is
// not closed.
bool CopySubstitution(std::string_view s, size_t& i, std::string& out) {
    if (s[i] == '`') {
        size_t j = s.find('`', i + 1);
        if (j == std::string_view::npos) return false;
        out.append(s.substr(i, j + 1 - i));
        i = j + 1;
        return true;
    }
    // "$(": count parentheses, skipping quoted text.
    int depth = 0;
    size_t j = i + 1;
    for (; j < s.size(); ++j) {
        char c = s[j];
        if (c == '\'') {
            size_t k = s.find('\'', j + 1);
            if (k == std::string_view::npos) return false;
            j = k;
        } else if (c == '(') {
            ++depth;
        } else if (c == ')') {
            if (--depth == 0) break;
        }
    }
    if (j >= s.size()) return false;
    out.append(s.substr(i, j + 1 - i));
    i = j + 1;
    return true;
}

bool Parse(std::string_view s, std::vector<Simple>& out) {
    out.assign(1, Simple());
    Word cur;
    bool inWord = false;
    bool pendingRedir = false;
    Redirect redir;

    auto endWord = [&]() {
        if (!inWord) return;
        if (pendingRedir) {
            redir.target = cur.text;
            out.back().redirs.push_back(redir);
            pendingRedir = false;
        } else {
            out.back().words.push_back(cur);
        }
        cur = Word();
        inWord = false;
    };
    auto startRedir = [&](int fd, bool append, bool input) -> bool {
        if (pendingRedir) return false;  // "> >"
        redir = Redirect();
        redir.fd = fd;
        redir.append = append;
        redir.input = input;
        pendingRedir = true;
        return true;
    };
    auto endCommand = [&](const char* sep) -> bool {
        endWord();
        if (pendingRedir) return false;
        if (out.back().words.empty() && out.back().redirs.empty()) return false;  // "; ;"
        out.back().sep = sep;
        out.push_back(Simple());
        return true;
    };

    size_t i = 0;
    while (i < s.size()) {
        char c = s[i];
        if (c == '\n') {
            // A line break ends a command, as ";" does; empty lines are skipped.
            endWord();
            if (pendingRedir) return false;
            if (!out.back().words.empty() || !out.back().redirs.empty()) endCommand(";");
            ++i;
            continue;
        }
        if (IsBlank(c)) {
            endWord();
            ++i;
            continue;
        }
        if (c == '#' && !inWord) {  // comment to the end of the line
            while (i < s.size() && s[i] != '\n') ++i;
            continue;
        }
        if (c == ';') {
            if (!endCommand(";")) return false;
            ++i;
            continue;
        }
        if (c == '&' || c == '|') {
            bool twice = i + 1 < s.size() && s[i + 1] == c;
            if (c == '&' && !twice && i + 1 < s.size() && s[i + 1] == '>') {
                // "&>file": both outputs.
                endWord();
                if (!startRedir(1, false, false)) return false;
                i += 2;
                continue;
            }
            if (!endCommand(twice ? (c == '&' ? "&&" : "||") : (c == '&' ? "&" : "|"))) return false;
            i += twice ? 2 : 1;
            continue;
        }
        if (c == '>' || c == '<') {
            int fd = c == '>' ? 1 : 0;
            // A word of digits right before it names the descriptor.
            if (inWord && !cur.text.empty() &&
                std::all_of(cur.text.begin(), cur.text.end(), [](char d) { return d >= '0' && d <= '9'; })) {
                fd = std::atoi(cur.text.c_str());
                cur = Word();
                inWord = false;
            } else {
                endWord();
            }
            bool append = c == '>' && i + 1 < s.size() && s[i + 1] == '>';
            i += append ? 2 : 1;
            if (!startRedir(fd, append, c == '<')) return false;
            if (c == '>' && i < s.size() && s[i] == '&') {
                // "2>&1": a duplication, its target is the descriptor.
                size_t j = i + 1;
                while (j < s.size() && !IsBlank(s[j]) && s[j] != ';' && s[j] != '&' && s[j] != '|') ++j;
                redir.target = std::string(s.substr(i, j - i));
                out.back().redirs.push_back(redir);
                pendingRedir = false;
                i = j;
            }
            continue;
        }
        inWord = true;
        if (c == '\'') {
            size_t j = s.find('\'', i + 1);
            if (j == std::string_view::npos) return false;
            cur.text.append(s.substr(i + 1, j - i - 1));
            i = j + 1;
        } else if (c == '"') {
            ++i;
            bool closed = false;
            while (i < s.size()) {
                char d = s[i];
                if (d == '"') {
                    closed = true;
                    ++i;
                    break;
                }
                if (d == '\\' && i + 1 < s.size() && std::strchr("\"\\$`\n", s[i + 1])) {
                    if (s[i + 1] != '\n') cur.text += s[i + 1];
                    i += 2;
                    continue;
                }
                if ((d == '$' && i + 1 < s.size() && s[i + 1] == '(') || d == '`') {
                    if (!CopySubstitution(s, i, cur.text)) return false;
                    continue;
                }
                cur.text += d;
                ++i;
            }
            if (!closed) return false;
        } else if (c == '\\') {
            if (i + 1 < s.size()) {
                if (s[i + 1] != '\n') cur.text += s[i + 1];
                i += 2;
            } else {
                ++i;
            }
        } else if ((c == '$' && i + 1 < s.size() && s[i + 1] == '(') || c == '`') {
            if (!CopySubstitution(s, i, cur.text)) return false;
        } else {
            if (c == '*' || c == '?' || c == '[') cur.glob = true;
            cur.text += c;
            ++i;
        }
    }
    endWord();
    if (pendingRedir) return false;
    if (out.back().words.empty() && out.back().redirs.empty()) {
        // A trailing separator ("cmd &", "cmd;") leaves an empty last entry;
        // anything else ("&& cmd", "cmd |") is malformed.
        out.pop_back();
        if (!out.empty() && out.back().sep != "&" && out.back().sep != ";") return false;
        if (!out.empty()) out.back().sep.clear();
    }
    return true;
}

// ---------------------------------------------------------------------------
// Paths inside the root.

std::string RootCanonical() {
    std::error_code ec;
    fs::path p = fs::weakly_canonical(Root_Dir(), ec);
    return ec ? Root_Dir() : p.string();
}

// True when the host path, with every symbolic link resolved, stays inside
// the root.
bool Inside(const std::string& host) {
    if (Root_Dir().empty()) return false;
    std::error_code ec;
    fs::path p = fs::weakly_canonical(host, ec);
    if (ec) return false;
    std::string root = RootCanonical();
    std::string ps = p.string();
    return ps == root || (ps.size() > root.size() && ps.compare(0, root.size(), root) == 0 && ps[root.size()] == '/');
}

// Host path of a firmware path, or "" when it would leave the root.
std::string Host(const std::string& firmwarePath) {
    std::string h = Root_HostPath(firmwarePath);
    return Inside(h) ? h : std::string();
}

bool IsRootItself(const std::string& host) {
    std::error_code ec;
    return fs::weakly_canonical(host, ec).string() == RootCanonical();
}

// Expands a word with wildcards in its last component against the folder it
// names (firmware paths, sorted); the word itself when nothing matches.
std::vector<std::string> Expand(const Word& w) {
    if (!w.glob) return {w.text};
    size_t slash = w.text.rfind('/');
    std::string dir = slash == std::string::npos ? "" : w.text.substr(0, slash + 1);
    std::string pattern = slash == std::string::npos ? w.text : w.text.substr(slash + 1);
    if (dir.find_first_of("*?[") != std::string::npos || pattern.empty()) return {w.text};
    std::string hostDir = Host(dir.empty() ? "." : dir);
    std::vector<std::string> names;
    std::error_code ec;
    if (!hostDir.empty()) {
        for (fs::directory_iterator it(hostDir, ec), end; !ec && it != end; it.increment(ec)) {
            std::string name = it->path().filename().string();
            if (fnmatch(pattern.c_str(), name.c_str(), FNM_PERIOD) == 0) names.push_back(dir + name);
        }
    }
    if (names.empty()) return {w.text};
    std::sort(names.begin(), names.end());
    return names;
}

std::string BaseName(const std::string& firmwarePath) {
    std::string p = firmwarePath;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

// Splits "-rf" style options off the front of the words; stops at "--" or
// the first operand. Unknown option letters are kept in the set as well.
struct Args {
    std::string flags;
    std::vector<Word> operands;
    bool Has(char c) const { return flags.find(c) != std::string::npos; }
};

Args SplitArgs(const std::vector<Word>& words, const char* withValue = "") {
    Args a;
    size_t i = 1;
    for (; i < words.size(); ++i) {
        const std::string& t = words[i].text;
        if (t == "--") {
            ++i;
            break;
        }
        if (t.size() < 2 || t[0] != '-') break;
        for (size_t k = 1; k < t.size(); ++k) {
            a.flags += t[k];
            if (std::strchr(withValue, t[k])) {
                if (k + 1 == t.size()) ++i;  // value is the next word
                break;
            }
        }
    }
    for (; i < words.size(); ++i) a.operands.push_back(words[i]);
    return a;
}

std::vector<std::string> ExpandAll(const std::vector<Word>& words) {
    std::vector<std::string> out;
    for (const Word& w : words)
        for (std::string& s : Expand(w)) out.push_back(std::move(s));
    return out;
}

// ---------------------------------------------------------------------------
// Mount table (the root's /proc/mounts: "device mountpoint type options 0 0").

struct MountEntry {
    std::string device, mountPoint, type;
};

std::string NormalMountPoint(const std::string& p) {
    // The firmware path as the table keeps it: absolute, no trailing "/".
    std::string host = Root_HostPath(p);
    std::string rel = host.substr(std::min(host.size(), Root_Dir().size()));
    return rel.empty() ? "/" : rel;
}

std::vector<MountEntry> ReadMountsLocked() {
    std::vector<MountEntry> out;
    std::vector<u8> bytes;
    if (!File_ReadAll(Root_HostPath(kSysCmdMountsPath), bytes, kMaxSmallFile)) return out;
    std::string text(bytes.begin(), bytes.end());
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        std::string line = text.substr(pos, nl - pos);
        pos = nl + 1;
        char dev[256], mp[256], type[64];
        if (std::sscanf(line.c_str(), "%255s %255s %63s", dev, mp, type) == 3) out.push_back({dev, mp, type});
    }
    return out;
}

bool WriteMountsLocked(const std::vector<MountEntry>& entries) {
    std::string text;
    for (const MountEntry& e : entries) text += e.device + " " + e.mountPoint + " " + e.type + " rw 0 0\n";
    return File_WriteAtomic(Root_HostPath(kSysCmdMountsPath), text.data(), text.size());
}

// Words of a table entry may not hold blanks (they separate the fields).
std::string NoBlanks(std::string s) {
    for (char& c : s)
        if (IsBlank(c)) c = '_';
    return s.empty() ? std::string("none") : s;
}

// ---------------------------------------------------------------------------
// The commands carried out inside the root. Each returns the exit status and
// appends what it prints to out.

int CmdMkdir(const std::vector<Word>& words, std::string*) {
    Args a = SplitArgs(words, "m");
    if (a.operands.empty()) return 1;
    int status = 0;
    for (const Word& w : a.operands) {
        std::string h = Host(w.text);
        std::error_code ec;
        if (h.empty()) {
            status = 1;
        } else if (a.Has('p')) {
            fs::create_directories(h, ec);
            if (ec || !fs::is_directory(h, ec)) status = 1;
        } else if (!fs::create_directory(h, ec) || ec) {
            status = 1;
        }
    }
    return status;
}

// True when b is a or lies below it.
bool Below(const std::string& a, const std::string& b) {
    std::error_code ec;
    std::string ca = fs::weakly_canonical(a, ec).string();
    std::string cb = fs::weakly_canonical(b, ec).string();
    return cb == ca || (cb.size() > ca.size() && cb.compare(0, ca.size(), ca) == 0 && cb[ca.size()] == '/');
}

// Copies a folder tree file by file. Links are not copied (a link made here
// could lead a later access out of the root), nor are devices or pipes; the
// rest is copied and the result says whether everything was.
bool CopyTree(const fs::path& src, const fs::path& dst) {
    std::error_code ec;
    fs::create_directories(dst, ec);
    if (ec || !Inside(dst.string()) || !fs::is_directory(dst, ec)) return false;
    bool ok = true;
    for (fs::directory_iterator it(src, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code e2;
        fs::file_status st = it->symlink_status(e2);
        fs::path target = dst / it->path().filename();
        if (fs::is_directory(st)) {
            if (!CopyTree(it->path(), target)) ok = false;
        } else if (fs::is_regular_file(st) && Inside(target.string())) {
            fs::copy_file(it->path(), target, fs::copy_options::overwrite_existing, e2);
            if (e2) ok = false;
        } else {
            ok = false;
        }
    }
    return ok && !ec;
}

bool CopyOne(const std::string& src, const std::string& dst, bool recursive) {
    std::error_code ec;
    if (Below(src, dst)) return false;  // onto itself or into itself
    fs::file_status st = fs::symlink_status(src, ec);
    if (fs::is_directory(st)) return recursive && CopyTree(src, dst);
    if (!fs::is_regular_file(st)) return false;
    if (fs::is_directory(dst, ec)) return false;
    fs::copy_file(src, dst, fs::copy_options::overwrite_existing, ec);
    return !ec;
}

// Operands of cp and mv: the last names the destination, the others the
// sources; several sources need a destination folder.
struct Transfer {
    std::vector<std::string> sources;  // firmware paths
    std::string dst;                    // host path
    bool dstDir = false;
    // Where a source lands: inside the destination folder under its own
    // name, or the destination itself.
    std::string Target(const std::string& source) const { return dstDir ? dst + "/" + BaseName(source) : dst; }
};

bool SplitTransfer(std::vector<std::string> ops, Transfer* t) {
    if (ops.size() < 2) return false;
    std::string dstFw = ops.back();
    ops.pop_back();
    t->dst = Host(dstFw);
    if (t->dst.empty()) return false;
    std::error_code ec;
    t->dstDir = fs::is_directory(t->dst, ec);
    if (ops.size() > 1 && !t->dstDir) return false;
    t->sources = std::move(ops);
    return true;
}

int CmdCp(const std::vector<Word>& words, std::string*) {
    Args a = SplitArgs(words);
    Transfer t;
    if (!SplitTransfer(ExpandAll(a.operands), &t)) return 1;
    bool recursive = a.Has('r') || a.Has('R') || a.Has('a');
    int status = 0;
    for (const std::string& s : t.sources) {
        std::string src = Host(s);
        if (src.empty()) {
            status = 1;
            continue;
        }
        std::string target = t.Target(s);
        if (!Inside(target) || !CopyOne(src, target, recursive)) status = 1;
    }
    return status;
}

int CmdRm(const std::vector<Word>& words, std::string*) {
    Args a = SplitArgs(words);
    bool force = a.Has('f');
    bool recursive = a.Has('r') || a.Has('R');
    std::vector<std::string> ops = ExpandAll(a.operands);
    if (ops.empty()) return force ? 0 : 1;
    int status = 0;
    for (const std::string& s : ops) {
        std::string h = Root_HostPath(s);
        std::error_code ec;
        // The root itself is never removed; nor is anything reached through a
        // link that leads out of it.
        if (IsRootItself(h) || BaseName(s) == "." || BaseName(s) == ".." || !Inside(h)) {
            status = 1;
            continue;
        }
        fs::file_status st = fs::symlink_status(h, ec);
        if (ec || !fs::exists(st)) {
            if (!force) status = 1;
            continue;
        }
        if (fs::is_directory(st)) {
            if (!recursive) {
                status = 1;
                continue;
            }
            fs::remove_all(h, ec);
        } else {
            fs::remove(h, ec);
        }
        if (ec) status = 1;
    }
    return status;
}

int CmdMv(const std::vector<Word>& words, std::string*) {
    Args a = SplitArgs(words);
    Transfer t;
    if (!SplitTransfer(ExpandAll(a.operands), &t)) return 1;
    std::error_code ec;
    int status = 0;
    for (const std::string& s : t.sources) {
        std::string src = Host(s);
        std::string target = t.Target(s);
        if (src.empty() || IsRootItself(src) || !Inside(target) || Below(src, target) ||
            !fs::exists(fs::symlink_status(src, ec))) {
            status = 1;
            continue;
        }
        fs::rename(src, target, ec);
        if (ec) status = 1;
    }
    return status;
}

int CmdSync(const std::vector<Word>&, std::string*) {
    int fd = open(Root_Dir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 1;
    int rc = syncfs(fd);
    close(fd);
    return rc == 0 ? 0 : 1;
}

int CmdEcho(const std::vector<Word>& words, std::string* out) {
    size_t i = 1;
    bool newline = true, escapes = false;
    for (; i < words.size(); ++i) {
        const std::string& t = words[i].text;
        if (t == "-n")
            newline = false;
        else if (t == "-e")
            escapes = true;
        else if (t == "-ne" || t == "-en")
            newline = false, escapes = true;
        else
            break;
    }
    std::string text;
    for (size_t k = i; k < words.size(); ++k) {
        if (k > i) text += ' ';
        text += words[k].text;
    }
    if (escapes) {
        std::string e;
        for (size_t k = 0; k < text.size(); ++k) {
            char n = k + 1 < text.size() ? text[k + 1] : 0;
            if (text[k] == '\\' && (n == 'n' || n == 't' || n == 'r' || n == '\\')) {
                e += n == 'n' ? '\n' : n == 't' ? '\t' : n == 'r' ? '\r' : '\\';
                ++k;
            } else {
                e += text[k];
            }
        }
        text = e;
    }
    *out += text;
    if (newline) *out += '\n';
    return 0;
}

// The folder that holds the content of a medium device.
std::string MediumFolder(const std::string& device) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        for (const MountEntry& e : ReadMountsLocked())
            if (e.device == device) return e.mountPoint;
    }
    if (device.find("mmcblk") != std::string::npos) return "/mnt/USB0";
    if (device.rfind("/dev/sd", 0) == 0) return "/mnt/USB1";
    if (device == "/dev/ubi0_2" || device == "ubi0:cfg") return "/mnt/cfg";
    return "";
}

// The folder that holds a removable medium's files whatever it is mounted
// on: the card's drive folder or the USB stick's.
std::string ContentFolder(const std::string& device) {
    if (device.rfind("/dev/mmcblk", 0) == 0) return "/mnt/USB0";
    if (device.rfind("/dev/sd", 0) == 0) return "/mnt/USB1";
    return "";
}

// A medium mounted on a second mount point (the installation mounts the card
// on /mnt/USB) shows its files there too: the empty mount point becomes a
// link to the medium's folder, inside the root, until it is unmounted. A
// mount point that holds files of its own is left as it is.
void ShowMediumAt(const std::string& device, const std::string& mountPoint) {
    std::string folder = ContentFolder(device);
    if (folder.empty() || NormalMountPoint(folder) == NormalMountPoint(mountPoint)) return;
    std::string mh = Root_HostPath(mountPoint);
    std::string fh = Host(folder);
    std::error_code ec;
    if (fh.empty() || fs::is_symlink(mh, ec) || !fs::is_directory(mh, ec) || !fs::is_empty(mh, ec) || ec) return;
    fs::create_directories(fh, ec);
    fs::path target = fs::path(fh).lexically_relative(fs::path(mh).parent_path());
    if (target.empty()) return;
    fs::remove(mh, ec);
    if (ec) return;
    fs::create_directory_symlink(target, mh, ec);
    if (ec || !Inside(mh)) {
        fs::remove(mh, ec);
        fs::create_directories(mh, ec);
    }
}

// Unmounting a second mount point takes the medium's files away from it.
void HideMediumAt(const std::string& mountPoint) {
    std::string mh = Root_HostPath(mountPoint);
    std::error_code ec;
    if (!fs::is_symlink(mh, ec)) return;
    fs::remove(mh, ec);
    fs::create_directories(mh, ec);
}

int CmdMkfsVfat(const std::vector<Word>& words, std::string*) {
    Args a = SplitArgs(words, "bCfFhiLmnrRsS");
    if (a.operands.empty()) return 1;
    std::string device = a.operands.front().text;
    if (device.rfind("/dev/", 0) == 0) {
        std::string dh = Host(device);
        std::error_code ec;
        if (dh.empty() || !fs::exists(dh, ec)) return 1;
    }
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        for (const MountEntry& e : ReadMountsLocked())
            if (e.device == device) return 1;  // refuses a mounted file system
    }
    std::string folder = MediumFolder(device);
    if (folder.empty()) return 1;
    std::string h = Host(folder);
    std::error_code ec;
    if (h.empty() || IsRootItself(h)) return 1;
    fs::create_directories(h, ec);
    for (fs::directory_iterator it(h, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code rec;
        fs::remove_all(it->path(), rec);
        if (rec) return 1;
    }
    return ec ? 1 : 0;
}

int CmdMount(const std::vector<Word>& words, std::string* out) {
    std::string type = "auto", options;
    std::vector<std::string> pos;
    for (size_t i = 1; i < words.size(); ++i) {
        const std::string& t = words[i].text;
        if ((t == "-t" || t == "-o") && i + 1 < words.size()) {
            (t == "-t" ? type : options) = words[++i].text;
        } else if (t.rfind("-t", 0) == 0 && t.size() > 2) {
            type = t.substr(2);
        } else if (t.rfind("-o", 0) == 0 && t.size() > 2) {
            options = t.substr(2);
        } else if (!t.empty() && t[0] == '-') {
            // other flags (-r, -w, -n, ...) change nothing here
        } else {
            pos.push_back(t);
        }
    }
    if (pos.empty()) {
        std::lock_guard<std::mutex> lock(g_mutex);
        for (const MountEntry& e : ReadMountsLocked())
            *out += e.device + " on " + e.mountPoint + " type " + e.type + " (rw)\n";
        return 0;
    }
    std::string mountPoint = pos.back();
    if (("," + options + ",").find(",remount,") != std::string::npos)
        return SysCmd_IsMounted(mountPoint.c_str()) ? 0 : kMountFailed;
    if (pos.size() < 2) return kMountFailed;
    const std::string& device = pos[pos.size() - 2];
    std::error_code ec;
    if (device.rfind("/dev/", 0) == 0) {
        std::string dh = Host(device);
        if (dh.empty() || !fs::exists(dh, ec)) return kMountFailed;  // no medium
    }
    std::string mh = Host(mountPoint);
    if (mh.empty() || IsRootItself(mh)) return kMountFailed;
    // The board's own file system has every mount point the firmware uses.
    fs::create_directories(mh, ec);
    if (!fs::is_directory(mh, ec)) return kMountFailed;
    if (!SysCmd_MarkMounted(device.c_str(), mountPoint.c_str(), type.c_str())) return kMountFailed;
    ShowMediumAt(device, mountPoint);
    return 0;
}

int CmdUmount(const std::vector<Word>& words, std::string*) {
    Args a = SplitArgs(words, "tO");
    if (a.operands.empty()) return 1;
    int status = 0;
    for (const Word& w : a.operands) {
        std::string mp = w.text;
        {
            // A device names the mount point it is mounted on.
            std::lock_guard<std::mutex> lock(g_mutex);
            for (const MountEntry& e : ReadMountsLocked())
                if (e.device == mp) mp = e.mountPoint;
        }
        if (!SysCmd_MarkUnmounted(mp.c_str())) status = kMountFailed;
    }
    return status;
}

int CmdUnzip(const std::vector<Word>& words, std::string*) {
    Args a = SplitArgs(words, "d");
    std::string destFw = ".";
    // Existing files are replaced (-o) unless -n keeps them; without a
    // terminal to ask, replacing is the default.
    bool keepExisting = a.Has('n') && !a.Has('o');
    // The destination may follow -d as its own word or stick to it.
    for (size_t i = 1; i < words.size(); ++i) {
        const std::string& t = words[i].text;
        if (t == "-d" && i + 1 < words.size())
            destFw = words[i + 1].text;
        else if (t.rfind("-d", 0) == 0 && t.size() > 2)
            destFw = t.substr(2);
    }
    std::vector<Word> ops;
    for (size_t i = 1; i < words.size(); ++i) {
        const std::string& t = words[i].text;
        if (t == "-d") {
            ++i;
            continue;
        }
        if (!t.empty() && t[0] == '-') continue;
        ops.push_back(words[i]);
    }
    if (ops.empty()) return 10;
    std::string zip = Host(ops.front().text);
    std::string dest = Host(destFw);
    if (zip.empty() || dest.empty()) return static_cast<int>(UnzipResult::NoArchive);
    return static_cast<int>(Unzip_Extract(zip, dest, keepExisting));
}

using Builtin = int (*)(const std::vector<Word>&, std::string*);
struct BuiltinEntry {
    const char* name;
    Builtin fn;
};
const BuiltinEntry kBuiltins[] = {
    {"mkdir", CmdMkdir}, {"cp", CmdCp},           {"rm", CmdRm},       {"mv", CmdMv},
    {"sync", CmdSync},   {"echo", CmdEcho},       {"mount", CmdMount}, {"umount", CmdUmount},
    {"unzip", CmdUnzip}, {"mkfs.vfat", CmdMkfsVfat},
};

// ---------------------------------------------------------------------------
// Fail list, log, answers.

std::vector<std::string> ReadLines(const std::string& host) {
    std::vector<std::string> lines;
    std::vector<u8> bytes;
    if (!File_ReadAll(host, bytes, kMaxSmallFile)) return lines;
    std::string cur;
    for (u8 b : bytes) {
        if (b == '\n') {
            lines.push_back(cur);
            cur.clear();
        } else if (b != '\r') {
            cur += static_cast<char>(b);
        }
    }
    if (!cur.empty()) lines.push_back(cur);
    return lines;
}

bool IsFailing(const std::string& word) {
    for (const std::string& l : ReadLines(Root_HostPath(kSysCmdFailPath)))
        if (l == word) return true;
    return false;
}

void AppendLog(std::string line) {
    for (char& c : line)
        if (c == '\n' || c == '\r') c = ' ';
    line += '\n';
    std::lock_guard<std::mutex> lock(g_mutex);
    std::string path = Root_HostPath(kSysCmdLogPath);
    // Kept readable in one piece: a full log moves aside to "<log>.1".
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && static_cast<size_t>(st.st_size) >= kMaxSmallFile / 2)
        rename(path.c_str(), (path + ".1").c_str());
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return;
    ssize_t n = write(fd, line.data(), line.size());
    (void)n;
    close(fd);
}

// ---------------------------------------------------------------------------
// Output of a command: to stdout, a file inside the root, or a kernel file.

struct Sink {
    enum Kind { Stdout, Discard, File, Powerdown } kind = Stdout;
    std::string host;
    bool append = false;
};

// Prepares the redirections of one command as a shell does before running
// it; false when a target cannot be opened (the command does not run).
bool PrepareSinks(const Simple& c, Sink& sink) {
    for (const Redirect& r : c.redirs) {
        if (r.input) continue;  // no command here reads its input
        if (!r.target.empty() && r.target[0] == '&') continue;  // 2>&1 and the like
        if (r.target == "/dev/null") {
            if (r.fd == 1) sink.kind = Sink::Discard;
            continue;
        }
        std::string norm = NormalMountPoint(r.target);
        if (r.fd == 1 && norm == "/proc/powerdown") {
            sink.kind = Sink::Powerdown;
            continue;
        }
        std::string h = Root_HostPath(r.target);
        std::error_code ec;
        // The kernel provides every /proc and /sys file the firmware writes.
        if (norm.rfind("/proc/", 0) == 0 || norm.rfind("/sys/", 0) == 0)
            fs::create_directories(fs::path(h).parent_path(), ec);
        if (!Inside(h) || fs::is_directory(h, ec)) return false;
        int fd = open(h.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (r.append ? O_APPEND : O_TRUNC), 0644);
        if (fd < 0) return false;
        close(fd);
        if (r.fd == 1) {
            sink.kind = Sink::File;
            sink.host = h;
            sink.append = r.append;
        }
    }
    return true;
}

int Deliver(const Sink& sink, const std::string& out) {
    switch (sink.kind) {
        case Sink::Discard: return 0;
        case Sink::Stdout:
            if (!out.empty()) {
                std::fwrite(out.data(), 1, out.size(), stdout);
                std::fflush(stdout);
            }
            return 0;
        case Sink::Powerdown: {
            // The power-fail driver registers the process whose id is written.
            char* end = nullptr;
            long pid = std::strtol(out.c_str(), &end, 10);
            if (end == out.c_str() || pid <= 0 || pid > 0x7FFFFFFF) return 1;
            Board_SetControllerPid(static_cast<i32>(pid));
            return 0;
        }
        case Sink::File: {
            int fd = open(sink.host.c_str(), O_WRONLY | O_CLOEXEC | (sink.append ? O_APPEND : 0));
            if (fd < 0) return 1;
            ssize_t n = out.empty() ? 0 : write(fd, out.data(), out.size());
            close(fd);
            return n == static_cast<ssize_t>(out.size()) ? 0 : 1;
        }
    }
    return 1;
}

// Drops "nice [-n N]" in front of a command.
void DropNice(std::vector<Word>& words) {
    while (!words.empty() && words[0].text == "nice") {
        size_t drop = 1;
        if (words.size() > 2 && words[1].text == "-n")
            drop = 3;
        else if (words.size() > 1 && words[1].text.size() > 1 && words[1].text[0] == '-')
            drop = 2;
        if (drop >= words.size()) return;  // "nice" alone: recorded as it is
        words.erase(words.begin(), words.begin() + static_cast<long>(drop));
    }
}

int RunSimple(Simple c) {
    bool niced = !c.words.empty() && c.words[0].text == "nice";
    DropNice(c.words);
    Sink sink;
    if (!PrepareSinks(c, sink)) return 1;
    if (c.words.empty()) return 0;  // only redirections: the files are made
    const std::string name = c.words[0].text;
    if (IsFailing(name) || (niced && IsFailing("nice"))) return 1;

    std::string out;
    int status = 0;
    SysCmdHandler handler = nullptr;
    std::string answer;
    bool haveAnswer = false;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto h = g_handlers.find(name);
        if (h != g_handlers.end()) handler = h->second;
        auto o = g_outputs.find(name);
        if (o != g_outputs.end()) {
            answer = o->second;
            haveAnswer = true;
        } else if (const char* d = DefaultOutput(name)) {
            answer = d;
            haveAnswer = true;
        }
    }
    if (handler) {
        std::vector<std::string> texts;
        for (const Word& w : c.words) texts.push_back(w.text);
        std::vector<const char*> argv;
        for (const std::string& t : texts) argv.push_back(t.c_str());
        argv.push_back(nullptr);
        status = handler(static_cast<int>(texts.size()), argv.data(), &out);
    } else {
        Builtin fn = nullptr;
        for (const BuiltinEntry& b : kBuiltins)
            if (name == b.name) fn = b.fn;
        if (fn) {
            status = fn(c.words, &out);
        } else if (haveAnswer) {
            out = answer;  // a recorded command with a canned answer
        }
        // Any other command is only recorded: success.
    }
    int delivered = Deliver(sink, out);
    return status != 0 ? status : delivered;
}

int RunParsed(const std::vector<Simple>& cmds) {
    int status = 0;
    std::string prevSep;
    for (const Simple& c : cmds) {
        bool run = !(prevSep == "&&" && status != 0) && !(prevSep == "||" && status == 0);
        if (run) status = RunSimple(c);
        prevSep = c.sep;
    }
    return status;
}

std::string QuoteWord(const char* w) {
    std::string s = w;
    if (!s.empty() && s.find_first_of(" \t\n'\"\\;&|<>$`*?[#") == std::string::npos) return s;
    std::string q = "'";
    for (char c : s) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

}  // namespace

int SysCmd_Run(const char* commandLine) {
    if (!commandLine) return kParseError;
    AppendLog(commandLine);
    std::vector<Simple> cmds;
    if (!Parse(commandLine, cmds)) return kParseError;
    return RunParsed(cmds);
}

int SysCmd_RunArgv(int argc, const char* const* argv) {
    std::string line;
    Simple c;
    for (int i = 0; i < argc && argv[i]; ++i) {
        if (i) line += ' ';
        line += QuoteWord(argv[i]);
        c.words.push_back(Word{argv[i], false});
    }
    AppendLog(line);
    return RunSimple(c);
}

std::vector<std::string> SysCmd_Log() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return ReadLines(Root_HostPath(kSysCmdLogPath));
}

void SysCmd_ClearLog() {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::error_code ec;
    fs::remove(Root_HostPath(kSysCmdLogPath), ec);
}

void SysCmd_SetFailing(const char* firstWord, bool fail) {
    if (!firstWord || !*firstWord) return;
    std::lock_guard<std::mutex> lock(g_mutex);
    std::string path = Root_HostPath(kSysCmdFailPath);
    std::vector<std::string> lines = ReadLines(path);
    lines.erase(std::remove(lines.begin(), lines.end(), std::string(firstWord)), lines.end());
    if (fail) lines.push_back(firstWord);
    std::string text;
    for (const std::string& l : lines) text += l + "\n";
    File_WriteAtomic(path, text.data(), text.size());
}

void SysCmd_SetOutput(const char* firstWord, const char* text) {
    if (!firstWord) return;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (text)
        g_outputs[firstWord] = text;
    else
        g_outputs.erase(firstWord);
}

void SysCmd_SetHandler(const char* firstWord, SysCmdHandler handler) {
    if (!firstWord) return;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (handler)
        g_handlers[firstWord] = handler;
    else
        g_handlers.erase(firstWord);
}

bool SysCmd_IsMounted(const char* mountPoint) {
    return mountPoint && !SysCmd_MountedDevice(mountPoint).empty();
}

std::string SysCmd_MountedDevice(const char* mountPoint) {
    if (!mountPoint) return "";
    std::string mp = NormalMountPoint(mountPoint);
    std::lock_guard<std::mutex> lock(g_mutex);
    for (const MountEntry& e : ReadMountsLocked())
        if (e.mountPoint == mp) return e.device;
    return "";
}

bool SysCmd_MarkMounted(const char* device, const char* mountPoint, const char* fsType) {
    if (!device || !mountPoint) return false;
    std::string mp = NormalMountPoint(mountPoint);
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<MountEntry> entries = ReadMountsLocked();
    for (const MountEntry& e : entries)
        if (e.mountPoint == mp) return false;
    entries.push_back({NoBlanks(device), NoBlanks(mp), NoBlanks(fsType ? fsType : "auto")});
    return WriteMountsLocked(entries);
}

bool SysCmd_MarkUnmounted(const char* mountPoint) {
    if (!mountPoint) return false;
    std::string mp = NormalMountPoint(mountPoint);
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<MountEntry> entries = ReadMountsLocked();
    auto it = std::find_if(entries.begin(), entries.end(), [&](const MountEntry& e) { return e.mountPoint == mp; });
    if (it == entries.end()) return false;
    entries.erase(it);
    bool ok = WriteMountsLocked(entries);
    HideMediumAt(mountPoint);
    return ok;
}

void SysCmd_Reset() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_handlers.clear();
    g_outputs.clear();
}
