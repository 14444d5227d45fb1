// The twin's description: the captured records as a machine of the virtual PC.
#pragma once
#include <cstdint>
#include <string>

#include "machine.h"
#include "records.h"

// m with the captured records; its other fields keep what they held. False when the virtual PC
// cannot lay them as they are.
bool twin_machine(const FoundHeader& h, const FoundInfo& f, Machine* m, std::string* why);

// The size the tool's /o writes for m's BlockTable (the largest block end as a file offset), or
// a refusal when a block has no place in a backup or the ROM ID would not be in it.
bool backup_size(const Machine& m, uint64_t* size, std::string* why);

// The description text of a captured machine; parse_machine of it gives back m's records.
std::string machine_text(const Machine& m, const std::string& origin);
