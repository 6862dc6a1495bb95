#ifndef TRAFFICGEN_INTERFACECLAIM_H
#define TRAFFICGEN_INTERFACECLAIM_H

// One run per receiving interface: two runs capturing on the same interface would count each
// other's frames (same port, same stream letters). A run claims its receiving interface by
// binding an abstract Unix socket named after it. Such a name belongs to the network namespace,
// so runs in other namespaces with interfaces of the same name are not affected, and the kernel
// releases it with the last descriptor, however the process ends (SIGKILL included).

// Claims the receiving interface `name` for the rest of this process's life; false when another
// run holds it. Forked children (the senders) do not keep the claim, so one that outlives a
// killed run cannot keep the next run from the interface. Ends the run with a message when the
// claim can be neither made nor refused.
bool claimReceivingInterface(const char* name);

#endif
