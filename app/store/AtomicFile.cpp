#include "AtomicFile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

namespace {

std::string DirectoryOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Letters only, so a leftover temporary never contains a build number or a
// device serial that a name search could match.
std::string Letters(unsigned long value) {
    std::string text;
    do {
        text += static_cast<char>('a' + value % 26);
        value /= 26;
    } while (value);
    return text;
}

std::string TemporaryName(const std::string& directory) {
    static std::atomic<unsigned long> counter{0};
    return directory + "/.updater-tmp-" + Letters(static_cast<unsigned long>(getpid())) + "-" +
           Letters(counter++);
}

bool WriteAll(int fd, const char* bytes, size_t length) {
    while (length > 0) {
        ssize_t written = write(fd, bytes, length);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (written == 0) {
            errno = EIO;
            return false;
        }
        bytes += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

void SyncDirectory(const std::string& directory) {
    int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

// A symbolic link is written through, as in place, not replaced by a file.
std::string LinkTarget(const std::string& path) {
    struct stat link {};
    if (lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return path;
    char* resolved = realpath(path.c_str(), nullptr);
    if (!resolved) return path;
    std::string target(resolved);
    free(resolved);
    return target;
}

} // namespace

AtomicWriteResult ReplaceFileAtomically(const std::string& requested, const void* bytes, size_t length) {
    AtomicWriteResult result;
    const std::string path = LinkTarget(requested);
    const std::string directory = DirectoryOf(path);

    // Refuse what writing in place would refuse: a directory standing at the
    // path, or a file we may not write (renaming would slip past its
    // permission bits and replace a write-protected file).
    struct stat old {};
    const bool replacing = stat(path.c_str(), &old) == 0;
    if (replacing && (S_ISDIR(old.st_mode) || faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0)) {
        result.error = aErrNotFound;
        result.systemError = S_ISDIR(old.st_mode) ? EISDIR : errno;
        return result;
    }

    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = TemporaryName(directory);
        fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        result.error = aErrNotFound;
        result.systemError = errno;
        return result;
    }

    // Keep the owner and permission bits of the file being replaced, as an
    // in-place write would (a root run must not take a user's file over).
    if (replacing && S_ISREG(old.st_mode)) {
        if (old.st_uid != geteuid() || old.st_gid != getegid()) (void)!fchown(fd, old.st_uid, old.st_gid);
        fchmod(fd, old.st_mode & 07777);
    }

    bool ok = WriteAll(fd, static_cast<const char*>(bytes), length) && fsync(fd) == 0;
    int savedErrno = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        savedErrno = errno;
    }
    if (ok && rename(temporary.c_str(), path.c_str()) != 0) {
        ok = false;
        savedErrno = errno;
    }
    if (!ok) {
        unlink(temporary.c_str());
        result.error = aErrIO;
        result.systemError = savedErrno;
        return result;
    }
    SyncDirectory(directory);
    return result;
}
