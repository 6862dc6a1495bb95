#include "sendstamps.h"

const char* const INVALID_STAMP_SOURCE =
    "Neplatna hodnota stamp source! Pouze user, kernel nebo hardware";

bool readStampSource(const std::string& text, TStampSource& source) {
    if (text == "user") {
        source = TStampSource::user;
    } else if (text == "kernel") {
        source = TStampSource::kernel;
    } else if (text == "hardware") {
        source = TStampSource::hardware;
    } else {
        return false;
    }
    return true;
}

const char* stampSourceName(TStampSource source) {
    switch (source) {
    case TStampSource::kernel:
        return "kernel";
    case TStampSource::hardware:
        return "hardware";
    case TStampSource::user:
        break;
    }
    return "user";
}

std::uint32_t stampEvery(double framesPerSecond) {
    const double rate = framesPerSecond > 0 ? framesPerSecond : UNPLANNED_FRAMES_PER_SECOND;
    // A power of two: the capture of departures picks the stamped frames by the low bits of
    // their numbers.
    std::uint32_t every = 1;
    while (every < (1u << 20) && rate / every > STAMP_BUDGET_PER_SECOND) {
        every *= 2;
    }
    return every;
}

TStampSource sendStampSourceFor(TStampSource wanted) {
    return wanted == TStampSource::user ? TStampSource::user : TStampSource::kernel;
}

std::string hardwareStampObstacle(const std::string& sendingName, const TStampingAbilities& sending,
                                  const std::string& receivingName,
                                  const TStampingAbilities& receiving) {
    if (!sending.hardwareTransmit || !sending.rawHardware) {
        return sendingName + " neumi hardwarove znacky odeslanych paketu";
    }
    if (!receiving.hardwareReceive || !receiving.rawHardware) {
        return receivingName + " neumi hardwarove znacky prijatych paketu";
    }
    if (sending.clock < 0 || sending.clock != receiving.clock) {
        return sendingName + " a " + receivingName + " nemaji spolecne hodiny (PHC " +
               std::to_string(sending.clock) + " a " + std::to_string(receiving.clock) + ")";
    }
    return "";
}
