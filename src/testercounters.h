#ifndef TRAFFICGEN_TESTERCOUNTERS_H
#define TRAFFICGEN_TESTERCOUNTERS_H

// The kernel's counters that show a frame lost inside the tester rather than by the device: the
// sending interface's queue disciplines (drops and overlimits, as `tc -s qdisc` shows them, read
// over netlink), the sending interface's transmit and the receiving interface's receive drops,
// and the per-CPU backlog's drops (/proc/net/softnet_stat). Read before and after a trial: any
// of them moving means the trial's loss may be the tester's own.

#include <cstdint>
#include <string>

struct TTesterCounters {
    std::uint64_t queueDrops = 0;      // queue disciplines: frames dropped
    std::uint64_t queueOverlimits = 0; // queue disciplines: frames held back over their rate
    std::uint64_t interfaceDrops = 0;
    std::uint64_t backlogDrops = 0;
};

// Reads every counter; one that cannot be read counts as 0 in both readings.
TTesterCounters readTesterCounters(const char* sendingInterface, const char* receivingInterface);

// The drops of /proc/net/softnet_stat: the second hexadecimal column, summed over the CPUs.
std::uint64_t softnetDrops(const std::string& text);

#endif
