// The system's TLS library, opened at run time by its name ("libssl.so")
// and used only through functions looked up by name. The web-HMI server and
// the e-mail client each hand their own table of names; without the library,
// or with a name missing from it, they run without TLS.
#pragma once

struct SslLibEntry {
    const char* name;
    void* function;  // filled by SslLib_Resolve
};

// Opens the library (once per process; later calls reuse it) and fills every
// entry of the table in order. 0 success; -1 when the library cannot be
// opened; -2 when a name is missing (the entries already filled stay, the
// caller must not use them).
int SslLib_Resolve(SslLibEntry* table, int count);

// Tests: the file name opened instead of "libssl.so" (null: the standard
// one). Takes effect for the next open; an open library is closed.
void SslLib_SetName(const char* name);
