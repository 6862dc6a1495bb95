#ifndef TRAFFICGEN_NEIGHBOURS_H
#define TRAFFICGEN_NEIGHBOURS_H

// The MAC address of a next hop, asked for from the sending interface: an ARP request for an
// IPv4 next hop, a neighbour solicitation (ICMPv6) for an IPv6 one, tagged like the stream's
// frames. The frames are built and read by pure functions; resolveNextHop sends and waits.

#include <cstddef>
#include <string>
#include <vector>

#include "frames.h"

// The request for `target`'s MAC address from `sourceMac`/`source` (of target's IP version),
// under `tags` (outer first; ids of 0 are left out). At least 60 bytes.
std::vector<unsigned char> neighbourRequest(const unsigned char* sourceMac,
                                            const TIpAddress& source, const TIpAddress& target,
                                            const TVlanTag& tag, const TVlanTag& outerTag);

// Whether `frame` answers the request for `target` (an ARP reply, or a neighbour advertisement
// of `target`), tagged or not; the answer's MAC address then goes to `mac` (6 bytes).
bool neighbourAnswer(const unsigned char* frame, std::size_t length, const TIpAddress& target,
                     unsigned char* mac);

// Asks on `interfaceName` up to three times, a second apart, for `target`'s MAC address; false
// when nothing answered (or the interface could not be used), with the reason in `reason`.
bool resolveNextHop(const char* interfaceName, const unsigned char* sourceMac,
                    const TIpAddress& source, const TIpAddress& target, const TVlanTag& tag,
                    const TVlanTag& outerTag, unsigned char* mac, std::string& reason);

#endif
