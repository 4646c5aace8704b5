#include "ladder/contacts.h"

const u8 on_mask[8] = {1, 2, 4, 8, 16, 32, 64, 128};
const u8 off_mask[8] = {254, 253, 251, 247, 239, 223, 191, 127};
