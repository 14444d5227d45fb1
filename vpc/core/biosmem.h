// The records the emulated BIOS leaves in physical memory at power-on: the
// "$QZX" header and FlashParamBlock in the 0xF0000 segment, and the
// FlashInfoRecord, BlockTable and NvramList in the flash-info segment.
#pragma once
#include <cstdint>

#include "machine.h"

// Rewrites the system BIOS segment (filler, header, zeroed parameter block)
// and the flash-info records in phys (kPhysMemSize bytes).
void build_bios_records(const Machine& m, const FaultSet& run, uint8_t* phys);

// True when the segment already holds exactly the header this run wants
// (same position, or none), so a run need not rebuild it.
bool bios_header_matches(const Machine& m, const FaultSet& run, const uint8_t* phys);

// Fills 128 CMOS bytes: clock registers, configuration bytes 0x10-0x2D and
// their checksum at 0x2E (high) and 0x2F (low).
void build_cmos(uint32_t seed, uint8_t* cmos);
