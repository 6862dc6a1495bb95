// Opening the interfaces, against the real libpcap.

#include "interfaces.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <sched.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// What opening the receiving interface gives: the handle's presence and the error buffer.
struct TOpened {
    bool opened;
    std::string text;
};

TOpened byOpenLive(const char* name) {
    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_t* device = pcap_open_live(name, 1518, 0, 50, error);
    if (device != nullptr)
        pcap_close(device);
    return {device != nullptr, device != nullptr ? "" : error};
}

TOpened byReceivingCapture(const char* name) {
    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_t* device = openReceivingCapture(name, error);
    if (device != nullptr)
        pcap_close(device);
    return {device != nullptr, device != nullptr ? "" : error};
}

// In a child process that first runs `prepare` (0 to go on): both ways of opening `name` must
// agree, the error text included. Exits 0 when they do, 2 when `prepare` failed.
void expectSameOpening(const char* what, const std::string& name, int (*prepare)()) {
    SCOPED_TRACE(what);
    const pid_t child = fork();
    if (child == 0) {
        if (prepare() != 0)
            _exit(2);
        const TOpened expected = byOpenLive(name.c_str());
        const TOpened got = byReceivingCapture(name.c_str());
        if (expected.opened == got.opened && expected.text == got.text)
            _exit(0);
        std::fprintf(stderr, "pcap_open_live: %d '%s'\nours: %d '%s'\n", expected.opened,
                     expected.text.c_str(), got.opened, got.text.c_str());
        _exit(1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2)
        GTEST_SKIP() << what << ": not permitted here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

int nothing() {
    return 0;
}

TEST(ReceivingCapture, FailsWithTheTextPcapOpenLiveGivesForEachStatus) {
    if (geteuid() != 0)
        GTEST_SKIP() << "capture needs root";
    expectSameOpening("opened", "lo", nothing);
    expectSameOpening("no such device", "tgnosuch0", nothing);
    expectSameOpening("name longer than the error buffer", std::string(300, 'x'), nothing);
    // A fresh network namespace has a loopback interface that is down: its reason once.
    expectSameOpening("interface down", "lo", [] { return unshare(CLONE_NEWNET); });
    expectSameOpening("permission denied", "lo", [] { return setuid(65534); });
}

} // namespace
