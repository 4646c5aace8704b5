// File layer: drive checks and the free-space child. Until the file layer is
// built a drive counts as ready when its folder exists.
#pragma once

// 3 when the drive (0 A:, 1 B:, 2 Z:) is usable, else 0.
int Cf_Check(int drive);
// Body of the free-space child: once a second writes the free, total and
// block-size values of A: and B: to "/dev/shm/read.dat". Never returns.
[[noreturn]] void BackTsk();
// One round of BackTsk (tests).
void BackTsk_WriteOnce();
