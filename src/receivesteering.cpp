#include "receivesteering.h"

#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <sched.h>
#include <sys/stat.h>

namespace {

// Whether a cpumask as /sys writes it ("00000000,00000002") names any core.
bool namesACore(const std::string& mask) {
    return mask.find_first_of("123456789abcdefABCDEF") != std::string::npos;
}

} // namespace

TReceiveWork receiveWorkOf(const char* interfaceName) {
    TReceiveWork work;
    const std::string base = std::string("/sys/class/net/") + interfaceName;
    struct stat info;
    work.virtualInterface =
        stat(base.c_str(), &info) == 0 && stat((base + "/device").c_str(), &info) != 0;
    if (DIR* queues = opendir((base + "/queues").c_str())) {
        while (const dirent* entry = readdir(queues)) {
            std::ifstream file(base + "/queues/" + entry->d_name + "/rps_cpus");
            std::string mask;
            if (std::string(entry->d_name).rfind("rx-", 0) == 0 && std::getline(file, mask) &&
                namesACore(mask)) {
                work.steered = true;
            }
        }
        closedir(queues);
    }
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        for (int core = 0; core < CPU_SETSIZE; ++core) {
            if (CPU_ISSET(core, &set)) {
                work.cores.push_back(core);
            }
        }
    }
    return work;
}

std::string steeringAdvice(const std::string& interfaceName, const TReceiveWork& work) {
    if (!work.virtualInterface || work.steered || work.cores.size() < 2) {
        return "";
    }
    // The last core takes the receiving, the senders keep the others.
    const int receiver = work.cores.back();
    std::string senders;
    for (std::size_t i = 0; i + 1 < work.cores.size(); ++i) {
        senders += (i == 0 ? "" : ",") + std::to_string(work.cores[i]);
    }
    char mask[32];
    std::snprintf(mask, sizeof mask, "%llx", 1ULL << (receiver % 64));
    std::string where = "/sys/class/net/" + interfaceName + "/queues/rx-0/rps_cpus";
    if (receiver >= 64) {
        return "Rada: prijem na rozhrani " + interfaceName +
               " bezi na jadru odesilatele a snizuje strop testeru; presunte jej na jine jadro "
               "(rps_cpus)";
    }
    return "Rada: prijem na rozhrani " + interfaceName +
           " bezi na jadru odesilatele a snizuje strop testeru; presunte jej na jadro " +
           std::to_string(receiver) + ": echo " + mask + " > " + where + " a spustte taskset -c " +
           senders + " trafficgen ...";
}
