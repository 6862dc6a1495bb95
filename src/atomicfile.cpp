#include "atomicfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Attempts at a free temporary name before giving up.
constexpr int NAME_ATTEMPTS = 100;

std::string reasonFor(int error) {
    switch (error) {
    case ENOENT:
        return "adresar neexistuje";
    case ENOTDIR:
        return "cast cesty neni adresar";
    case EACCES:
    case EPERM:
        return "chybi opravneni k zapisu";
    case EROFS:
        return "souborovy system je jen pro cteni";
    case EISDIR:
        return "je to adresar";
    case ENOSPC:
    case EDQUOT:
        return "na disku neni misto";
    default:
        return std::strerror(error);
    }
}

struct TPathParts {
    std::string directory;
    std::string name;
};

TPathParts splitPath(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return {".", path};
    }
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

struct TTemporary {
    int fd = -1;
    std::string path;
};

// Creates a new hidden file beside the target. O_EXCL makes the creation fail on any existing
// name, a symbolic link included, so nothing planted at the name is ever written through.
TTemporary createTemporary(const TPathParts& parts, int& error) {
    TTemporary temporary;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    unsigned long seed =
        static_cast<unsigned long>(now.tv_nsec) ^ (static_cast<unsigned long>(getpid()) << 20);
    for (int attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
        seed = seed * 6364136223846793005ul + 1442695040888963407ul;
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".%06lx", (seed >> 40) & 0xFFFFFFul);
        temporary.path = parts.directory + "/." + parts.name + suffix;
        temporary.fd = open(temporary.path.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (temporary.fd >= 0 || errno != EEXIST) {
            error = errno;
            return temporary;
        }
    }
    error = EEXIST;
    return temporary;
}

bool writeAll(int fd, const std::string& content) {
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Refuses a target that is a directory (rename would refuse it only at the very end) and
// creates the temporary file beside it. Returns the reason on failure.
std::string startReplacement(const std::string& path, const TPathParts& parts,
                             TTemporary& temporary) {
    struct stat status {};
    if (parts.name.empty() || (stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode))) {
        return reasonFor(EISDIR);
    }
    int error = 0;
    temporary = createTemporary(parts, error);
    return temporary.fd < 0 ? reasonFor(error) : "";
}

} // namespace

std::string checkFileWritable(const std::string& path) {
    TTemporary probe;
    const std::string problem = startReplacement(path, splitPath(path), probe);
    if (problem.empty()) {
        close(probe.fd);
        unlink(probe.path.c_str());
    }
    return problem;
}

std::string writeFileAtomically(const std::string& path, const std::string& content) {
    const TPathParts parts = splitPath(path);
    TTemporary temporary;
    const std::string problem = startReplacement(path, parts, temporary);
    if (!problem.empty()) {
        return problem;
    }
    // The creation mode is narrowed by the umask; results are meant to be read by others.
    bool written = fchmod(temporary.fd, 0644) == 0 && writeAll(temporary.fd, content) &&
                   fsync(temporary.fd) == 0;
    int error = errno;
    if (close(temporary.fd) != 0 && written) {
        written = false;
        error = errno;
    }
    if (written && rename(temporary.path.c_str(), path.c_str()) != 0) {
        written = false;
        error = errno;
    }
    if (!written) {
        unlink(temporary.path.c_str());
        return reasonFor(error);
    }
    // The rename itself reaches the disk with the directory.
    const int directory = open(parts.directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        fsync(directory);
        close(directory);
    }
    return "";
}
