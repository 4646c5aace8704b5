// Extraction of ZIP archives (stored and deflated entries), for the "unzip"
// command of the shell-command runner: the update scripts arrive zipped on
// the media and no external program may be run.
//
// The archive is hostile input: every offset and length is checked against
// the file, entry names that would leave the destination ("..", absolute
// names) are skipped, symbolic links are never made, every entry's size and
// CRC-32 are checked, and an entry is written whole or not at all.
#pragma once

#include <string>
#include <vector>

#include "platform/bytes.h"

enum class UnzipResult {
    Ok = 0,
    Skipped = 1,     // extracted, but some entries were refused or failed
    BadArchive = 3,  // not a readable archive
    NoArchive = 9,   // the archive cannot be read at all
};

// Extracts every entry of the archive at hostZip below hostDest (both host
// paths; the caller keeps them inside the root). Existing files are replaced
// unless keepExisting is set.
UnzipResult Unzip_Extract(const std::string& hostZip, const std::string& hostDest, bool keepExisting = false);

// Raw deflate decoder: appends the decoded bytes of src to out. False for a
// malformed stream or when the output would exceed maxOut bytes.
bool Unzip_Inflate(const u8* src, size_t size, std::vector<u8>& out, size_t maxOut);

// CRC-32 (reflected polynomial 0xEDB88320) as ZIP stores it.
u32 Unzip_Crc32(const u8* data, size_t size);
