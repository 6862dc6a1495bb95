#include "interfaceclaim.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <pthread.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "fail.h"

namespace {

int claim = -1;

void dropClaimInChild() {
    if (claim >= 0) {
        close(claim);
        claim = -1;
    }
}

// The abstract address of the claim: a zero byte, then the name. A name too long for the
// address is cut; no interface has such a name, so opening it fails later anyway.
socklen_t claimAddress(const char* name, sockaddr_un& address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    const std::string text = std::string("trafficgen/receiving/") + name;
    const std::size_t length = std::min(text.size(), sizeof address.sun_path - 1);
    std::memcpy(address.sun_path + 1, text.data(), length);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
}

} // namespace

bool claimReceivingInterface(const char* name) {
    const std::string failure = std::string("Nepodarilo se vyhradit prijimaci rozhrani ") + name;
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        fail(failure + ": " + std::strerror(errno));
    }
    sockaddr_un address;
    const socklen_t size = claimAddress(name, address);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), size) != 0) {
        const int error = errno;
        close(fd);
        if (error == EADDRINUSE) {
            return false;
        }
        fail(failure + ": " + std::strerror(error));
    }
    if (claim < 0 && pthread_atfork(nullptr, nullptr, dropClaimInChild) != 0) {
        fail(failure + ": " + std::strerror(ENOMEM));
    }
    claim = fd;
    return true;
}
