#include "platform/ZoneFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

std::string DirectoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool WriteAll(int fd, std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

std::string TempNameBeside(const std::string& path) {
    const auto slash = path.rfind('/');
    return DirectoryOf(path) + "/." + (slash == std::string::npos ? path : path.substr(slash + 1)) +
           ".XXXXXX";
}

void SyncDirectory(const std::string& directory) {
    const int dirFd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
}

}  // namespace

bool ReplaceWithLinkAtomically(const std::string& path, const std::string& target) {
    // symlink(2) has no mkstemp: a free name is tried a few times.
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::string temp = TempNameBeside(path);
        const int fd = mkstemp(temp.data());
        if (fd < 0) {
            return false;
        }
        close(fd);
        unlink(temp.c_str());
        if (symlink(target.c_str(), temp.c_str()) != 0) {
            if (errno == EEXIST) {
                continue;
            }
            return false;
        }
        if (rename(temp.c_str(), path.c_str()) != 0) {
            const int error = errno;
            unlink(temp.c_str());
            errno = error;
            return false;
        }
        SyncDirectory(DirectoryOf(path));
        return true;
    }
    errno = EEXIST;
    return false;
}

bool ReplaceFileAtomically(const std::string& path, std::span<const uint8_t> bytes) {
    const std::string directory = DirectoryOf(path);
    std::string temp = TempNameBeside(path);
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        return false;
    }
    bool ok = fchmod(fd, 0644) == 0 && WriteAll(fd, bytes) && fsync(fd) == 0;
    int error = ok ? 0 : errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        unlink(temp.c_str());
        errno = error;
        return false;
    }
    // The rename itself reaches the disk with the directory.
    SyncDirectory(directory);
    return true;
}

bool ReadWholeFile(const std::string& path, std::size_t maxBytes, std::vector<uint8_t>& out) {
    // Without blocking: a FIFO or a device put at the path opens at once and
    // is then refused, rather than holding the reader.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return false;
    }
    out.clear();
    uint8_t buf[4096];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int error = errno;
            close(fd);
            errno = error;
            return false;
        }
        if (n == 0) {
            break;
        }
        out.insert(out.end(), buf, buf + n);
        if (out.size() > maxBytes) {
            close(fd);
            errno = EFBIG;
            return false;
        }
    }
    close(fd);
    return true;
}
