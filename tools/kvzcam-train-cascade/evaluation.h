#pragma once
#include <cstdint>
#include <string>

namespace kvz::train {
// Held-out measurement of a frozen cascade; prints the report. 0 on success.
int Evaluate(const std::string& dataFolder, bool synthetic, const std::string& blockFile, uint32_t seed,
             bool trainingSplit);
}
