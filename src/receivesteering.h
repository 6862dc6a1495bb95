#ifndef TRAFFICGEN_RECEIVESTEERING_H
#define TRAFFICGEN_RECEIVESTEERING_H

// Advice on receive steering. On a virtual interface (a veth pair, a bridge) the receiving
// end's work runs on the core that sent the frame, so the receive side takes its share of the
// sender's core and lowers the tester's ceiling. Receive packet steering (rps_cpus) moves that
// work to another core; the sender then keeps its core to itself if it runs on the others.

#include <string>
#include <vector>

struct TReceiveWork {
    bool virtualInterface = false; // no device of its own: the work runs in the sender's context
    bool steered = false;          // a receive queue already has steering cores set
    std::vector<int> cores;        // the cores this process may use, ascending
};

// What the kernel says of `interfaceName` and of this process's cores.
TReceiveWork receiveWorkOf(const char* interfaceName);

// One line of advice for the receiving interface, or empty when there is nothing to advise:
// a physical interface, steering already set, or a single core.
std::string steeringAdvice(const std::string& interfaceName, const TReceiveWork& work);

#endif
