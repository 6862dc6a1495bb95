#include "fail.h"

#include <cstdlib>
#include <iostream>

namespace {
void (*failureHandler)(const std::string&) = nullptr;
} // namespace

void setFailureHandler(void (*handler)(const std::string& message)) {
    failureHandler = handler;
}

void fail(const std::string& message) {
    if (failureHandler != nullptr)
        failureHandler(message);
    std::cerr << message << '\n' << std::flush;
    std::exit(1);
}
