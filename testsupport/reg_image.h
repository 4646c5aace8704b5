// Register images as the controller stores them (autoreg.dta): CRC-16,
// reserved word, size, then the register memory.
#pragma once

#include <utility>
#include <vector>

#include "platform/bytes.h"

// An image that resumes run mode (SR5 = 2) with empty force and security
// tables and node id 1, holding the given (word index, value) pairs.
std::vector<u8> RunModeRegisterImage(const std::vector<std::pair<u32, u16>>& words);
