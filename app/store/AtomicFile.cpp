#include "AtomicFile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
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

// The file a symbolic link leads to; the path itself when it is no link.
std::string LinkTarget(const std::string& path) {
    struct stat link {};
    if (lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return path;
    char* resolved = realpath(path.c_str(), nullptr);
    if (!resolved) return path;
    std::string target(resolved);
    free(resolved);
    return target;
}

bool IsSymbolicLink(const std::string& path) {
    struct stat link {};
    return lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
}

AtomicWriteResult Failed(aErr error, int systemError) {
    AtomicWriteResult result;
    result.error = error;
    result.systemError = systemError;
    return result;
}

// Writes into the open file `fd` (closing it), as an ordinary write would.
// A regular file (one with other names) gets its space reserved first, so a
// full disk refuses the write before any byte of the old content changes.
AtomicWriteResult WriteInPlace(int fd, const struct stat& st, const void* bytes, size_t length) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags != -1) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    if (S_ISREG(st.st_mode) && length > 0) {
        const int reserved = posix_fallocate(fd, 0, static_cast<off_t>(length));
        if (reserved != 0 && reserved != EOPNOTSUPP && reserved != EINVAL) {
            close(fd);
            return Failed(aErrIO, reserved);
        }
    }
    bool ok = WriteAll(fd, static_cast<const char*>(bytes), length);
    if (ok && S_ISREG(st.st_mode))
        ok = ftruncate(fd, static_cast<off_t>(length)) == 0 && fsync(fd) == 0;
    int savedErrno = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        savedErrno = errno;
    }
    return ok ? AtomicWriteResult{} : Failed(aErrIO, savedErrno);
}

// Writes a hidden temporary beside `path` and renames it over `path`.
// `old` is the file being replaced, if any: its owner and mode are kept.
AtomicWriteResult WriteAndRename(const std::string& path, const struct stat* old, const void* bytes,
                                 size_t length) {
    const std::string directory = DirectoryOf(path);
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = TemporaryName(directory);
        fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) return Failed(aErrNotFound, errno);

    // Keep the owner and permission bits of the file being replaced, as an
    // in-place write would (a root run must not take a user's file over).
    if (old) {
        if (old->st_uid != geteuid() || old->st_gid != getegid()) (void)!fchown(fd, old->st_uid, old->st_gid);
        fchmod(fd, old->st_mode & 07777);
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
        return Failed(aErrIO, savedErrno);
    }
    SyncDirectory(directory);
    return {};
}

} // namespace

AtomicWriteResult ReplaceFileAtomically(const std::string& path, const void* bytes, size_t length) {
    // Opening for writing first (no truncation, no waiting, through any
    // symbolic link) refuses what an ordinary write would refuse: a directory,
    // a file we may not write (a rename would slip past its permission bits),
    // a FIFO nobody reads. And it says what stands there.
    int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) return Failed(aErrNotFound, errno);
        if (!IsSymbolicLink(path)) return WriteAndRename(path, nullptr, bytes, length);
        // A link to nothing yet: its target is made, as an ordinary write would.
        fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
        if (fd < 0) return Failed(aErrNotFound, errno);
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        const int error = errno;
        close(fd);
        return Failed(aErrIO, error);
    }
    // Only a plain regular file with one name is replaced by renaming. A
    // device (say a link to /dev/null that turns history off), a FIFO or a
    // terminal is written into and never replaced. A hard-linked file is
    // rewritten in place too, so every one of its names keeps seeing it;
    // replacing it would silently split it in two.
    if (!S_ISREG(st.st_mode) || st.st_nlink > 1) return WriteInPlace(fd, st, bytes, length);
    close(fd);
    // Through a symbolic link, the file it leads to is the one replaced.
    return WriteAndRename(LinkTarget(path), &st, bytes, length);
}

// ---------------------------------------------------------------- AtomicFileWriter

