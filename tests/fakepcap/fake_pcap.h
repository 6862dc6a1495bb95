#ifndef TRAFFICGEN_FAKE_PCAP_H
#define TRAFFICGEN_FAKE_PCAP_H

// A stand-in for libpcap: the engine links against it instead of the real library so that
// capture and sending can be driven with chosen frames and capture times, without a network.

#include <cstdint>
#include <deque>
#include <functional>
#include <pcap/pcap.h>
#include <string>
#include <vector>

namespace fakepcap {

struct TFrame {
    pcap_pkthdr header;
    std::vector<unsigned char> data;
};

struct TScript {
    // Failures of the receiving side, each with the text the library would report.
    int activateStatus = 0;     // pcap_activate's result
    std::string activateError;  // pcap_geterr after a failed activation
    std::string lookupnetError; // pcap_lookupnet fails with this text
    std::string readError;      // pcap_next_ex fails with this text once the frames are out

    // Frames pcap_next_ex hands out first, in order.
    std::deque<TFrame> frames;

    // pcap_stats reports no dropped frame at its first call and this many at every later one.
    unsigned dropsAfterFirstStats = 0;
    // Runs in pcap_close of a handle opened by pcap_open_live (in a sender: just before it
    // writes its hand-over file).
    std::function<void()> onSendingClose;
};

// What the engine did with the fake, as seen by this process.
struct TRecord {
    std::string createdOn;
    int direction = -1;
    bool nonblock = false;
    std::string filter;
    bool filterInstalled = false;
    int sendingOpened = 0;
    int sendingClosed = 0;
    std::vector<std::vector<unsigned char>> delivered; // frames pcap_next_ex handed out
};

TScript& script();
TRecord& record();
// Forgets the script and the record and, when `wire` is set, lays a new wire: frames given to
// pcap_sendpacket (in any process) come out of pcap_next_ex, stamped with the time they are read.
void reset(bool wire = false);

} // namespace fakepcap

#endif
