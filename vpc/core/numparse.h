// Number parsing for machine descriptions, faults and launcher options.
#pragma once
#include <cstdint>

// Parses "0x1f", "31", "64K", "2M" (K and M multiply by 1024 and 1024*1024).
// Leading zeros do not mean octal. Returns false on any trailing junk or overflow.
bool parse_number(const char* text, uint64_t* out);

// Same, limited to 32 bits.
bool parse_u32(const char* text, uint32_t* out);
