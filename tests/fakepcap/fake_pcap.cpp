#include "fake_pcap.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

// The handle: what the engine set on it and where its frames come from.
struct pcap {
    bool opensLive = false; // opened by pcap_open_live (the sending side)
    bool nonblock = false;
    char errorText[PCAP_ERRBUF_SIZE] = {};
    unsigned statsCalls = 0;
    fakepcap::TFrame current;
};

namespace fakepcap {
namespace {

TScript theScript;
TRecord theRecord;
int wireEnds[2] = {-1, -1};

void copyError(char* buffer, const std::string& text) {
    std::snprintf(buffer, PCAP_ERRBUF_SIZE, "%s", text.c_str());
}

bool takeFromWire(pcap_t* handle) {
    if (wireEnds[0] < 0) {
        return false;
    }
    unsigned char buffer[2048];
    const ssize_t got = recv(wireEnds[0], buffer, sizeof buffer, MSG_DONTWAIT);
    if (got <= 0) {
        return false;
    }
    timeval now;
    gettimeofday(&now, nullptr);
    handle->current.header.ts = now;
    handle->current.header.caplen = static_cast<bpf_u_int32>(got);
    handle->current.header.len = static_cast<bpf_u_int32>(got);
    handle->current.data.assign(buffer, buffer + got);
    return true;
}

} // namespace

TScript& script() {
    return theScript;
}
TRecord& record() {
    return theRecord;
}

void reset(bool wire) {
    theScript = TScript();
    theRecord = TRecord();
    for (int& end : wireEnds) {
        if (end >= 0) {
            close(end);
            end = -1;
        }
    }
    if (wire) {
        socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, wireEnds);
        // Room for a few thousand frames; a full wire makes the senders wait, not lose.
        const int size = 4 * 1024 * 1024;
        setsockopt(wireEnds[0], SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        setsockopt(wireEnds[1], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }
}

} // namespace fakepcap

using fakepcap::theRecord;
using fakepcap::theScript;

extern "C" {

pcap_t* pcap_create(const char* source, char*) {
    theRecord.createdOn = source;
    return new pcap;
}

// The capture's settings are the library's business: accepted and forgotten. The fake wire
// stamps arrivals in microseconds, as a capture without nanoseconds does.
#define ACCEPTED_SETTING(name)                                                                     \
    int name(pcap_t*, int) {                                                                       \
        return 0;                                                                                  \
    }
ACCEPTED_SETTING(pcap_set_snaplen)
ACCEPTED_SETTING(pcap_set_promisc)
ACCEPTED_SETTING(pcap_set_timeout)
ACCEPTED_SETTING(pcap_set_buffer_size)
ACCEPTED_SETTING(pcap_set_immediate_mode)
ACCEPTED_SETTING(pcap_set_tstamp_precision)

int pcap_get_tstamp_precision(pcap_t*) {
    return PCAP_TSTAMP_PRECISION_MICRO;
}

int pcap_fileno(pcap_t*) {
    return -1;
}

int pcap_activate(pcap_t* handle) {
    if (theScript.activateStatus < 0) {
        fakepcap::copyError(handle->errorText, theScript.activateError);
    }
    return theScript.activateStatus;
}

int pcap_setdirection(pcap_t*, pcap_direction_t direction) {
    theRecord.direction = direction;
    return 0;
}

const char* pcap_statustostr(int status) {
    switch (status) {
    case PCAP_ERROR_NO_SUCH_DEVICE:
        return "No such device exists";
    case PCAP_ERROR_PERM_DENIED:
        return "You don't have permission to perform this capture on that device";
    default:
        return "Generic error";
    }
}

pcap_t* pcap_open_live(const char*, int, int, int, char*) {
    ++theRecord.sendingOpened;
    pcap_t* handle = new pcap;
    handle->opensLive = true;
    return handle;
}

int pcap_lookupnet(const char*, bpf_u_int32* network, bpf_u_int32* mask, char* errbuf) {
    if (!theScript.lookupnetError.empty()) {
        fakepcap::copyError(errbuf, theScript.lookupnetError);
        return -1;
    }
    *network = 0x0000007F;
    *mask = 0x000000FF;
    return 0;
}

int pcap_compile(pcap_t*, bpf_program* program, const char* text, int, bpf_u_int32) {
    theRecord.filter = text;
    program->bf_len = 1;
    program->bf_insns = new bpf_insn[1]();
    return 0;
}

void pcap_freecode(bpf_program* program) {
    delete[] program->bf_insns;
    program->bf_insns = nullptr;
    program->bf_len = 0;
}

int pcap_setfilter(pcap_t*, bpf_program*) {
    theRecord.filterInstalled = true;
    return 0;
}

int pcap_setnonblock(pcap_t* handle, int nonblock, char*) {
    handle->nonblock = nonblock != 0;
    theRecord.nonblock = handle->nonblock;
    return 0;
}

int pcap_getnonblock(pcap_t* handle, char*) {
    return handle->nonblock ? 1 : 0;
}

int pcap_get_selectable_fd(pcap_t*) {
    return fakepcap::wireEnds[0];
}

char* pcap_geterr(pcap_t* handle) {
    return handle->errorText;
}

int pcap_next_ex(pcap_t* handle, pcap_pkthdr** header, const u_char** data) {
    bool have = false;
    if (!theScript.frames.empty()) {
        handle->current = theScript.frames.front();
        theScript.frames.pop_front();
        have = true;
    } else {
        have = fakepcap::takeFromWire(handle);
    }
    if (!have) {
        if (!theScript.readError.empty()) {
            fakepcap::copyError(handle->errorText, theScript.readError);
            return -1;
        }
        // Like a TPACKET_V3 ring on an idle interface: a blocking read does not come back soon.
        if (!handle->nonblock) {
            usleep(1000000);
        }
        return 0;
    }
    theRecord.delivered.push_back(handle->current.data);
    *header = &handle->current.header;
    *data = handle->current.data.data();
    return 1;
}

int pcap_sendpacket(pcap_t*, const u_char* data, int size) {
    if (fakepcap::wireEnds[1] >= 0) {
        while (send(fakepcap::wireEnds[1], data, static_cast<std::size_t>(size), 0) < 0 &&
               errno == EINTR) {
        }
    }
    return 0;
}

int pcap_stats(pcap_t* handle, pcap_stat* stats) {
    ++handle->statsCalls;
    stats->ps_recv = 0;
    stats->ps_ifdrop = 0;
    stats->ps_drop = handle->statsCalls > 1 ? theScript.dropsAfterFirstStats : 0;
    return 0;
}

void pcap_close(pcap_t* handle) {
    if (handle->opensLive) {
        ++theRecord.sendingClosed;
        if (theScript.onSendingClose) {
            theScript.onSendingClose();
        }
    }
    delete handle;
}

int pcap_findalldevs(pcap_if_t** devices, char*) {
    *devices = nullptr;
    return 0;
}

void pcap_freealldevs(pcap_if_t*) {}

} // extern "C"
