#include "platform/fx_api.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/cmdrun.h"
#include "platform/root.h"
#include "platform/rtclock.h"

MntDriveRow MntDrive[3];
MntDriveRow* MntDrivePtr1 = nullptr;
MntDriveRow* MntDrivePtr2 = nullptr;
FxMedia Cf_Media{0, nullptr, nullptr, 0, 0, 0, {}};
FxMedia Cf_Media2{1, nullptr, nullptr, 0, 0, 0, {}};
FxMedia Cf_Media3{2, nullptr, nullptr, 0, 0, 0, {}};
u8 FileMutex = 0;

namespace {

const char* const kMountPoints[3] = {"/mnt/USB0", "/mnt/USB1", "/mnt/cfg"};
const char* const kBlockPattern[2] = {"mmcblk", "sd"};
const char* const kPartition[2] = {"p1", "1"};
// Length of the firmware-side path of the open enumeration, per drive.
size_t g_dirPathLength[3];

void CopyText(char* dst, size_t cap, const std::string& src) {
    size_t n = std::min(src.size(), cap - 1);
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

bool HasParentStep(const std::string& path) {
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = path.find_first_of("/\\", i);
        if (j == std::string::npos) j = path.size();
        if (path.compare(i, j - i, "..") == 0 && j - i == 2) return true;
        i = j + 1;
    }
    return false;
}

// Walks the components below the mount point as a FAT volume would: a
// component that does not exist as written takes the name of an entry that
// differs only in case. A symbolic link anywhere below the mount point could
// lead out of the drive: false then.
bool WalkBelowMount(const std::string& mountHost, std::string* host) {
    if (host->size() <= mountHost.size()) return true;
    std::string out = mountHost;
    size_t i = mountHost.size() + 1;
    bool exists = true;
    while (i <= host->size()) {
        size_t j = host->find('/', i);
        if (j == std::string::npos) j = host->size();
        std::string comp = host->substr(i, j - i);
        i = j + 1;
        if (comp.empty()) continue;
        std::string next = out + "/" + comp;
        if (exists) {
            struct stat st;
            if (lstat(next.c_str(), &st) != 0) {
                exists = false;
                if (DIR* d = opendir(out.c_str())) {
                    while (struct dirent* e = readdir(d)) {
                        if (strcasecmp(e->d_name, comp.c_str()) == 0) {
                            next = out + "/" + e->d_name;
                            exists = lstat(next.c_str(), &st) == 0;
                            break;
                        }
                    }
                    closedir(d);
                }
            }
            if (exists && S_ISLNK(st.st_mode)) return false;
        }
        out = next;
    }
    *host = out;
    return true;
}

int DriveOfLetter(char c) {
    switch (c) {
        case 'A':
        case 'a':
            return 0;
        case 'B':
        case 'b':
            return 1;
        case 'Z':
        case 'z':
            return 2;
        default:
            return -1;
    }
}

struct Resolved {
    int drive = 0;
    std::string firmware;  // mount point, "/", rest
    std::string host;
    // The drive's root itself: a mount point is busy and is never removed
    // or renamed.
    bool IsDriveRoot() const { return firmware.size() == std::strlen(kMountPoints[drive]) + 1; }
};

// Builds the full name, selects the drive by its letter, mounts it and maps
// the rest below the mount point.
u32 CfDriveChk(const FxMedia* media, const char* name, Resolved* out, bool alwaysRelative = false) {
    if (name == nullptr) return kFxInvalidName;
    std::string full = name;
    if (alwaysRelative || full.find_first_of("/\\") == std::string::npos) full = std::string(media->currentDir) + full;
    int drive = 0;
    std::string rest = full;
    if (full.size() >= 2 && full[1] == ':') {
        drive = DriveOfLetter(full[0]);
        if (drive < 0) return kFxMediaInvalid;
        rest = full.substr(2);
    }
    if (!MountDrive(drive, nullptr)) return kFxMediaInvalid;
    std::replace(rest.begin(), rest.end(), '\\', '/');
    if (HasParentStep(rest)) return kFxInvalidName;
    size_t skip = rest.find_first_not_of('/');
    rest = skip == std::string::npos ? std::string() : rest.substr(skip);
    out->drive = drive;
    out->firmware = std::string(kMountPoints[drive]) + "/" + rest;
    if (out->firmware.size() > kFxMaxPath) return kFxInvalidName;
    out->host = Root_HostPath(out->firmware);
    if (!WalkBelowMount(Root_HostPath(kMountPoints[drive]), &out->host)) return kFxInvalidName;
    return kFxSuccess;
}

// The medium answers a status query: its device node is there and it is in
// the mount table.
bool DeviceAnswers(int drive) {
    if (drive == 2) {
        struct stat st;
        return stat(Root_HostPath(kMountPoints[2]).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    struct stat st;
    if (stat(Root_HostPath(MntDrive[drive].device).c_str(), &st) != 0) return false;
    return SysCmd_IsMounted(kMountPoints[drive]);
}

void CancelIntervalTimer() {
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
}

std::string FirstBlockDevice(int drive) {
    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(Root_HostPath("/sys/block"), ec), end; !ec && it != end;
         it.increment(ec)) {
        std::string n = it->path().filename().string();
        if (n.find(kBlockPattern[drive]) != std::string::npos) names.push_back(n);
    }
    if (names.empty()) return "";
    std::sort(names.begin(), names.end());
    return names.front();
}

bool HostOpensForReading(const std::string& hostPath) {
    int fd = open(hostPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    close(fd);
    return true;
}

bool OpensForReading(const std::string& firmwarePath) { return HostOpensForReading(Root_HostPath(firmwarePath)); }

u32 OpenErrno(int e, bool create) {
    switch (e) {
        case ENOENT:
            return create ? kFxInvalidName : kFxNotFound;
        case EFAULT:
            return kFxInvalidName;
        case ENFILE:
            return kFxTooManyFiles;
        default:
            return kFxIoError;
    }
}

u32 FileIoErrno(int e) {
    switch (e) {
        case EBADF:
            return kFxNotOpen;
        case EISDIR:
            return kFxNotAFile;
        default:
            return kFxIoError;
    }
}

u32 AttributesOf(const struct stat& st) {
    u32 a = S_ISDIR(st.st_mode) ? kFxDirectory : 0;
    if (!(st.st_mode & S_IWUSR)) a |= kFxReadOnly;
    if (!(st.st_mode & S_IRGRP)) a |= kFxSystem;
    return a;
}

mode_t ModeOf(u32 attributes) {
    mode_t mode = (attributes & kFxReadOnly) ? 0444 : 0774;
    if (attributes & kFxSystem) mode = 0700;
    return mode;
}

void FillInfo(const struct stat& st, u32* attributes, u32* size, u32* year, u32* month, u32* day, u32* hour,
              u32* minute, u32* second) {
    if (attributes) *attributes = AttributesOf(st);
    if (size) *size = static_cast<u32>(st.st_size);
    time_t t = st.st_mtime;
    struct tm tmv{};
    localtime_r(&t, &tmv);
    if (year) *year = static_cast<u32>(tmv.tm_year + 1900);
    if (month) *month = static_cast<u32>(tmv.tm_mon + 1);
    if (day) *day = static_cast<u32>(tmv.tm_mday);
    if (hour) *hour = static_cast<u32>(tmv.tm_hour);
    if (minute) *minute = static_cast<u32>(tmv.tm_min);
    if (second) *second = static_cast<u32>(tmv.tm_sec);
}

void CloseStream(FxMedia* media) {
    if (media->dirStream) closedir(media->dirStream);
    media->dirStream = nullptr;
}

u32 OpenStream(FxMedia* media) {
    Resolved r;
    u32 st = CfDriveChk(media, "", &r);
    if (st != kFxSuccess) return st;
    DIR* d = opendir(r.host.c_str());
    if (!d) {
        if (errno == ENOENT) return kFxNotFound;
        if (errno == ENOTDIR) return kFxNotDirectory;
        return kFxIoError;
    }
    media->dirStream = d;
    g_dirPathLength[std::min<u32>(media->drive, 2)] = r.firmware.size();
    return kFxSuccess;
}

}  // namespace

FxMedia* Fx_MediaOf(u32 drive) {
    if (drive == 1) return &Cf_Media2;
    if (drive == 2) return &Cf_Media3;
    return &Cf_Media;
}

// ---------------------------------------------------------------- files

u32 _fxe_file_open(FxMedia* media, FxFile* file, const char* name, u32 openType) {
    if (!file) return kFxInvalidName;
    if (file->open) _fxe_file_close(file);
    Resolved r;
    u32 st = CfDriveChk(media, name, &r);
    if (st != kFxSuccess) return st;
    int flags = O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW;
    if (openType == kFxOpenRead)
        flags |= O_RDONLY;
    else if (openType == kFxOpenReadWrite)
        flags |= O_RDWR;
    else if (openType == kFxOpenTruncate)
        flags |= O_RDWR | O_TRUNC;
    else
        flags |= O_RDWR | O_APPEND;
    int fd = open(r.host.c_str(), flags);
    if (fd < 0) return OpenErrno(errno, false);
    if (fd == 0) {
        int d = fcntl(fd, F_DUPFD_CLOEXEC, 1);
        close(fd);
        if (d < 0) return kFxIoError;
        fd = d;
    }
    struct stat sb;
    u32 size = fstat(fd, &sb) == 0 ? static_cast<u32>(sb.st_size) : 0;
    file->open = 1;
    file->fd = fd;
    file->size = size;
    file->sizeAtOpen = size;
    return kFxSuccess;
}

u32 _fxe_file_create(FxMedia* media, const char* name) {
    Resolved r;
    u32 st = CfDriveChk(media, name, &r);
    if (st != kFxSuccess) return st;
    // On the card every file shows the mount's umask (group may read); the
    // folder keeps the mode it is created with, so it is created readable
    // by the group and does not look like a system file.
    int fd = open(r.host.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0664);
    if (fd < 0) return OpenErrno(errno, true);
    close(fd);
    return kFxSuccess;
}

u32 _fxe_file_read(FxFile* file, void* buffer, u32 size, u32* actual) {
    if (actual) *actual = 0;
    if (!file || !file->open || file->fd <= 0) return kFxNotOpen;
    ssize_t n;
    do {
        n = read(file->fd, buffer, size);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return FileIoErrno(errno);
    if (actual) *actual = static_cast<u32>(n);
    return n == 0 ? kFxEndOfFile : kFxSuccess;
}

u32 _fxe_file_write(FxFile* file, const void* data, u32 size) {
    if (!file || !file->open || file->fd <= 0) return kFxNotOpen;
    const u8* p = static_cast<const u8*>(data);
    u32 done = 0;
    u32 status = kFxSuccess;
    while (done < size) {
        ssize_t n = write(file->fd, p + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            status = FileIoErrno(errno);
            break;
        }
        if (n == 0) {
            status = kFxIoError;
            break;
        }
        done += static_cast<u32>(n);
    }
    struct stat sb;
    if (fstat(file->fd, &sb) == 0) file->size = static_cast<u32>(sb.st_size);
    set_mtime(file, kMtimeAccess | kMtimeModify);
    return status;
}

u32 _fxe_file_seek(FxFile* file, u32 offset) {
    if (!file || !file->open || file->fd <= 0) return kFxNotOpen;
    if (lseek(file->fd, static_cast<off_t>(offset), SEEK_SET) < 0) return FileIoErrno(errno);
    return kFxSuccess;
}

u32 _fxe_file_relative_seek(FxFile* file, u32 offset, u32 from) {
    if (!file || !file->open || file->fd <= 0) return kFxNotOpen;
    int whence = from == 0 ? SEEK_SET : from == 1 ? SEEK_END : SEEK_CUR;
    if (lseek(file->fd, static_cast<off_t>(static_cast<i32>(offset)), whence) < 0) return FileIoErrno(errno);
    return kFxSuccess;
}

u32 _fxe_file_close(FxFile* file) {
    if (!file) return kFxSuccess;
    if (file->open && file->fd > 0) {
        if (close(file->fd) != 0 && errno != EINTR) return kFxNotOpen;
    }
    file->open = 0;
    file->fd = 0;
    return kFxSuccess;
}

u32 _fxe_file_truncate(FxFile* file, u32 size) {
    if (!file || !file->open || file->fd <= 0) return kFxNotOpen;
    if (ftruncate(file->fd, static_cast<off_t>(size)) != 0) return errno == EBADF ? kFxNotOpen : kFxIoError;
    file->size = size;
    return kFxSuccess;
}

// A name resolved on its drive for removal; a drive's own root is never
// removed.
static u32 ResolveRemovable(FxMedia* media, const char* name, Resolved* r) {
    u32 st = CfDriveChk(media, name, r);
    if (st != kFxSuccess) return st;
    return r->IsDriveRoot() ? kFxIoError : kFxSuccess;
}

u32 _fxe_file_delete(FxMedia* media, const char* name) {
    Resolved r;
    if (u32 st = ResolveRemovable(media, name, &r); st != kFxSuccess) return st;
    if (unlink(r.host.c_str()) == 0) return kFxSuccess;
    switch (errno) {
        case EFAULT:
            return kFxInvalidName;
        case ENOENT:
            return kFxNotFound;
        case EISDIR:
            return kFxNotAFile;
        default:
            return kFxIoError;
    }
}

// Both names of a rename resolved on their drives; a drive's own root is
// never renamed nor renamed onto.
static u32 ResolveRename(FxMedia* media, const char* oldName, const char* newName, Resolved* from, Resolved* to) {
    u32 st = CfDriveChk(media, oldName, from);
    if (st != kFxSuccess) return st;
    st = CfDriveChk(media, newName, to);
    if (st != kFxSuccess) return st;
    return (from->IsDriveRoot() || to->IsDriveRoot()) ? kFxIoError : kFxSuccess;
}

u32 _fxe_file_rename(FxMedia* media, const char* oldName, const char* newName) {
    Resolved from, to;
    if (u32 st = ResolveRename(media, oldName, newName, &from, &to); st != kFxSuccess) return st;
    if (!HostOpensForReading(from.host)) return kFxInvalidName;
    if (HostOpensForReading(to.host)) return kFxAlreadyExists;
    if (rename(from.host.c_str(), to.host.c_str()) != 0)
        return (errno == EEXIST || errno == ENOTEMPTY) ? kFxDirNotEmpty : kFxIoError;
    set_mtime(to.host.c_str(), kMtimeByName | kMtimeAccess | kMtimeModify);
    return kFxSuccess;
}

// Attributes of a name on its drive (when asked for); sb gets what the host
// says about the entry.
static u32 ReadAttributes(FxMedia* media, const char* name, u32* attributes, struct stat* sb) {
    Resolved r;
    u32 st = CfDriveChk(media, name, &r);
    if (st != kFxSuccess) return st;
    if (stat(r.host.c_str(), sb) != 0) return kFxInvalidName;
    if (attributes) *attributes = AttributesOf(*sb);
    return kFxSuccess;
}

u32 _fxe_file_attributes_read(FxMedia* media, const char* name, u32* attributes) {
    struct stat sb;
    if (u32 st = ReadAttributes(media, name, attributes, &sb); st != kFxSuccess) return st;
    return S_ISDIR(sb.st_mode) ? kFxNotAFile : kFxSuccess;
}

u32 _fxe_file_attributes_set(FxMedia* media, const char* name, u32 attributes) {
    Resolved r;
    u32 st = CfDriveChk(media, name, &r);
    if (st != kFxSuccess) return st;
    return chmod(r.host.c_str(), ModeOf(attributes)) == 0 ? kFxSuccess : kFxInvalidAttr;
}

// ---------------------------------------------------------------- directories

u32 _fxe_directory_create(FxMedia* media, const char* name) {
    Resolved r;
    u32 st = CfDriveChk(media, name, &r);
    if (st != kFxSuccess) return st;
    if (mkdir(r.host.c_str(), 0775) == 0) return kFxSuccess;
    switch (errno) {
        case EFAULT:
            return kFxInvalidName;
        case EEXIST:
            return kFxAlreadyExists;
        case EROFS:
            return kFxWriteProtect;
        case EINTR:
            return kFxSuccess;
        default:
            return kFxIoError;
    }
}

u32 _fxe_directory_delete(FxMedia* media, const char* name) {
    Resolved r;
    if (u32 st = ResolveRemovable(media, name, &r); st != kFxSuccess) return st;
    if (rmdir(r.host.c_str()) == 0) return kFxSuccess;
    switch (errno) {
        case EFAULT:
            return kFxInvalidName;
        case EROFS:
            return kFxWriteProtect;
        case ENOTEMPTY:
        case EEXIST:
            return kFxDirNotEmpty;
        case ENOTDIR:
            return kFxNotDirectory;
        default:
            return kFxIoError;
    }
}

u32 _fxe_directory_rename(FxMedia* media, const char* oldName, const char* newName) {
    Resolved from, to;
    if (u32 st = ResolveRename(media, oldName, newName, &from, &to); st != kFxSuccess) return st;
    if (rename(from.host.c_str(), to.host.c_str()) == 0) return kFxSuccess;
    return (errno == EEXIST || errno == ENOTEMPTY) ? kFxDirNotEmpty : kFxIoError;
}

u32 _fxe_directory_name_test(FxMedia* media, const char* name) {
    Resolved r;
    u32 st = CfDriveChk(media, name, &r);
    if (st != kFxSuccess) return st;
    DIR* d = opendir(r.host.c_str());
    if (d) {
        closedir(d);
        return kFxSuccess;
    }
    if (errno == ENOENT) return kFxNotFound;
    if (errno == ENOTDIR) return kFxNotDirectory;
    return kFxIoError;
}

u32 _fxe_directory_attributes_read(FxMedia* media, const char* name, u32* attributes) {
    struct stat sb;
    return ReadAttributes(media, name, attributes, &sb);
}

u32 _fxe_directory_attributes_set(FxMedia* media, const char* name, u32 attributes) {
    Resolved r;
    u32 st = CfDriveChk(media, name, &r);
    if (st != kFxSuccess) return st;
    if (chmod(r.host.c_str(), ModeOf(attributes)) == 0) return kFxSuccess;
    switch (errno) {
        case EINVAL:
            return kFxInvalidAttr;
        case ENOENT:
            return kFxInvalidName;
        case ENOTDIR:
            return kFxNotDirectory;
        default:
            return kFxIoError;  // a refused change is never reported as success
    }
}

u32 _fxe_directory_information_get(FxMedia* media, const char* name, u32* attributes, u32* size, u32* year,
                                   u32* month, u32* day, u32* hour, u32* minute, u32* second) {
    Resolved r;
    u32 st = CfDriveChk(media, name, &r, true);
    if (st != kFxSuccess) return st;
    struct stat sb;
    if (stat(r.host.c_str(), &sb) != 0) return kFxNotFound;
    FillInfo(sb, attributes, size, year, month, day, hour, minute, second);
    return kFxSuccess;
}

u32 _fxe_directory_first_full_entry_find(FxMedia* media, char* nameOut, u32* attributes, u32* size, u32* year,
                                         u32* month, u32* day, u32* hour, u32* minute, u32* second) {
    CloseStream(media);
    u32 st = OpenStream(media);
    if (st != kFxSuccess) return st;
    return _fxe_directory_next_full_entry_find(media, nameOut, attributes, size, year, month, day, hour, minute,
                                               second);
}

u32 _fxe_directory_next_full_entry_find(FxMedia* media, char* nameOut, u32* attributes, u32* size, u32* year,
                                        u32* month, u32* day, u32* hour, u32* minute, u32* second) {
    if (!media->dirStream && OpenStream(media) != kFxSuccess) return kFxNoMoreEntries;
    errno = 0;
    struct dirent* e = readdir(media->dirStream);
    if (!e) {
        bool invalid = errno == EBADF;
        CloseStream(media);
        return invalid ? kFxNotDirectory : kFxNoMoreEntries;
    }
    size_t nameLen = std::strlen(e->d_name);
    if (g_dirPathLength[std::min<u32>(media->drive, 2)] + 1 + nameLen >= kFxMaxPath + 1 || nameLen > 255)
        return kFxInvalidName;
    if (nameOut) std::memcpy(nameOut, e->d_name, nameLen + 1);
    struct stat sb;
    if (fstatat(dirfd(media->dirStream), e->d_name, &sb, AT_SYMLINK_NOFOLLOW) != 0) return kFxSuccess;
    FillInfo(sb, attributes, size, year, month, day, hour, minute, second);
    return kFxSuccess;
}

u32 _fxe_directory_local_path_set(FxMedia* media, FxLocalPath* record, const char* path) {
    if (!path) return kFxInvalidName;
    std::string cur = media->currentDir;
    std::string p = path;
    if (!p.empty() && (p[0] == '/' || p[0] == '\\')) {
        cur = p.size() == 1 ? std::string() : p;
    } else if (p.size() >= 2 && p[1] == ':') {
        cur = p;
    } else {
        cur += p;
    }
    if (!cur.empty() && cur.back() != '/' && cur.back() != '\\') cur += '/';
    if (cur.size() > kFxMaxPath || HasParentStep(cur)) return kFxInvalidName;
    CopyText(media->currentDir, sizeof media->currentDir, cur);
    if (record) {
        CopyText(record->path, sizeof record->path, cur);
        media->localPath = record;
    }
    return kFxSuccess;
}

u32 _fxe_directory_local_path_get(FxMedia* media, char* textOut) {
    if (textOut) CopyText(textOut, kFxMaxPath + 1, media->currentDir);
    return kFxSuccess;
}

u32 _fxe_directory_local_path_restore(FxMedia* media, FxLocalPath* record) {
    media->localPath = record;
    if (record)
        CopyText(media->currentDir, sizeof media->currentDir,
                 std::string(record->path, strnlen(record->path, kFxMaxPath)));
    else
        media->currentDir[0] = '\0';
    return kFxSuccess;
}

// ---------------------------------------------------------------- media

u32 _fxe_media_space_available(FxMedia* media, u32* freeKb) {
    if (freeKb) *freeKb = 0;
    if (!MountDrive(static_cast<int>(media->drive), nullptr)) return kFxMediaInvalid;
    u64 freeBlocks = 0, total = 0, blockSize = 0;
    if (media->drive == 2) {
        struct statvfs v;
        if (statvfs(Root_HostPath(kMountPoints[2]).c_str(), &v) != 0) return kFxIoError;
        freeBlocks = v.f_bfree;
        total = v.f_blocks;
        blockSize = v.f_bsize;
    } else {
        if (FileMutex) return kFxIoError;
        FileMutex = 1;
        u8 buf[24];
        int fd = open(Root_HostPath(kFxSpaceFile).c_str(), O_RDONLY | O_CLOEXEC);
        ssize_t n = fd >= 0 ? read(fd, buf, sizeof buf) : -1;
        if (fd >= 0) close(fd);
        FileMutex = 0;
        if (n != static_cast<ssize_t>(sizeof buf)) return kFxIoError;
        const u8* p = buf + (media->drive == 1 ? 12 : 0);
        freeBlocks = GetLe32(p);
        total = GetLe32(p + 4);
        blockSize = GetLe32(p + 8);
    }
    media->kbPerBlock = static_cast<u32>(blockSize / 1024);
    media->totalBlocks = static_cast<u32>(total);
    media->spaceKnown = 1;
    if (freeKb) *freeKb = static_cast<u32>(freeBlocks * media->kbPerBlock);
    return total != 0 ? kFxSuccess : kFxIoError;
}

u32 _fxe_media_flush(FxMedia*) { return kFxSuccess; }

int UnmountDrive(const char* mountPoint) {
    CancelIntervalTimer();
    if (SysCmd_MarkUnmounted(mountPoint)) return 0;
    std::fputs("umount2\n", stderr);
    return 0xFF;
}

int MountDrive(int drive, char* mountPointOut) {
    if (drive < 0 || drive > 2) return 0;
    MntDriveRow& row = MntDrive[drive];
    auto success = [&]() {
        if (mountPointOut) CopyText(mountPointOut, sizeof row.mountPoint, row.mountPoint);
        return 1;
    };
    if (row.mounted) {
        if (FileMutex) return success();
        FileMutex = 1;
        bool ok = DeviceAnswers(drive);
        FileMutex = 0;
        if (ok) return success();
        row.mounted = 0;
        if (drive != 2) UnmountDrive(row.mountPoint);
        return 0;
    }
    if (drive == 2) {
        if (!DeviceAnswers(2)) return 0;
        CopyText(row.device, sizeof row.device, "/dev/ubi0_2");
        CopyText(row.mountPoint, sizeof row.mountPoint, kMountPoints[2]);
        row.mounted = 1;
        Cf_Media3.drive = 2;
        return success();
    }
    MntDrivePtr1 = &MntDrive[0];
    MntDrivePtr2 = &MntDrive[1];
    CopyText(row.mountPoint, sizeof row.mountPoint, kMountPoints[drive]);
    std::string block = FirstBlockDevice(drive);
    if (block.empty()) return 0;
    UnmountDrive(row.mountPoint);
    std::string device = "/dev/" + block + kPartition[drive];
    if (!OpensForReading(device)) {
        device = "/dev/" + block;
        if (!OpensForReading(device)) return 0;
    }
    if (device.size() >= sizeof row.device) return 0;
    CopyText(row.device, sizeof row.device, device);
    bool mounted = SysCmd_MarkMounted(device.c_str(), row.mountPoint, "vfat");
    if (mounted && drive == 1) {
        row.mounted = 1;
        return success();
    }
    // The card is mounted again through the shell so that the user of the
    // FTP daemon may write it; a busy mount point is remounted likewise.
    if (mounted) SysCmd_Run("umount /mnt/USB0");
    CancelIntervalTimer();
    std::string cmd;
    if (drive == 0)
        cmd = "mount -o umask=002,gid=$(id -g ftp| awk '{print $1}') " + device + " " + row.mountPoint;
    else
        cmd = "mount -t vfat -o umask=002 " + device + " " + row.mountPoint;
    SysCmd_Run(cmd.c_str());
    SysCmd_Run(("mount -o remount,rw " + device + " " + row.mountPoint).c_str());
    row.mounted = 1;
    return success();
}

int Cf_Check(int drive) { return MountDrive(drive, nullptr) ? 3 : 0; }

int Cf_Format(FxMedia* media, int drive) {
    (void)media;
    if (drive < 0 || drive > 2 || !MountDrive(drive, nullptr)) return 0;
    // The internal volume holds the program and the configuration: it is
    // never formatted through this call.
    if (drive == 2) return 2;
    MntDriveRow& row = MntDrive[drive];
    row.mounted = 0;
    UnmountDrive(row.mountPoint);
    // The board pauses two seconds here for its card controller; a folder
    // needs no pause.
    std::string cmd = std::string("mkfs.vfat -I ") + row.device + " > /dev/shm/a";
    SysCmd_Run(cmd.c_str());
    return MountDrive(drive, nullptr) ? 3 : 2;
}

void Cf_Init() {}

void set_mtime(const void* target, u32 flags) {
    if (!target) return;
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    RTCTime now{};
    RtcGet(&now);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);

    timespec times[2];
    clock_gettime(CLOCK_REALTIME, &times[0]);
    times[1] = times[0];
    if (now.year != 0) {
        struct tm tmv{};
        tmv.tm_sec = now.second;
        tmv.tm_min = now.minute;
        tmv.tm_hour = now.hour;
        tmv.tm_mday = now.day;
        tmv.tm_mon = now.month - 1;
        tmv.tm_year = now.year - 1900;
        tmv.tm_isdst = -1;
        time_t t = mktime(&tmv);
        if (t != static_cast<time_t>(-1)) {
            if (flags & kMtimeAccess) times[0] = {t, 0};
            if (flags & kMtimeModify) times[1] = {t, 0};
        }
    }
    if (flags & kMtimeByName) {
        utimensat(AT_FDCWD, static_cast<const char*>(target), times, AT_SYMLINK_NOFOLLOW);
    } else {
        const FxFile* f = static_cast<const FxFile*>(target);
        if (f->open && f->fd > 0) futimens(f->fd, times);
    }
}

// ---------------------------------------------------------------- free-space child

void BackTsk_WriteOnce() {
    if (FileMutex) return;
    struct statvfs vfs;
    if (statvfs(Root_HostPath("/mnt/USB0").c_str(), &vfs) != 0) return;
    u8 out[24];
    PutLe32(out + 0, static_cast<u32>(vfs.f_bfree));
    PutLe32(out + 4, static_cast<u32>(vfs.f_blocks));
    PutLe32(out + 8, static_cast<u32>(vfs.f_bsize));
    // B: keeps A:'s values when its query fails.
    statvfs(Root_HostPath("/mnt/USB1").c_str(), &vfs);
    PutLe32(out + 12, static_cast<u32>(vfs.f_bfree));
    PutLe32(out + 16, static_cast<u32>(vfs.f_blocks));
    PutLe32(out + 20, static_cast<u32>(vfs.f_bsize));
    // Written aside and renamed over the old file, so that a reader sees the
    // old or the new 24 bytes, never a half-written file.
    std::string path = Root_HostPath(kFxSpaceFile);
    std::string tmp = path + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) return;
    bool ok = write(fd, out, sizeof out) == static_cast<ssize_t>(sizeof out);
    close(fd);
    if (ok)
        rename(tmp.c_str(), path.c_str());
    else
        unlink(tmp.c_str());
}

void BackTsk() {
    for (;;) {
        BackTsk_WriteOnce();
        sleep(1);
    }
}

// ---------------------------------------------------------------- simulated media

namespace {
const char* const kSimBlock[2] = {"/sys/block/mmcblk0", "/sys/block/sda"};
const char* const kSimDevice[2] = {"/dev/mmcblk0p1", "/dev/sda1"};
}  // namespace

bool Fx_InsertMedium(int drive) {
    if (drive != 0 && drive != 1) return false;
    std::error_code ec;
    std::filesystem::create_directories(Root_HostPath(kSimBlock[drive]), ec);
    std::filesystem::create_directories(Root_HostPath("/dev"), ec);
    std::filesystem::create_directories(Root_HostPath(kMountPoints[drive]), ec);
    int fd = open(Root_HostPath(kSimDevice[drive]).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    close(fd);
    return true;
}

bool Fx_RemoveMedium(int drive) {
    if (drive != 0 && drive != 1) return false;
    std::error_code ec;
    std::filesystem::remove_all(Root_HostPath(kSimBlock[drive]), ec);
    std::filesystem::remove(Root_HostPath(kSimDevice[drive]), ec);
    return true;
}

bool Fx_MediumPresent(int drive) {
    if (drive != 0 && drive != 1) return false;
    struct stat st;
    return stat(Root_HostPath(kSimDevice[drive]).c_str(), &st) == 0;
}

void Fx_Reset() {
    FxMedia* all[3] = {&Cf_Media, &Cf_Media2, &Cf_Media3};
    for (u32 i = 0; i < 3; ++i) {
        CloseStream(all[i]);
        *all[i] = FxMedia{};
        all[i]->drive = i;
        MntDrive[i] = MntDriveRow{};
        g_dirPathLength[i] = 0;
    }
    MntDrivePtr1 = nullptr;
    MntDrivePtr2 = nullptr;
    FileMutex = 0;
}
