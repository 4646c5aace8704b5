// Files of the board that the controller looks at on every pass (the supply
// words, the USB port's state, a folder of the card) are read again only
// after the folder that holds them changed. One inotify descriptor, polled in
// the idle wait, tells of every change; a watched file that stays as it is
// costs an idle pass no system call, and an absent one is not asked for again
// and again: its nearest existing folder is watched until it appears.
#pragma once

#include <poll.h>

#include <vector>

#include "platform/bytes.h"

// Watches a firmware path (mapped below the root); answers a handle, -1 when
// the table is full. The same path gives the same handle.
int FileWatch_Add(const char* firmwarePath);
// True the first time, after every change of the file or of a folder above
// it, and after the root was switched; false until the next change.
bool FileWatch_Changed(int handle);

// The descriptor for the idle wait, and the step that takes its events.
void FileWatch_Descriptors(std::vector<pollfd>& fds);
u32 FileWatch_Step(u32 now);

// Closes the descriptor and forgets every watch (tests start clean).
void FileWatch_Reset();
