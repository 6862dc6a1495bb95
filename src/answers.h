#ifndef TRAFFICGEN_ANSWERS_H
#define TRAFFICGEN_ANSWERS_H

// The interactive set-up's questions and answers on the terminal: the test object's questions
// and the distributions' questions read their answers the same way.

#include <iostream>
#include <string>

#include "fail.h"

// A prompt stays on the answer's line, so it is flushed rather than ended.
inline void prompt(const std::string& text) {
    std::cout << text << std::flush;
}

// Formatted extraction that ends the run instead of leaving a field as a failed read left it
// (not a number, out of the type's range, end of input).
template <typename T> T readAnswer() {
    T value{};
    if (!(std::cin >> value))
        fail("Neplatny nebo chybejici vstup!");
    return value;
}

#endif
