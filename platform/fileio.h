// Whole-file reads and power-safe whole-file writes on host paths.
//
// A stored image is written as "<file>.new", flushed, synced, closed and
// renamed over the old file, then the folder is synced: a kill or a power
// loss at any instant leaves either the old or the new file, never a torn one.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/bytes.h"

// Writes the bytes to hostPath atomically. False (and the old file kept) on
// any failure, short writes included.
bool File_WriteAtomic(const std::string& hostPath, const void* data, size_t size);

// Same, from several pieces written one after the other (header, data, ...).
struct FilePiece {
    const void* data;
    size_t size;
};
bool File_WriteAtomicPieces(const std::string& hostPath, const FilePiece* pieces, size_t count);

// Reads at most maxBytes of hostPath into out. False when the file cannot be
// opened or read, or is larger than maxBytes (out then holds nothing).
bool File_ReadAll(const std::string& hostPath, std::vector<u8>& out, size_t maxBytes);

// Syncs the folder that holds hostPath (after a rename or an unlink).
void File_SyncDirOf(const std::string& hostPath);
