#include "link/datagram.h"

void Datagram_Check() {}
