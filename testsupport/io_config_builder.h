// The I/O configuration block as the programming software downloads it for
// the module slots, so that scan and I/O tests do not lay it out by hand.
#pragma once

#include <utility>
#include <vector>

#include "platform/bytes.h"

// Loads the block (with its header) from one record per slot: the module
// ident, the data length, then the data padded to four bytes.
void PutIoConfig(const std::vector<std::pair<u16, std::vector<u8>>>& records);
