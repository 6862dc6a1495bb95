#include "trafficgenerator.h"

#include <cstring>
#include <iostream>
#include <string>
#include <unistd.h>

#include "answers.h"
#include "config.h"
#include "fail.h"
#include "quantile.h"
#include "randomgenerator.h"
#include "sendstamps.h"
#include "testframe.h"
#include "textparsing.h"

namespace {

const char* const INVALID_MAC = "Neplatny format MAC adresy";
const char* const INVALID_INTERFACE = "Neplatne cislo rozhrani!";
const char* const INVALID_DISTRIBUTION = "Neplatne cislo rozdeleni! Rozsah pouze 0 - 7";
const char* const INVALID_OPERATION = "Neplatna operace! Rozsah pouze 1 - 2";
const char* const INVALID_PROBABILITY = "Pravdepodobnost musi byt v rozsahu 0.5 - 1!";
const char* const TOO_MANY_STREAMS = "Maximalne muze byt 10 toku!";
const char* const INVALID_SEQUENCE_NUMBERS = "Neplatna hodnota sequence numbers! Pouze 0 nebo 1";
const char* const INVALID_NEXT_HOP = "Neplatna hodnota next hop! Pouze adresa IPv4 nebo IPv6";
const char* const NEXT_HOP_AND_MAC = "Zadejte bud destination MAC, nebo next hop, ne obe!";

constexpr unsigned int LAST_DISTRIBUTION = 7;
constexpr int MAX_TOS = 255;
// "xx:xx:xx:xx:xx:xx": no valid address is longer.
constexpr std::size_t MAC_TEXT_LENGTH = 17;

// The address text goes through a buffer sized for the longest valid address; longer text
// cannot be an address and is refused before any copy.
bool readMac(const std::string& text, unsigned char* mac) {
    if (text.size() > MAC_TEXT_LENGTH)
        return false;
    char buffer[MAC_TEXT_LENGTH + 1] = {};
    std::memcpy(buffer, text.c_str(), text.size());
    return getMacAddressFromStr(buffer, mac);
}

// The set-up rules, each written once for the terminal and the file alike: every check hands
// back the value it accepted or ends the run with the rule's message.

// `where` follows "Neplatná hodnota" in the message: empty on the terminal, the key and the
// section in a file.
unsigned char checkedTos(int value, const std::string& where) {
    if (value < 0 || value > MAX_TOS)
        fail("Neplatná hodnota" + where + "! Rozsah pouze 0 - 255");
    return static_cast<unsigned char>(value);
}

// From a file a negative number arrives as a large unsigned one and is refused too.
unsigned int checkedDistributionNumber(unsigned int number) {
    if (number > LAST_DISTRIBUTION)
        fail(INVALID_DISTRIBUTION);
    return number;
}

float checkedProbability(float probability) {
    // Written so that NaN fails both comparisons and is refused.
    if (!(probability >= 0.5f && probability <= 1.0f))
        fail(INVALID_PROBABILITY);
    return probability;
}

std::uint32_t checkedStreamCount(std::uint32_t count) {
    if (count > MAX_STREAMS)
        fail(TOO_MANY_STREAMS);
    return count;
}

// The TOS key of a section, named in the message.
std::string tosInSection(const std::string& section) {
    return " u TOS pod sekci " + section;
}

void printDistributionMenu() {
    std::cout << "0. konstantni" << std::endl;
    std::cout << "1. rovnomerne" << std::endl;
    std::cout << "2. normalni" << std::endl;
    std::cout << "3. exponencialni" << std::endl;
    std::cout << "4. hyperexponencialni" << std::endl;
    std::cout << "5. Pareto" << std::endl;
    std::cout << "6. Weibullovo" << std::endl;
    std::cout << "7. Erlangovo" << std::endl;
}

} // namespace

CTrafficGenerator::CTrafficGenerator() = default;

