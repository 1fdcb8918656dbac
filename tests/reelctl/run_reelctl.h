// Runs the built reelctl with the given arguments (after the program path).
#pragma once

#include <string>
#include <vector>

#include "proc.h"

inline testsupport::Run reelctl(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), testsupport::bin("reelctl"));
    return testsupport::run(arguments);
}
