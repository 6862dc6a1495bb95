#ifndef TRAFFICGEN_CONFIG_H
#define TRAFFICGEN_CONFIG_H

#include <cstddef>
#include <map>
#include <string>

constexpr std::size_t CONFIG_READ_LIMIT = 20480;

bool isEndLine(char c);

// Parses sectioned key/value text into full keys ("section.key") -> values.
// Returns false on a parse error; `values` then holds what was parsed so far.
// This is the one parser: the CConfig constructor and the fuzz target both use it.
bool parseConfigText(const char* data, std::size_t length,
                     std::map<std::string, std::string>& values);

class CConfig {
  public:
    // Reads and parses the file; ends the process on a read or parse error.
    explicit CConfig(const char* path);
    // Builds a configuration from text already in memory, with the same rules, the same
    // 20480-byte limit and the same errors as a file holding those bytes.
    static CConfig fromText(const std::string& text);

    std::string getString(std::string key, std::string section) const;
    int getInt(std::string key, std::string section) const;
    double getDouble(std::string key, std::string section) const;
    bool hasKey(std::string key, std::string section) const;

  private:
    CConfig() = default;
    void parse(const char* data, std::size_t length);

    std::map<std::string, std::string> m_values;
};

#endif
