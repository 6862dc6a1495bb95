#include "testercounters.h"

#include <cstring>
#include <ctime>
#include <fstream>
#include <libmnl/libmnl.h>
#include <linux/gen_stats.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

struct TQueueSums {
    int interfaceIndex = 0;
    std::uint64_t drops = 0;
    std::uint64_t overlimits = 0;
};

// A queue discipline's queue statistics: its drops and overlimits.
int addQueueFigures(const nlattr* attribute, void* data) {
    if (mnl_attr_get_type(attribute) == TCA_STATS_QUEUE &&
        mnl_attr_get_payload_len(attribute) >= sizeof(gnet_stats_queue)) {
        gnet_stats_queue queue;
        std::memcpy(&queue, mnl_attr_get_payload(attribute), sizeof queue);
        static_cast<TQueueSums*>(data)->drops += queue.drops;
        static_cast<TQueueSums*>(data)->overlimits += queue.overlimits;
    }
    return MNL_CB_OK;
}

int addStatistics(const nlattr* attribute, void* data) {
    if (mnl_attr_get_type(attribute) == TCA_STATS2) {
        return mnl_attr_parse_nested(attribute, addQueueFigures, data);
    }
    return MNL_CB_OK;
}

// One queue discipline of the dump, counted when it sits on the interface.
int addQueueStatistics(const nlmsghdr* message, void* data) {
    const auto* header = static_cast<const tcmsg*>(mnl_nlmsg_get_payload(message));
    if (header->tcm_ifindex != static_cast<TQueueSums*>(data)->interfaceIndex) {
        return MNL_CB_OK;
    }
    return mnl_attr_parse(message, sizeof(*header), addStatistics, data);
}

// The drops and overlimits of every queue discipline on the interface; 0 when none can be read.
TQueueSums queueSums(const char* interface) {
    TQueueSums sums;
    sums.interfaceIndex = static_cast<int>(if_nametoindex(interface));
    if (sums.interfaceIndex == 0) {
        return sums;
    }
    mnl_socket* socket = mnl_socket_open(NETLINK_ROUTE);
    if (socket == nullptr) {
        return sums;
    }
    std::vector<char> buffer(MNL_SOCKET_BUFFER_SIZE);
    nlmsghdr* request = mnl_nlmsg_put_header(buffer.data());
    request->nlmsg_type = RTM_GETQDISC;
    request->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    const auto sequence = static_cast<unsigned int>(time(nullptr));
    request->nlmsg_seq = sequence;
    auto* header = static_cast<tcmsg*>(mnl_nlmsg_put_extra_header(request, sizeof(tcmsg)));
    header->tcm_family = AF_UNSPEC;
    header->tcm_ifindex = sums.interfaceIndex;
    if (mnl_socket_bind(socket, 0, MNL_SOCKET_AUTOPID) == 0 &&
        mnl_socket_sendto(socket, request, request->nlmsg_len) >= 0) {
        const unsigned int portId = mnl_socket_get_portid(socket);
        for (;;) {
            const ssize_t length = mnl_socket_recvfrom(socket, buffer.data(), buffer.size());
            if (length <= 0 || mnl_cb_run(buffer.data(), static_cast<std::size_t>(length), sequence,
                                          portId, addQueueStatistics, &sums) <= MNL_CB_STOP) {
                break;
            }
        }
    }
    mnl_socket_close(socket);
    return sums;
}

std::uint64_t readCounter(const std::string& path) {
    std::ifstream file(path);
    std::uint64_t value = 0;
    file >> value;
    return file ? value : 0;
}

std::uint64_t interfaceCounter(const char* interface, const char* name) {
    return readCounter(std::string("/sys/class/net/") + interface + "/statistics/" + name);
}

} // namespace

std::uint64_t softnetDrops(const std::string& text) {
    std::istringstream lines(text);
    std::string line;
    std::uint64_t drops = 0;
    while (std::getline(lines, line)) {
        std::istringstream columns(line);
        std::string processed;
        std::string dropped;
        if (columns >> processed >> dropped) {
            drops += std::strtoull(dropped.c_str(), nullptr, 16);
        }
    }
    return drops;
}

TTesterCounters readTesterCounters(const char* sendingInterface, const char* receivingInterface) {
    TTesterCounters counters;
    const TQueueSums queues = queueSums(sendingInterface);
    counters.queueDrops = queues.drops;
    counters.queueOverlimits = queues.overlimits;
    counters.interfaceDrops = interfaceCounter(sendingInterface, "tx_dropped") +
                              interfaceCounter(receivingInterface, "rx_dropped") +
                              interfaceCounter(receivingInterface, "rx_missed_errors");
    std::ifstream softnet("/proc/net/softnet_stat");
    std::ostringstream text;
    text << softnet.rdbuf();
    counters.backlogDrops = softnetDrops(text.str());
    return counters;
}
