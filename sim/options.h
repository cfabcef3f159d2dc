#pragma once
// Reading the option strings of the simulated units ("unit=0,ram=32;unit=1,...").
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// `s` cut at every `sep`; empty pieces are kept, "" gives one empty piece.
std::vector<std::string> Split(const std::string& s, char sep);

// Which sign a number may start with.
enum class Signs { Any, NoMinus, None };

// An unsigned 32-bit number, all of `s`, read in `base` as strtoul reads it (0: the
// C prefixes). With `hexPrefix`, a leading 0x or 0X is taken first and makes it hex.
bool ParseNumber(const std::string& s, int base, Signs signs, bool hexPrefix, uint32_t* out);

}  // namespace sim
