#include "handover.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fail.h"

namespace {

constexpr std::size_t COUNTS_SIZE = 56;

// Plain storage: the exit hook may run after the destructors of static objects.
char directory[PATH_MAX] = {};
pid_t creator = 0;

// $TMPDIR when it names a directory, /tmp otherwise.
std::string temporaryBase() {
    const char* base = std::getenv("TMPDIR");
    struct stat info;
    if (base != nullptr && *base != '\0' && stat(base, &info) == 0 && S_ISDIR(info.st_mode)) {
        return base;
    }
    return "/tmp";
}

// Removes the directory and the files left in it (those of senders killed before the receiver
// read them). Only the process that created it does so: senders end with _exit, but any other
// child that exits must not take the directory from under the run.
void removeHandOverDirectory() {
    if (directory[0] == '\0' || getpid() != creator) {
        return;
    }
    if (DIR* entries = opendir(directory)) {
        while (const dirent* entry = readdir(entries)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
                unlinkat(dirfd(entries), entry->d_name, 0);
            }
        }
        closedir(entries);
    }
    rmdir(directory);
    directory[0] = '\0';
}

bool writeAll(int fd, const unsigned char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

} // namespace

void prepareHandOverDirectory() {
    if (directory[0] != '\0') {
        return;
    }
    const std::string pattern = temporaryBase() + "/trafficgen-XXXXXX";
    if (pattern.size() >= sizeof directory) {
        fail("Nepodarilo se vytvorit docasny adresar " + pattern + ": " +
             std::strerror(ENAMETOOLONG));
    }
    char name[PATH_MAX];
    std::snprintf(name, sizeof name, "%s", pattern.c_str());
    if (mkdtemp(name) == nullptr) {
        fail("Nepodarilo se vytvorit docasny adresar " + pattern + ": " + std::strerror(errno));
    }
    std::snprintf(directory, sizeof directory, "%s", name);
    creator = getpid();
    static bool hooked = false;
    if (!hooked) {
        hooked = std::atexit(removeHandOverDirectory) == 0;
    }
}

std::string handOverPath(pid_t pid) {
    return std::string(directory) + "/" + std::to_string(static_cast<long>(pid));
}

bool leaveHandOver(const THandOver& counts) {
    const std::string path = handOverPath(getpid());
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    unsigned char content[COUNTS_SIZE];
    std::memcpy(content, &counts.sent, 8);
    std::memcpy(content + 8, &counts.refused, 8);
    std::memcpy(content + 16, &counts.scheduled, 8);
    std::memcpy(content + 24, &counts.offered.gaps, 4);
    std::memcpy(content + 28, &counts.offered.restarts, 4);
    std::memcpy(content + 32, &counts.offered.meanGapUs, 8);
    std::memcpy(content + 40, &counts.offered.drawnMeanGapUs, 8);
    std::memcpy(content + 48, &counts.offered.largestLagUs, 8);
    const bool written = writeAll(fd, content, sizeof content);
    const bool closed = close(fd) == 0;
    if (!written || !closed) {
        unlink(path.c_str());
        return false;
    }
    return true;
}

THandOver collectHandOver(pid_t pid) {
    THandOver handOver;
    const std::string path = handOverPath(pid);
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return handOver;
    }
    unsigned char content[COUNTS_SIZE];
    std::size_t got = 0;
    while (got < sizeof content) {
        const ssize_t n = read(fd, content + got, sizeof content - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    close(fd);
    unlink(path.c_str());
    if (got == sizeof content) {
        handOver.known = true;
        std::memcpy(&handOver.sent, content, 8);
        std::memcpy(&handOver.refused, content + 8, 8);
        std::memcpy(&handOver.scheduled, content + 16, 8);
        std::memcpy(&handOver.offered.gaps, content + 24, 4);
        std::memcpy(&handOver.offered.restarts, content + 28, 4);
        std::memcpy(&handOver.offered.meanGapUs, content + 32, 8);
        std::memcpy(&handOver.offered.drawnMeanGapUs, content + 40, 8);
        std::memcpy(&handOver.offered.largestLagUs, content + 48, 8);
    }
    return handOver;
}
