#ifndef TRAFFICGEN_HANDOVER_H
#define TRAFFICGEN_HANDOVER_H

// How a sender's counts reach the receiver: one small file per sender, named by the sender's
// process id, holding in host order the sent count, the refused count and the count the
// schedule held (8 bytes each), the number of gaps and the schedule's restarts (4 bytes each),
// then the achieved and the drawn mean gap and the largest lag behind the schedule (8-byte
// doubles).
// The files live in a directory that only this run can use: created with mkdtemp (mode 0700)
// under $TMPDIR, or /tmp when that names no directory, before the first sender starts, and
// removed with whatever is left in it when the process that created it exits or returns from
// main, an error exit included. Nothing in the working directory or planted by another user
// can spoil or reach the counts.

#include <cstdint>
#include <string>
#include <sys/types.h>

#include "result.h"

struct THandOver {
    bool known = false; // false when no complete count could be read
    std::uint64_t sent = 0;
    std::uint64_t refused = 0;
    // A benchmark trial's: the departures its schedule held from the first one to the end of the
    // sender's duration (at least `sent`).
    std::uint64_t scheduled = 0;
    TOfferedGaps offered;
};

// Creates the run's directory unless it already exists; ends the run with a message when it
// cannot be created.
void prepareHandOverDirectory();

// Where the sender `pid` leaves its counts.
std::string handOverPath(pid_t pid);

// In a sender: leaves its counts under its own process id. The file must be one it creates
// itself, so whatever already stands under that name is never written through. False when the
// counts could not be left whole (nothing is left then).
bool leaveHandOver(const THandOver& counts);

// In the receiver: reads and removes the file of a sender that ended with status 0. Anything
// other than a regular file of the full size leaves the count unknown.
THandOver collectHandOver(pid_t pid);

#endif
