// Free functions of reelctl that tests call directly.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

// A signed 64-bit decimal integer: optional "+" or "-", then ASCII digits only.
std::optional<int64_t> integerValue(const std::string& text);
