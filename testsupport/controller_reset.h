// Power-on state of the modules a test or benchmark of the programming link
// runs in this process, so that fixtures that drive the controller through
// its command interpreter all start from the same clean slate.
#pragma once

// Time base, stored blocks, register images, scan and modes, I/O driver,
// command interpreter, serial channels and link peers.
void ResetLinkController();

// The media side of program save and load: command runner, drive-letter
// file layer, card manager and its shared memory, media commands and
// program media.
void ResetMediaModules();
