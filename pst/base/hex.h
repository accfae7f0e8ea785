#pragma once

#include <cstdint>
#include <string>

namespace pst {

// "0x1F" style, for error messages that name NIDs, BIDs and offsets.
std::string Hex(uint64_t v);

}  // namespace pst
