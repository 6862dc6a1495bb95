/* Reference tools for bench/run.sh: the same test frames trafficgen sends, put on the wire or
 * read back by the plainest possible code, so the benchmark has something to compare against.
 *
 *   benchtool send TX RX DSTMAC SECONDS [LENGTH]
 *                                           bare pcap_sendpacket loop of one precomputed frame
 *   benchtool mmsg TX RX DSTMAC SECONDS LENGTH BATCH BYPASS
 *                                           bare sendmmsg loop, BATCH frames per call, to a
 *                                           packet socket (BYPASS 1: past the qdisc)
 *   benchtool xdp TX RX DSTMAC SECONDS LENGTH BATCH
 *                                           bare AF_XDP loop (copy mode unless the driver does
 *                                           zero-copy), BATCH frames per kick
 *   benchtool capture RX [SNAPLEN RINGMB]   counts test frames (and the latest send time in
 *                                           them) until SIGINT/SIGTERM; by default 1518 bytes
 *                                           of each in a 32 MiB ring
 *   benchtool mkpcap FILE TX RX DSTMAC N    writes N test frames into a pcap file (for tcpreplay)
 *   benchtool delays FILE                   one-way delays of the test frames in a capture file
 *                                           (min, mean, max, median, 99th percentile)
 *   benchtool gaps FILE                     per stream: frames, mean and median gap between
 *                                           their capture times (one line per stream)
 *   benchtool sizes FILE                    per frame: stream letter and length, in capture order
 *
 * Results go to standard output as "key value" words on one line, for the script to pick up.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

enum { FRAME_LENGTH = 1500, HEADER_LENGTH = 42, SEND_TIME_OFFSET = 43, MIN_TEST_FRAME = 59 };

/* The length of the frames send and mmsg put on the wire (59..1500), 1500 unless given. */
static int frameLength = FRAME_LENGTH;

static void die(const char* what, const char* detail) {
    fprintf(stderr, "benchtool: %s%s%s\n", what, detail ? ": " : "", detail ? detail : "");
    exit(1);
}

static void parseMac(const char* text, unsigned char* mac) {
    unsigned int b[6];
    if (sscanf(text, "%2x%*1[:-]%2x%*1[:-]%2x%*1[:-]%2x%*1[:-]%2x%*1[:-]%2x", &b[0], &b[1], &b[2],
               &b[3], &b[4], &b[5]) != 6)
        die("bad MAC address", text);
    for (int i = 0; i < 6; ++i)
        mac[i] = (unsigned char)b[i];
}

static void interfaceAddress(const char* name, unsigned char* out) {
    struct ifreq request;
    memset(&request, 0, sizeof request);
    request.ifr_addr.sa_family = AF_INET;
    strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0 || ioctl(fd, SIOCGIFADDR, &request) < 0)
        die("no IPv4 address on", name);
    close(fd);
    memcpy(out, &((struct sockaddr_in*)&request.ifr_addr)->sin_addr, 4);
}

static uint16_t ipv4Checksum(const unsigned char* header) {
    uint32_t sum = 0;
    for (int i = 0; i < 20; i += 2)
        sum += (uint32_t)(header[i] << 8 | header[i + 1]);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return (uint16_t)~sum;
}

/* A frame of frameLength bytes of stream 1 in trafficgen's wire format, addressed like
 * trafficgen's so the receiving host spends the same work on it. */
static void buildFrame(unsigned char* frame, const char* tx, const char* rx, const char* dstMac) {
    memset(frame, 'A', (size_t)frameLength);
    memset(frame, 0, HEADER_LENGTH);
    parseMac(dstMac, frame);
    frame[12] = 0x08;
    frame[14] = 0x45;
    frame[16] = (unsigned char)((frameLength - 14) >> 8);
    frame[17] = (frameLength - 14) & 0xFF;
    frame[22] = 255;
    frame[23] = 17;
    interfaceAddress(tx, frame + 26);
    interfaceAddress(rx, frame + 30);
    uint16_t crc = ipv4Checksum(frame + 14);
    frame[24] = crc >> 8;
    frame[25] = crc & 0xFF;
    frame[34] = frame[36] = 33333 >> 8;
    frame[35] = frame[37] = 33333 & 0xFF;
    frame[38] = (unsigned char)((frameLength - 34) >> 8);
    frame[39] = (frameLength - 34) & 0xFF;
    struct timeval now;
    gettimeofday(&now, NULL);
    memcpy(frame + SEND_TIME_OFFSET, &now, sizeof now);
}

