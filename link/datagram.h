// Datagrams of the programming link (not built yet: nothing to age).
#pragma once

void Datagram_Check();