CTrafficGenerator::~CTrafficGenerator() {
    if (receivingDevice != nullptr)
        pcap_close(receivingDevice);
}

CRandomGenerator* CTrafficGenerator::createGeneratorByNum(unsigned int number) {
    switch (number) {
    case 0:
        return new CConstantDistribution();
    case 1:
        return new CUniformDistribution();
    case 2:
        return new CNormalDistribution();
    case 3:
        return new CExponentialDistribution();
    case 4:
        return new CHyperExponentialDistribution();
    case 5:
        return new CParetoDistribution();
    case 6:
        return new CWeibullDistribution();
    case 7:
        return new CErlangDistribution();
    default:
        return nullptr;
    }
}

void CTrafficGenerator::selectDevice() {
    // The list is never freed: the chosen names are borrowed from it for the whole run.
    pcap_if_t* devices = nullptr;
    if (pcap_findalldevs(&devices, errorBuffer) == PCAP_ERROR)
        fail(std::string("Neprobehla funkce find_alldevs(): ") + errorBuffer);

    std::cout << "V systemu byla nalezena nasledujici sitova rozhrani:" << std::endl;
    unsigned int number = 0;
    for (pcap_if_t* device = devices; device != nullptr; device = device->next)
        std::cout << ++number << ". " << device->name << std::endl;

    // A choice that is not asked stays 0, which numbers no interface.
    unsigned int outgoing = 0;
    unsigned int incoming = 0;
    const bool askOutgoing = sendingInterface == nullptr;
    const bool askIncoming = receivingInterface == nullptr;
    if (askOutgoing) {
        prompt("Zadejte cislo rozhrani, ktere chcete pouzivat jako odchozi: ");
        outgoing = readAnswer<unsigned int>();
    }
    if (askIncoming) {
        prompt("Zadejte cislo rozhrani, ktere chcete pouzivat jako prichozi: ");
        incoming = readAnswer<unsigned int>();
    }

    number = 0;
    for (pcap_if_t* device = devices; device != nullptr; device = device->next) {
        ++number;
        if (number == outgoing)
            sendingInterface = device->name;
        if (number == incoming)
            receivingInterface = device->name;
    }
    if ((askOutgoing && sendingInterface == nullptr) ||
        (askIncoming && receivingInterface == nullptr))
        fail(INVALID_INTERFACE);
}

void CTrafficGenerator::getDataFromUser() {
    selectDevice();

    std::cout << "Vyberte pozadovanou operaci:" << std::endl;
    std::cout << "1. test propustnosti" << std::endl;
    std::cout << "2. test ztratovosti a zpozdeni" << std::endl;
    operation = readAnswer<std::int32_t>();

    std::cout << "Zadejte parametry testu:" << std::endl;
    prompt("Cilova MAC[HEX]:");
    if (!readMac(readAnswer<std::string>(), frameHeader + DESTINATION_MAC_OFFSET))
        fail(INVALID_MAC);

    if (operation == THROUGHPUT_TEST) {
        cycles = 1;
        prompt("Zadejte delku trvani testu [us]: ");
        duration = readAnswer<std::uint32_t>();
        streams = 1;
        prompt("TOS: ");
        tos[0] = checkedTos(readAnswer<int>(), "");
        return;
    }
    if (operation != LOSS_AND_DELAY_TEST)
        fail(INVALID_OPERATION);

    prompt("Zadejte pocet opakovani: ");
    cycles = readAnswer<std::uint32_t>();
    if (cycles > 1) {
        prompt("Zadejte pravdepodobnost pro vypocet konfidencniho intervalu: ");
        confidenceIntervalProbability = checkedProbability(readAnswer<float>());
        quantile = CQuantile::getQuantile(confidenceIntervalProbability);
    }
    prompt("Zadejte delku trvani jednoko cyklu [us]: ");
    duration = readAnswer<std::uint32_t>();
    prompt("Zadejte pocet generovanych toku (max. 10): ");
    streams = checkedStreamCount(readAnswer<std::uint32_t>());

    for (std::uint32_t i = 0; i < streams; ++i) {
        const std::uint32_t k = i + 1;
        prompt("TOS streamu " + std::to_string(k) + ": ");
        tos[i] = checkedTos(readAnswer<int>(), "");
        std::cout << std::endl;

        std::cout << "rozdeleni velikosti paketu toku " << k << ":" << std::endl;
        printDistributionMenu();
        sizeGenerators[i] =
            createGeneratorByNum(checkedDistributionNumber(readAnswer<unsigned int>()));
        sizeGenerators[i]->getParamsFromUser("velikosti paketu toku [B]");

        std::cout << "rozdeleni dob mezi odeslanimi toku " << k << ":" << std::endl;
        printDistributionMenu();
        timeGenerators[i] =
            createGeneratorByNum(checkedDistributionNumber(readAnswer<unsigned int>()));
        timeGenerators[i]->getParamsFromUser("doby mezi odeslanim paketu [us]");
    }
}

