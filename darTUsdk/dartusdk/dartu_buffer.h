// Byte buffers of the web-HMI server and the request field dictionary.
//
// Every byte the server moves lives in a dartu_buffer: received bytes, a
// request cut from them, response headers and bodies, a served file. A
// buffer is a growable byte array with a hard maximum, a read position, an
// optional attached file read after the array and an optional chained
// buffer read after that. Returned buffers go to one shared pool and are
// reused; the pool is thread-safe, a buffer itself is used by one thread at
// a time.
#pragma once

#include <cstddef>
#include <cstdio>

#include "platform/bytes.h"

constexpr u32 kDartuBufferFresh = 0xCAFFEEEE;     // newly allocated record
constexpr u32 kDartuBufferFromPool = 0xFACEFACE;  // taken from the pool
constexpr u32 kDartuBufferReturned = 0xDEADBEEF;  // on the pool

// What a buffer holds.
enum : u32 {
    kDartuBufNone = 0,
    kDartuBufContent = 1,          // a body being built, or bytes read from a connection
    kDartuBufRequest = 2,          // one complete request
    kDartuBufRequestDict = 3,      // a request whose body is indexed into the field dictionary
    kDartuBufUnpooled = 4,         // a response header or body taken unpooled
    kDartuBufHeaderFile = 5,       // a response header followed by an attached file
    kDartuBufHeader = 6,           // a response header
    kDartuBufHeaderChained = 7,    // a response header with content chained behind
    kDartuBufRequestChained = 8,   // a request with content chained behind
};

// Pooled records keep at most this much storage.
constexpr u32 kDartuPooledStorageMax = 4096;
// Records beyond this many idle ones are released instead of pooled: every
// unpooled record joins the pool when returned, so without a limit each
// answer built outside the request flow (a Ping) would grow it for good.
constexpr u32 kDartuPoolLimit = 256;

struct dartu_buffer {
    u32 marker;
    u32 kind;
    u32 retain;  // owner keeps the buffer after sending it
    u32 queued;  // waits in a connection's send queue
    dartu_buffer* pool_next;
    dartu_buffer* send_next;
    char* storage;
    u32 capacity;
    u32 maximum;
    FILE* file;
    i64 file_size;
    dartu_buffer* chained;
    u32 read_pos;
    i64 file_offset;
    u32 length;    // bytes written (the write position)
    u32 overflow;  // a growth beyond the maximum was refused
    u32 framing[2];
    u32 tls;
    i32 response_status;
    u32 header_length;
    u32 content_length;
    u32 content_length_known;
    u32 dict_offset;  // where the request field dictionary begins
};

// Empties the pool and initialises its lock (server start); releases every
// pooled record and the lock (server stop).
int dartu_init_global_context_buff();
int dartu_free_global_context_buff();

// A buffer of the kind with capacity >= initial and the given maximum, or
// none. Unpooled: always a new record (it joins the pool when returned).
dartu_buffer* dartu_buffer_get(u32 kind, u32 initial, u32 maximum, int unpooled);
// Back to the pool, with its chained buffer; a second return only reports.
void dartu_buffer_return(dartu_buffer* buffer);
// Releases storage, file, chained buffers and the record, without the pool.
void dartu_buffer_free(dartu_buffer* buffer);
// Releases every record on the pool.
void dartu_buffer_free_all();

// Room for a total length: 0, or 1 when refused (beyond the maximum: the
// first refusal reports and sets the overflow flag) or out of memory (the
// contents stay).
int dartu_buffer_grow(dartu_buffer* buffer, u64 total);
// Appends; 0, or 1 when the buffer cannot grow (nothing appended).
int dartu_buffer_put_data(dartu_buffer* buffer, const void* bytes, size_t count);
// Room for length + extra in *buffer, creating it (pooled, extra as initial
// size) when there is none; 0, or 2 on overflow or out of memory.
int dartu_buffer_create_grow(dartu_buffer** buffer, u32 kind, u32 extra, u32 maximum);
// 1 (and the report) when length + extra exceeds the maximum, else 0.
int dartu_buffer_call_overflow_error(const dartu_buffer* buffer, u64 extra);
// -1 when any buffer of the chain has its overflow flag set, else 0.
int dartu_buffer_is_overflowed(const dartu_buffer* buffer);

// Count of the next contiguous unread bytes of the chain, *out pointing at
// them (file bytes are read into the scratch area); 0 when none are left,
// -1 on error. With a delimiter the count ends just after its first
// occurrence. The read position does not move.
int dartu_buffer_get_data(dartu_buffer* buffer, const char** out, char* scratch, size_t scratch_size,
                          const char* delimiter, size_t delimiter_length);
void dartu_buffer_get_advance(dartu_buffer* buffer, size_t count);
// Unread bytes of the whole chain, the unread part of a file included.
u64 dartu_buffer_available_data(const dartu_buffer* buffer);

// Attaches a file to a kind-5 buffer; 0 or -1 (no file attached).
int dartu_buffer_put_file(dartu_buffer* buffer, const char* path);
int dartu_buffer_discard_file_content(dartu_buffer* buffer);
// Chains content behind a kind-7 or kind-8 buffer; 0 or -1.
int dartu_buffer_put_chained_content(dartu_buffer* header, dartu_buffer* content);

void dartu_buffer_reset(dartu_buffer* buffer, int keep_storage);
void dartu_buffer_reset_data(dartu_buffer* buffer);

// Decodes the url-encoded body (from the read position to the length) in
// place and appends the field dictionary behind it; the kind becomes 3.
// 0, or -1 when the dictionary would exceed the buffer's maximum: then the
// overflow flag is set and the dictionary is empty.
int dartu_buffer_build_dict(dartu_buffer* buffer);
// Entry of that index: 0 with key and value as NUL-terminated texts and the
// decoded value length, or -1 past the last entry (none, none, 0).
int dartu_buffer_get_dict_entry(const dartu_buffer* buffer, u32 index, const char** key, const char** value,
                                u32* value_length);
