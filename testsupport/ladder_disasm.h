// A listing of ladder code for failing tests: one line per instruction with
// its word offset, name and decoded operands (register operands as linear
// bit addresses, words or bytes; jump targets as word offsets).
#pragma once

#include <string>
#include <vector>

#include "platform/bytes.h"

std::string LadderDisassemble(const std::vector<u16>& code, bool tok16);
// The program in the program block, with the token width of its trailer.
std::string LadderDisassembleBlock();