namespace {

// Bytes written before the kernel is asked to start putting them on disk, so
// the final fsync finds little left to do.
constexpr unsigned long long kWriteBehindBytes = 4ull << 20;

// Copies the finished temporary into a target written in place (a device, a
// hard-linked file), through a read-only mapping of the temporary.
AtomicWriteResult CopyInPlace(int target, const struct stat& st, int temporary, unsigned long long length) {
    if (length == 0) return WriteInPlace(target, st, "", 0);
    void* map = mmap(nullptr, static_cast<size_t>(length), PROT_READ, MAP_SHARED, temporary, 0);
    if (map == MAP_FAILED) {
        const int error = errno;
        close(target);
        return Failed(aErrIO, error);
    }
    AtomicWriteResult result = WriteInPlace(target, st, map, static_cast<size_t>(length));
    munmap(map, static_cast<size_t>(length));
    return result;
}

} // namespace

AtomicFileWriter::AtomicFileWriter(const std::string& path) : path_(path) {
    const std::string directory = DirectoryOf(LinkTarget(path));
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
        temporary_ = TemporaryName(directory);
        // Readable too: a target written in place is copied from it.
        fd_ = open(temporary_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ < 0 && errno != EEXIST) break;
    }
    if (fd_ < 0) {
        failure_ = Failed(aErrNotFound, errno);
        temporary_.clear();
    }
}

AtomicFileWriter::~AtomicFileWriter() { Discard(); }

void AtomicFileWriter::Discard() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    if (!temporary_.empty()) unlink(temporary_.c_str());
    temporary_.clear();
}

bool AtomicFileWriter::Write(const void* bytes, size_t length) {
    if (failure_.error != aErrNone) return false;
    if (!WriteAll(fd_, static_cast<const char*>(bytes), length)) {
        failure_ = Failed(aErrIO, errno);
        Discard(); // a full disk gets its space back at once
        return false;
    }
    written_ += length;
    if (written_ - flushedTo_ >= kWriteBehindBytes) {
        sync_file_range(fd_, static_cast<off_t>(flushedTo_), static_cast<off_t>(written_ - flushedTo_),
                        SYNC_FILE_RANGE_WRITE);
        flushedTo_ = written_;
    }
    return true;
}

AtomicWriteResult AtomicFileWriter::Commit() {
    if (failure_.error != aErrNone) {
        Discard();
        return failure_;
    }
    // What stands at the path decides, as in ReplaceFileAtomically.
    int target = open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    const bool missing = target < 0 && errno == ENOENT;
    if (missing && IsSymbolicLink(path_)) // a link to nothing yet: its target is made
        target = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    else if (missing)
        target = -2; // nothing there: the temporary takes the name
    if (target == -1) failure_ = Failed(aErrNotFound, errno);
    struct stat st {};
    if (target >= 0 && fstat(target, &st) != 0) {
        failure_ = Failed(aErrIO, errno);
        close(target);
    }
    if (failure_.error != aErrNone) {
        Discard();
        return failure_;
    }
    if (target >= 0 && (!S_ISREG(st.st_mode) || st.st_nlink > 1)) {
        const AtomicWriteResult copied = CopyInPlace(target, st, fd_, written_);
        Discard();
        return copied;
    }
    if (target >= 0) {
        // Keep the owner and permission bits of the file being replaced.
        if (st.st_uid != geteuid() || st.st_gid != getegid()) (void)!fchown(fd_, st.st_uid, st.st_gid);
        fchmod(fd_, st.st_mode & 07777);
        close(target);
    }
    bool ok = fsync(fd_) == 0;
    int savedErrno = errno;
    if (close(fd_) != 0 && ok) ok = false, savedErrno = errno;
    fd_ = -1;
    const std::string destination = LinkTarget(path_);
    if (ok && rename(temporary_.c_str(), destination.c_str()) != 0) ok = false, savedErrno = errno;
    if (!ok) {
        Discard();
        return Failed(aErrIO, savedErrno);
    }
    temporary_.clear();
    SyncDirectory(DirectoryOf(destination));
    return {};
}
