#include "config.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "fail.h"

namespace {

const char* const PARSE_ERROR = "Nelze naparsovat soubor!";
const char* const READ_ERROR = "Chyba pri cteni ze souboru";

// Significant bytes of the key or value being read: [first, last] inclusive.
// Spaces never become a mark, so an unset mark means "nothing but spaces so far".
struct TMarks {
    const char* first = nullptr;
    const char* last = nullptr;

    void reset() { first = last = nullptr; }
    void take(const char* p) {
        if (first == nullptr)
            first = p;
        last = p;
    }
    bool empty() const { return first == nullptr; }
    std::string text() const { return std::string(first, last + 1); }
};

const char* skipLineEnds(const char* p, const char* end) {
    while (p < end && isEndLine(*p))
        ++p;
    return p;
}

} // namespace

bool isEndLine(char c) {
    return c == '\r' || c == '\n';
}

bool parseConfigText(const char* data, std::size_t length,
                     std::map<std::string, std::string>& values) {
    if (data == nullptr || length == 0)
        return true;
    const char* p = data;
    const char* const end = data + length;
    std::string section;
    std::string key;
    bool lineStart = true;
    bool inValue = false;
    TMarks marks;

    while (p < end) {
        if (lineStart) {
            if (*p == ';' || *p == '#') {
                while (p < end && !isEndLine(*p))
                    ++p;
                p = skipLineEnds(p, end);
                continue;
            }
            if (*p == '[') {
                const char* nameStart = ++p;
                while (p < end && *p != ']' && !isEndLine(*p))
                    ++p;
                if (p == end || *p != ']')
                    return false;
                section.assign(nameStart, p);
                p = skipLineEnds(p + 1, end);
                // A section line must be followed by something on which a line can start.
                if (p == end)
                    return false;
                inValue = false;
                marks.reset();
                continue;
            }
            lineStart = false;
        }
        const char c = *p;
        if (c == ' ') {
            ++p;
            continue;
        }
        if (!inValue) {
            if (isEndLine(c))
                return false;
            if (c == '=') {
                // A key of nothing but spaces would be stored as "section." and never found.
                if (marks.empty())
                    return false;
                key = marks.text();
                marks.reset();
                inValue = true;
            } else {
                marks.take(p);
            }
            ++p;
            continue;
        }
        if (isEndLine(c)) {
            // Likewise an empty value: callers rely on every stored value holding text.
            if (marks.empty())
                return false;
            values.emplace(section + "." + key, marks.text());
            p = skipLineEnds(p, end);
            marks.reset();
            inValue = false;
            lineStart = true;
            continue;
        }
        marks.take(p);
        ++p;
    }
    // A key line cut by the data end is dropped on purpose: it may be a truncated pair.
    return true;
}

CConfig::CConfig(const char* path) {
    std::vector<char> buffer(CONFIG_READ_LIMIT, 0);
    std::size_t filled = 0;
    const int fd = path != nullptr ? open(path, O_RDONLY) : -1;
    if (fd < 0)
        fail(READ_ERROR);
    while (filled < buffer.size()) {
        const ssize_t got = read(fd, buffer.data() + filled, buffer.size() - filled);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            close(fd);
            fail(READ_ERROR);
        }
        if (got == 0)
            break;
        filled += static_cast<std::size_t>(got);
    }
    close(fd);
    parse(buffer.data(), filled);
}

CConfig CConfig::fromText(const std::string& text) {
    CConfig config;
    // The same limit as for a file, so that text and file with equal bytes agree.
    config.parse(text.data(), std::min(text.size(), CONFIG_READ_LIMIT));
    return config;
}

void CConfig::parse(const char* data, std::size_t length) {
    if (!parseConfigText(data, length, m_values))
        fail(PARSE_ERROR);
}

std::string CConfig::getString(std::string key, std::string section) const {
    const auto found = m_values.find(section + "." + key);
    if (found == m_values.end())
        fail("Nenalezen klic \"" + key + "\" pod sekci \"" + section +
             "\" v konfiguracnim souboru!");
    return found->second;
}

int CConfig::getInt(std::string key, std::string section) const {
    const std::string text = getString(key, section);
    // atoi semantics, but an out-of-range number saturates instead of being undefined.
    const long number = std::strtol(text.c_str(), nullptr, 10);
    if (number > INT_MAX)
        return INT_MAX;
    if (number < INT_MIN)
        return INT_MIN;
    return static_cast<int>(number);
}

double CConfig::getDouble(std::string key, std::string section) const {
    return std::atof(getString(key, section).c_str());
}

bool CConfig::hasKey(std::string key, std::string section) const {
    return m_values.count(section + "." + key) != 0;
}