void CTrafficGenerator::loadDataFromConfig(const CConfig& config) {
    // The lookups hand back copies, so names from the file are kept in the object itself.
    if (config.hasKey("receiving interface", "")) {
        receivingInterfaceName = config.getString("receiving interface", "");
        receivingInterface = receivingInterfaceName.c_str();
    }
    if (config.hasKey("sending interface", "")) {
        sendingInterfaceName = config.getString("sending interface", "");
        sendingInterface = sendingInterfaceName.c_str();
    }
    if (receivingInterface == nullptr || sendingInterface == nullptr)
        selectDevice();

    operation = config.getInt("operation", "");
    // A next hop's IP address in place of the destination MAC: its MAC is asked for when the
    // interfaces are open.
    if (config.hasKey("next hop", "")) {
        TIpAddress hop;
        if (!readIpAddress(config.getString("next hop", ""), hop))
            fail(INVALID_NEXT_HOP);
        if (config.hasKey("destination MAC", ""))
            fail(NEXT_HOP_AND_MAC);
        nextHop = ipAddressText(hop);
    } else if (!readMac(config.getString("destination MAC", ""),
                        frameHeader + DESTINATION_MAC_OFFSET)) {
        fail(INVALID_MAC);
    }
    if (config.hasKey("source MAC", "")) {
        if (!readMac(config.getString("source MAC", ""), frameHeader + SOURCE_MAC_OFFSET))
            fail(INVALID_MAC);
        sourceMacGiven = true;
    }
    if (config.hasKey("loss timeout", "") &&
        !readLossTimeout(config.getString("loss timeout", ""), lossTimeout))
        fail(INVALID_LOSS_TIMEOUT);
    if (config.hasKey("pacing", "") && !readPacing(config.getString("pacing", ""), pacing))
        fail(INVALID_PACING);
    if (config.hasKey("send path", "") &&
        !readSendPath(config.getString("send path", ""), sendPath))
        fail(INVALID_SEND_PATH);
    if (config.hasKey("sequence numbers", "")) {
        const std::string value = config.getString("sequence numbers", "");
        if (value != "0" && value != "1")
            fail(INVALID_SEQUENCE_NUMBERS);
        sequenceNumbers = value == "1";
    }
    if (config.hasKey("stamp source", "")) {
        TStampSource source = TStampSource::user;
        if (!readStampSource(config.getString("stamp source", ""), source))
            fail(INVALID_STAMP_SOURCE);
        chooseStampSource(source);
    }
    if (config.hasKey("seed", "")) {
        if (!readSeed(config.getString("seed", ""), seed))
            fail(INVALID_SEED);
        seedGiven = true;
    }
    duration = static_cast<std::uint32_t>(config.getInt("duration", ""));

    if (operation == THROUGHPUT_TEST) {
        cycles = 1;
        streams = 1;
        // The message has always named this section without its blank.
        tos[0] = checkedTos(config.getInt("TOS", "STREAM 1"), tosInSection("STREAM1"));
        loadStreamFrames(config, 0, "STREAM 1");
        return;
    }
    if (operation != LOSS_AND_DELAY_TEST)
        fail(INVALID_OPERATION);

    cycles = static_cast<std::uint32_t>(config.getInt("cycles", ""));
    if (cycles > 1) {
        confidenceIntervalProbability = checkedProbability(
            static_cast<float>(config.getDouble("confidence interval probability", "")));
        quantile = CQuantile::getQuantile(confidenceIntervalProbability);
    }
    streams = checkedStreamCount(static_cast<std::uint32_t>(config.getInt("stream count", "")));

    for (std::uint32_t i = 0; i < streams; ++i) {
        const std::string section = "STREAM " + std::to_string(i + 1);
        tos[i] = checkedTos(config.getInt("TOS", section), tosInSection(section));
        loadStreamFrames(config, i, section);

        sizeGenerators[i] = createGeneratorByNum(checkedDistributionNumber(
            static_cast<unsigned int>(config.getInt("size distribution", section))));
        sizeGenerators[i]->getParamsFromConfig(config, "size ", section);

        timeGenerators[i] = createGeneratorByNum(checkedDistributionNumber(
            static_cast<unsigned int>(config.getInt("time distribution", section))));
        timeGenerators[i]->getParamsFromConfig(config, "time ", section);
    }
}

