#include "platform/fileio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

bool WriteAllFd(int fd, const void* data, size_t size) {
    const u8* p = static_cast<const u8*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

void File_SyncDirOf(const std::string& hostPath) {
    std::string dir = hostPath;
    size_t slash = dir.rfind('/');
    dir = (slash == std::string::npos) ? "." : (slash == 0 ? "/" : dir.substr(0, slash));
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
}

bool File_WriteAtomicPieces(const std::string& hostPath, const FilePiece* pieces, size_t count) {
    std::string tmp = hostPath + ".new";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = true;
    for (size_t i = 0; ok && i < count; ++i) ok = WriteAllFd(fd, pieces[i].data, pieces[i].size);
    if (ok && ::fsync(fd) != 0) ok = false;
    if (::close(fd) != 0) ok = false;
    if (ok && ::rename(tmp.c_str(), hostPath.c_str()) != 0) ok = false;
    if (!ok) {
        ::unlink(tmp.c_str());
        return false;
    }
    File_SyncDirOf(hostPath);
    return true;
}

bool File_WriteAtomic(const std::string& hostPath, const void* data, size_t size) {
    FilePiece piece{data, size};
    return File_WriteAtomicPieces(hostPath, &piece, 1);
}

bool File_ReadAll(const std::string& hostPath, std::vector<u8>& out, size_t maxBytes) {
    out.clear();
    int fd = ::open(hostPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<u64>(st.st_size) > maxBytes) {
        ::close(fd);
        return false;
    }
    out.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < out.size()) {
        ssize_t n = ::read(fd, out.data() + got, out.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    if (got != out.size()) {
        out.clear();
        return false;
    }
    return true;
}