static double monotonicSeconds(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

/* The API's ceiling: the sending handle is opened exactly as trafficgen's sender opens it and
 * the frame is built once, so the loop costs only pcap_sendpacket (the clock is read every
 * 256 frames). */
static int bareSend(const char* tx, const char* rx, const char* dstMac, double seconds) {
    char error[PCAP_ERRBUF_SIZE];
    unsigned char frame[FRAME_LENGTH];
    buildFrame(frame, tx, rx, dstMac);
    pcap_t* handle = pcap_open_live(tx, 1518, 0, 50, error);
    if (!handle)
        die("cannot open", error);
    uint64_t sent = 0, refused = 0;
    double start = monotonicSeconds(), now = start;
    for (;;) {
        for (int i = 0; i < 256; ++i) {
            if (pcap_sendpacket(handle, frame, frameLength) == 0)
                ++sent;
            else
                ++refused;
        }
        now = monotonicSeconds();
        if (now - start >= seconds)
            break;
    }
    pcap_close(handle);
    printf("sent %llu refused %llu seconds %.6f\n", (unsigned long long)sent,
           (unsigned long long)refused, now - start);
    return 0;
}

/* The batched ceiling: BATCH copies of the frame handed to a packet socket bound to TX with one
 * sendmmsg call, optionally past the interface's queueing discipline (BYPASS 1). A call that
 * sends only part of the batch is continued with the rest; a frame the call refuses counts as
 * refused and is skipped. */
static int bareBatchedSend(const char* tx, const char* rx, const char* dstMac, double seconds,
                           int batch, int bypass) {
    enum { MAX_BATCH = 1024 };
    if (batch < 1 || batch > MAX_BATCH)
        die("batch must be 1..1024", NULL);
    unsigned char frame[FRAME_LENGTH];
    buildFrame(frame, tx, rx, dstMac);
    int fd = socket(AF_PACKET, SOCK_RAW, 0);
    if (fd < 0)
        die("packet socket", strerror(errno));
    if (bypass && setsockopt(fd, SOL_PACKET, PACKET_QDISC_BYPASS, &bypass, sizeof bypass) < 0)
        die("PACKET_QDISC_BYPASS", strerror(errno));
    struct sockaddr_ll address;
    memset(&address, 0, sizeof address);
    address.sll_family = AF_PACKET;
    address.sll_ifindex = (int)if_nametoindex(tx);
    if (address.sll_ifindex == 0 || bind(fd, (struct sockaddr*)&address, sizeof address) < 0)
        die("bind", strerror(errno));
    static struct mmsghdr messages[MAX_BATCH];
    static struct iovec pieces[MAX_BATCH];
    for (int i = 0; i < batch; ++i) {
        pieces[i].iov_base = frame;
        pieces[i].iov_len = (size_t)frameLength;
        memset(&messages[i], 0, sizeof messages[i]);
        messages[i].msg_hdr.msg_iov = &pieces[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    uint64_t sent = 0, refused = 0;
    double start = monotonicSeconds(), now = start;
    while (now - start < seconds) {
        for (int done = 0; done < batch;) {
            int n = sendmmsg(fd, messages + done, (unsigned)(batch - done), 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                ++refused;
                ++done;
                continue;
            }
            sent += (uint64_t)n;
            done += n;
        }
        now = monotonicSeconds();
    }
    close(fd);
    printf("sent %llu refused %llu seconds %.6f\n", (unsigned long long)sent,
           (unsigned long long)refused, now - start);
    return 0;
}

/* The AF_XDP ceiling (benchxdp.c, apart from libpcap's headers, which clash with libbpf's). */
int bareXdpLoop(const char* tx, const unsigned char* frame, int length, double seconds, int batch);

static int bareXdpSend(const char* tx, const char* rx, const char* dstMac, double seconds,
                       int batch) {
    unsigned char frame[FRAME_LENGTH];
    buildFrame(frame, tx, rx, dstMac);
    return bareXdpLoop(tx, frame, frameLength, seconds, batch);
}

static volatile sig_atomic_t stopRequested = 0;
static void requestStop(int signal) {
    (void)signal;
    stopRequested = 1;
}

struct Tally {
    uint64_t frames;
    int64_t lastSendTime; /* microseconds since the epoch, latest seen in a frame */
};

static void countFrame(u_char* user, const struct pcap_pkthdr* header, const u_char* data) {
    struct Tally* tally = (struct Tally*)user;
    ++tally->frames;
    if (header->caplen >= MIN_TEST_FRAME) {
        int64_t sendTime[2];
        memcpy(sendTime, data + SEND_TIME_OFFSET, sizeof sendTime);
        int64_t stamp = sendTime[0] * 1000000 + sendTime[1];
        if (stamp > tally->lastSendTime)
            tally->lastSendTime = stamp;
    }
}

/* A receiver built like trafficgen's: 32 MiB buffer, filter "dst port 33333", non-blocking
 * reads driven by poll(), so the senders compared against trafficgen face the same load on
 * the receiving side. */
static int capture(const char* iface, int snapLength, int ringMegabytes) {
    char error[PCAP_ERRBUF_SIZE];
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = requestStop;
    sigaction(SIGINT, &action, NULL);
    sigaction(SIGTERM, &action, NULL);

    pcap_t* handle = pcap_create(iface, error);
    if (!handle)
        die("cannot create", error);
    pcap_set_snaplen(handle, snapLength);
    pcap_set_promisc(handle, 0);
    pcap_set_timeout(handle, 50);
    pcap_set_buffer_size(handle, ringMegabytes << 20);
    if (pcap_activate(handle) < 0)
        die("cannot activate", pcap_geterr(handle));
    struct bpf_program program;
    if (pcap_compile(handle, &program, "dst port 33333", 0, PCAP_NETMASK_UNKNOWN) < 0 ||
        pcap_setfilter(handle, &program) < 0)
        die("filter", pcap_geterr(handle));
    pcap_freecode(&program);
    if (pcap_setnonblock(handle, 1, error) < 0)
        die("nonblock", error);
    struct pollfd fd = {.fd = pcap_get_selectable_fd(handle), .events = POLLIN};
    printf("ready\n");
    fflush(stdout);

    struct Tally tally = {0, 0};
    while (!stopRequested) {
        int ready = poll(&fd, 1, 50);
        if (ready < 0 && errno != EINTR)
            die("poll", strerror(errno));
        if (pcap_dispatch(handle, -1, countFrame, (u_char*)&tally) < 0)
            die("capture", pcap_geterr(handle));
    }
    /* Frames of a partly filled ring block show up only when the kernel retires the block
     * (after the 50 ms time-out), so keep reading a little past the stop request. */
    double stop = monotonicSeconds();
    while (monotonicSeconds() - stop < 0.2) {
        poll(&fd, 1, 20);
        if (pcap_dispatch(handle, -1, countFrame, (u_char*)&tally) < 0)
            die("capture", pcap_geterr(handle));
    }
    struct pcap_stat stats;
    memset(&stats, 0, sizeof stats);
    pcap_stats(handle, &stats);
    pcap_close(handle);
    printf("captured %llu dropped %u lastsend %lld.%06lld\n", (unsigned long long)tally.frames,
           stats.ps_drop, (long long)(tally.lastSendTime / 1000000),
           (long long)(tally.lastSendTime % 1000000));
    return 0;
}

static int makePcap(const char* file, const char* tx, const char* rx, const char* dstMac,
                    long count) {
    unsigned char frame[FRAME_LENGTH];
    buildFrame(frame, tx, rx, dstMac);
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 1518);
    pcap_dumper_t* dumper = pcap_dump_open(dead, file);
    if (!dumper)
        die("cannot write", pcap_geterr(dead));
    struct pcap_pkthdr header;
    memset(&header, 0, sizeof header);
    header.caplen = header.len = FRAME_LENGTH;
    for (long i = 0; i < count; ++i) {
        header.ts.tv_usec = (suseconds_t)i;
        pcap_dump((u_char*)dumper, &header, frame);
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
    return 0;
}

static pcap_t* openCapture(const char* file, int precision) {
    char error[PCAP_ERRBUF_SIZE];
    pcap_t* handle = pcap_open_offline_with_tstamp_precision(file, precision, error);
    if (!handle)
        die("cannot read", error);
    return handle;
}

/* The stream (0..9) of a captured test frame, or -1 for anything else. */
static int streamOf(const struct pcap_pkthdr* header, const u_char* data) {
    if (header->caplen < MIN_TEST_FRAME || data[42] < 'A' || data[42] > 'J')
        return -1;
    return data[42] - 'A';
}

/* Capture time minus the send time carried in the frame: what trafficgen computes, but from a
 * capture taken by another program. */
static int compareDoubles(const void* a, const void* b);

static int delays(const char* file) {
    pcap_t* handle = openCapture(file, PCAP_TSTAMP_PRECISION_MICRO);
    struct pcap_pkthdr* header;
    const u_char* data;
    double* all = NULL;
    size_t capacity = 0;
    uint64_t frames = 0;
    int64_t minimum = INT64_MAX, maximum = INT64_MIN;
    double sum = 0, firstArrival = 0, lastArrival = 0;
    while (pcap_next_ex(handle, &header, &data) == 1) {
        if (streamOf(header, data) < 0)
            continue;
        int64_t sendTime[2];
        memcpy(sendTime, data + SEND_TIME_OFFSET, sizeof sendTime);
        int64_t delay = ((int64_t)header->ts.tv_sec - sendTime[0]) * 1000000 +
                        ((int64_t)header->ts.tv_usec - sendTime[1]);
        if (delay < minimum)
            minimum = delay;
        if (delay > maximum)
            maximum = delay;
        sum += (double)delay;
        if (frames == capacity) {
            capacity = capacity ? 2 * capacity : 4096;
            all = realloc(all, capacity * sizeof(double));
            if (!all)
                die("out of memory", NULL);
        }
        all[frames] = (double)delay;
        lastArrival = (double)header->ts.tv_sec + (double)header->ts.tv_usec / 1e6;
        if (frames++ == 0)
            firstArrival = lastArrival;
    }
    pcap_close(handle);
    if (frames == 0) {
        printf("frames 0 min - mean - max - first 0 last 0\n");
        return 0;
    }
    qsort(all, frames, sizeof(double), compareDoubles);
    printf("frames %llu min %lld mean %.3f max %lld first %.6f last %.6f median %.0f p99 %.0f\n",
           (unsigned long long)frames, (long long)minimum, sum / (double)frames, (long long)maximum,
           firstArrival, lastArrival, all[frames / 2], all[frames * 99 / 100]);
    free(all);
    return 0;
}

static int compareDoubles(const void* a, const void* b) {
    double x = *(const double*)a, y = *(const double*)b;
    return (x > y) - (x < y);
}

/* The spacing of each stream's frames as the receiving end saw them: what the path was offered,
 * measured without the sender's own clock. */
static int gaps(const char* file) {
    enum { STREAMS = 10 };
    pcap_t* handle = openCapture(file, PCAP_TSTAMP_PRECISION_NANO);
    double* gapsUs[STREAMS] = {0};
    size_t count[STREAMS] = {0}, capacity[STREAMS] = {0};
    double last[STREAMS] = {0};
    uint64_t frames[STREAMS] = {0};
    struct pcap_pkthdr* header;
    const u_char* data;
    while (pcap_next_ex(handle, &header, &data) == 1) {
        int stream = streamOf(header, data);
        if (stream < 0)
            continue;
        double arrivalUs = (double)header->ts.tv_sec * 1e6 + (double)header->ts.tv_usec / 1e3;
        if (frames[stream]++ > 0) {
            if (count[stream] == capacity[stream]) {
                capacity[stream] = capacity[stream] ? 2 * capacity[stream] : 4096;
                gapsUs[stream] = realloc(gapsUs[stream], capacity[stream] * sizeof(double));
                if (!gapsUs[stream])
                    die("out of memory", NULL);
            }
            gapsUs[stream][count[stream]++] = arrivalUs - last[stream];
        }
        last[stream] = arrivalUs;
    }
    pcap_close(handle);
    for (int s = 0; s < STREAMS; ++s) {
        if (frames[s] == 0)
            continue;
        double sum = 0, median = 0;
        for (size_t i = 0; i < count[s]; ++i)
            sum += gapsUs[s][i];
        if (count[s] > 0) {
            qsort(gapsUs[s], count[s], sizeof(double), compareDoubles);
            median = count[s] % 2 ? gapsUs[s][count[s] / 2]
                                  : (gapsUs[s][count[s] / 2 - 1] + gapsUs[s][count[s] / 2]) / 2;
        }
        printf("stream %d frames %llu mean %.3f median %.3f\n", s + 1,
               (unsigned long long)frames[s], count[s] ? sum / (double)count[s] : 0.0, median);
        free(gapsUs[s]);
    }
    return 0;
}

static int sizes(const char* file) {
    pcap_t* handle = openCapture(file, PCAP_TSTAMP_PRECISION_NANO);
    struct pcap_pkthdr* header;
    const u_char* data;
    while (pcap_next_ex(handle, &header, &data) == 1) {
        int stream = streamOf(header, data);
        if (stream >= 0)
            printf("%d %u\n", stream + 1, header->len);
    }
    pcap_close(handle);
    return 0;
}

int main(int argc, char** argv) {
    if ((argc == 6 || argc == 7) && strcmp(argv[1], "send") == 0) {
        frameLength = argc == 7 ? atoi(argv[6]) : FRAME_LENGTH;
        if (frameLength < MIN_TEST_FRAME || frameLength > FRAME_LENGTH)
            die("frame length must be 59..1500", NULL);
        return bareSend(argv[2], argv[3], argv[4], atof(argv[5]));
    }
    if (argc == 9 && strcmp(argv[1], "mmsg") == 0) {
        frameLength = atoi(argv[6]);
        if (frameLength < MIN_TEST_FRAME || frameLength > FRAME_LENGTH)
            die("frame length must be 59..1500", NULL);
        return bareBatchedSend(argv[2], argv[3], argv[4], atof(argv[5]), atoi(argv[7]),
                               atoi(argv[8]));
    }
    if (argc == 8 && strcmp(argv[1], "xdp") == 0) {
        frameLength = atoi(argv[6]);
        if (frameLength < MIN_TEST_FRAME || frameLength > FRAME_LENGTH)
            die("frame length must be 59..1500", NULL);
        return bareXdpSend(argv[2], argv[3], argv[4], atof(argv[5]), atoi(argv[7]));
    }
    if (argc == 3 && strcmp(argv[1], "capture") == 0)
        return capture(argv[2], 1518, 32);
    if (argc == 5 && strcmp(argv[1], "capture") == 0)
        return capture(argv[2], atoi(argv[3]), atoi(argv[4]));
    if (argc == 7 && strcmp(argv[1], "mkpcap") == 0)
        return makePcap(argv[2], argv[3], argv[4], argv[5], atol(argv[6]));
    if (argc == 3 && strcmp(argv[1], "delays") == 0)
        return delays(argv[2]);
    if (argc == 3 && strcmp(argv[1], "gaps") == 0)
        return gaps(argv[2]);
    if (argc == 3 && strcmp(argv[1], "sizes") == 0)
        return sizes(argv[2]);
    fprintf(stderr, "usage: benchtool send TX RX DSTMAC SECONDS [LENGTH] |\n"
                    "       mmsg TX RX DSTMAC SECONDS LENGTH BATCH BYPASS |\n"
                    "       xdp TX RX DSTMAC SECONDS LENGTH BATCH | capture RX [SNAPLEN RINGMB] |\n"
                    "       mkpcap FILE TX RX DSTMAC N | delays FILE | gaps FILE | sizes FILE\n");
    return 2;
}