void CTrafficGenerator::loadStreamFrames(const CConfig& config, std::uint32_t index,
                                         const std::string& section) {
    const std::string message = readStreamFrameKeys(config, section, streamFrames[index]);
    if (!message.empty())
        fail(message);
}

namespace {

// Enough draws for a mean within a fraction of a percent for the heavy-tailed distributions too.
constexpr int MEAN_DRAWS = 100000;

// The mean of `draws` values of `generator` after `transform`, from a fixed seed.
template <class Transform> double meanOfDraws(CRandomGenerator& generator, Transform transform) {
    srand(1);
    double sum = 0;
    for (int k = 0; k < MEAN_DRAWS; ++k) {
        sum += static_cast<double>(transform(generator.generate()));
    }
    return sum / MEAN_DRAWS;
}

} // namespace

std::vector<double> CTrafficGenerator::meanGapsUs() const {
    std::vector<double> gaps;
    for (std::uint32_t i = 0; i < streams && i < MAX_STREAMS; ++i) {
        gaps.push_back(timeGenerators[i] == nullptr ? BENCHMARK_BASE_GAP_US
                                                    : meanOfDraws(*timeGenerators[i], cappedGap));
    }
    return gaps;
}

std::vector<double> CTrafficGenerator::meanFrameLengths() const {
    std::vector<double> lengths;
    for (std::uint32_t i = 0; i < streams && i < MAX_STREAMS; ++i) {
        lengths.push_back(sizeGenerators[i] == nullptr
                              ? throughputFrameLength(streamFrames[i].layout())
                              : meanOfDraws(*sizeGenerators[i], [this, i](std::uint32_t size) {
                                    return streamFrameLength(size, sequenceNumbers,
                                                             streamFrames[i].layout());
                                }));
    }
    return lengths;
}

double CTrafficGenerator::meanFrameLength() const {
    // Each stream's frames weigh with its share of the frames: its rate, 1 / its mean gap.
    const std::vector<double> gaps = meanGapsUs();
    const std::vector<double> streamLengths = meanFrameLengths();
    double lengths = 0;
    double frames = 0;
    for (std::size_t i = 0; i < gaps.size(); ++i) {
        const double length = streamLengths[i];
        lengths += length / gaps[i];
        frames += 1 / gaps[i];
    }
    return frames > 0 ? lengths / frames : MAX_FRAME_LENGTH;
}
