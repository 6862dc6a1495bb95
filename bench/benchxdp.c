/* The bare AF_XDP loop of benchtool (benchtool xdp): kept apart from benchtool.c because
 * libpcap's and libbpf's headers both define struct bpf_insn. */
#define _GNU_SOURCE
#include <errno.h>
#include <linux/if_link.h>
#include <linux/if_xdp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#include <xdp/xsk.h>

int bareXdpLoop(const char* tx, const unsigned char* frame, int frameLength, double seconds,
                int batch);

static void die(const char* what, const char* detail) {
    fprintf(stderr, "benchtool: %s%s%s\n", what, detail ? ": " : "", detail ? detail : "");
    exit(1);
}

static double monotonicSeconds(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

/* The AF_XDP ceiling: one TX-only socket (no XDP program), a UMEM of prebuilt frames, BATCH
 * descriptors written and then one kick (sendto), completions taken back before the next batch.
 * The kernel's TX budget option (9 at SOL_XDP) lets one kick send the whole batch. */
/* Completions straight from the ring's indices: libxdp's cached copies of them were seen to
 * start out wrong for a completion ring handed to xsk_umem__create. */
static void takeCompletions(struct xsk_ring_cons* ring, uint32_t* outstanding, uint64_t* sent) {
    uint32_t producer = __atomic_load_n(ring->producer, __ATOMIC_ACQUIRE);
    uint32_t done = producer - *ring->consumer;
    __atomic_store_n(ring->consumer, producer, __ATOMIC_RELEASE);
    *outstanding -= done;
    *sent += done;
}

int bareXdpLoop(const char* tx, const unsigned char* frame, int frameLength, double seconds,
                int batch) {
    enum { FRAMES = 4096, CHUNK = 2048, RING = 2048 };
    if (batch < 1 || batch > RING)
        die("batch must be 1..2048", NULL);
    unsigned char* area = mmap(NULL, (size_t)FRAMES * CHUNK, PROT_READ | PROT_WRITE,
                               MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (area == MAP_FAILED)
        die("mmap", strerror(errno));
    for (int i = 0; i < FRAMES; ++i)
        memcpy(area + (size_t)i * CHUNK, frame, (size_t)frameLength);
    struct xsk_ring_prod fill, ring;
    struct xsk_ring_cons completions;
    struct xsk_umem* umem;
    struct xsk_umem_config umemConfig = {
        .fill_size = 64, .comp_size = FRAMES, .frame_size = CHUNK, .frame_headroom = 0, .flags = 0};
    int status =
        xsk_umem__create(&umem, area, (size_t)FRAMES * CHUNK, &fill, &completions, &umemConfig);
    if (status)
        die("xsk_umem__create", strerror(-status));
    struct xsk_socket_config config = {.rx_size = 0,
                                       .tx_size = RING,
                                       .libxdp_flags = XSK_LIBXDP_FLAGS__INHIBIT_PROG_LOAD,
                                       .xdp_flags = XDP_FLAGS_SKB_MODE,
                                       .bind_flags = XDP_ZEROCOPY | XDP_USE_NEED_WAKEUP};
    struct xsk_socket* xsk;
    status = xsk_socket__create(&xsk, tx, 0, umem, NULL, &ring, &config);
    const char* mode = "zero-copy";
    if (status) {
        config.bind_flags = XDP_COPY | XDP_USE_NEED_WAKEUP;
        mode = "copy";
        for (int tries = 0;
             (status = xsk_socket__create(&xsk, tx, 0, umem, NULL, &ring, &config)) == -EBUSY &&
             tries < 200;
             ++tries)
            usleep(5000);
    }
    if (status)
        die("xsk_socket__create", strerror(-status));
    int fd = xsk_socket__fd(xsk);
    int budget = batch > 32 ? batch : 32;
    setsockopt(fd, SOL_XDP, 9, &budget, sizeof budget);
    uint64_t sent = 0, refused = 0, kicks = 0;
    uint32_t nextFrame = 0, outstanding = 0;
    double start = monotonicSeconds(), now = start;
    while (now - start < seconds) {
        uint32_t index;
        if (outstanding + (uint32_t)batch <= FRAMES &&
            xsk_ring_prod__reserve(&ring, (uint32_t)batch, &index) == (uint32_t)batch) {
            for (int i = 0; i < batch; ++i) {
                struct xdp_desc* d = xsk_ring_prod__tx_desc(&ring, index + (uint32_t)i);
                d->addr = (uint64_t)(nextFrame++ % FRAMES) * CHUNK;
                d->len = (uint32_t)frameLength;
                d->options = 0;
            }
            xsk_ring_prod__submit(&ring, (uint32_t)batch);
            outstanding += (uint32_t)batch;
        }
        for (;;) {
            ++kicks;
            if (sendto(fd, NULL, 0, MSG_DONTWAIT, NULL, 0) >= 0)
                break;
            if (errno == EBUSY)
                ++refused;
            else if (errno != EAGAIN && errno != ENOBUFS)
                die("sendto", strerror(errno));
            takeCompletions(&completions, &outstanding, &sent);
        }
        takeCompletions(&completions, &outstanding, &sent);
        now = monotonicSeconds();
    }
    xsk_socket__delete(xsk);
    xsk_umem__delete(umem);
    printf("sent %llu refused %llu seconds %.6f kicks %llu mode %s\n", (unsigned long long)sent,
           (unsigned long long)refused, now - start, (unsigned long long)kicks, mode);
    return 0;
}
