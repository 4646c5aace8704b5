#include "darTUsdk/dartusdk/dartu_buffer.h"

#include <cstdlib>
#include <cstring>

#include "darTUsdk/dartusdk/dartu_context.h"
#include "darTUsdk/dartusdk/dartu_options.h"
#include "darTUsdk/dartusdk/dartu_util.h"

namespace {

constexpr u32 kDictEntryBytes = 12;
constexpr u32 kMax24 = 0xFFFFFF;
constexpr u64 kDoubleAheadLimit = 0x100000;  // storage doubles ahead below 1 MiB

dartu_buffer* NewRecord() {
    dartu_buffer* b = static_cast<dartu_buffer*>(std::calloc(1, sizeof(dartu_buffer)));
    if (!b) return nullptr;
    dartu_buffer_reset(b, 0);
    b->marker = kDartuBufferFresh;
    return b;
}

void Put24(char* p, u32 v) {
    p[0] = static_cast<char>(v);
    p[1] = static_cast<char>(v >> 8);
    p[2] = static_cast<char>(v >> 16);
}

u32 Get24(const char* p) {
    const u8* b = reinterpret_cast<const u8*>(p);
    return static_cast<u32>(b[0]) | (static_cast<u32>(b[1]) << 8) | (static_cast<u32>(b[2]) << 16);
}

// Position of the first c in [from, end) of the storage, or end.
u32 Find(const dartu_buffer* b, u32 from, u32 end, char c) {
    const void* hit = std::memchr(b->storage + from, c, end - from);
    return hit ? static_cast<u32>(static_cast<const char*>(hit) - b->storage) : end;
}

int AppendEntry(dartu_buffer* b, u32 key, u32 value, u32 length) {
    if (key > kMax24 || value > kMax24 || length > kMax24) {
        if (!b->overflow) {
            dartu_options_log_error("Buffer overflow - max size %u, wants %u", kMax24, key > value ? key : value);
            b->overflow = 1;
        }
        return 1;
    }
    char entry[kDictEntryBytes] = {};
    Put24(entry, key);
    Put24(entry + 3, value);
    Put24(entry + 6, length);
    return dartu_buffer_put_data(b, entry, sizeof entry);
}

}  // namespace

int dartu_init_global_context_buff() {
    dartu_global_context_t* ctx = dartu_global_context();
    ctx->buffer_pool = nullptr;
    ctx->buffer_pool_count = 0;
    return dartu_lock_mutex_initialize(&ctx->buffer_lock);
}

int dartu_free_global_context_buff() {
    dartu_buffer_free_all();
    return dartu_lock_mutex_destroy(&dartu_global_context()->buffer_lock);
}

void dartu_buffer_reset_data(dartu_buffer* b) {
    b->read_pos = 0;
    b->file_offset = 0;
    b->length = 0;
    b->overflow = 0;
    b->file_size = 0;
    b->framing[0] = 0;
    b->framing[1] = 0;
    b->tls = 0;
    b->header_length = 0;
    b->content_length = 0;
    b->content_length_known = 0;
    b->dict_offset = 0;
    b->retain = 0;
    b->queued = 0;
    b->file = nullptr;
    b->chained = nullptr;
    b->response_status = -1;
}

void dartu_buffer_reset(dartu_buffer* b, int keep_storage) {
    b->kind = kDartuBufNone;
    if (keep_storage) {
        if (b->storage) std::memset(b->storage, 0, b->capacity);
        b->maximum = 0;
    } else {
        b->storage = nullptr;
        b->capacity = 0;
        b->maximum = 0;
        b->pool_next = nullptr;
        b->send_next = nullptr;
    }
    dartu_buffer_reset_data(b);
}

dartu_buffer* dartu_buffer_get(u32 kind, u32 initial, u32 maximum, int unpooled) {
    dartu_buffer* b = nullptr;
    if (!unpooled) {
        dartu_global_context_t* ctx = dartu_global_context();
        dartu_lock_mutex_lock(&ctx->buffer_lock);
        b = ctx->buffer_pool;
        if (b) {
            ctx->buffer_pool = b->pool_next;
            ctx->buffer_pool_count--;
        }
        dartu_lock_mutex_unlock(&ctx->buffer_lock);
        if (b) {
            b->pool_next = nullptr;
            b->marker = kDartuBufferFromPool;
            dartu_buffer_reset(b, 1);
        }
    }
    if (!b) b = NewRecord();
    if (!b) return nullptr;
    if (b->maximum < maximum) b->maximum = maximum;
    if (b->capacity < initial && dartu_buffer_grow(b, initial) != 0) {
        dartu_buffer_return(b);
        return nullptr;
    }
    b->kind = kind;
    return b;
}

int dartu_buffer_grow(dartu_buffer* b, u64 total) {
    u64 target = dartu_util_upper_power_of_two(total);
    if (target > b->maximum) target = b->maximum;
    if (total > b->maximum) {
        if (!b->overflow) {
            dartu_options_log_error("Buffer overflow - max size %u, wants %u", b->maximum, static_cast<unsigned>(total));
            b->overflow = 1;
        }
        return 1;
    }
    if (b->capacity >= target) return 0;
    if (!b->storage) {
        char* s = static_cast<char*>(std::calloc(1, target));
        if (!s) return 1;
        b->storage = s;
        b->capacity = static_cast<u32>(target);
        return 0;
    }
    u64 size = (2 * target < kDoubleAheadLimit && 2 * target < b->maximum) ? 2 * target : target;
    // On failure the old storage and its contents stay: the length still
    // describes them, so nothing reads past the array.
    char* s = static_cast<char*>(std::realloc(b->storage, size));
    if (!s) return 1;
    b->storage = s;
    b->capacity = static_cast<u32>(size);
    return 0;
}

int dartu_buffer_put_data(dartu_buffer* b, const void* bytes, size_t count) {
    if (count == 0) return 0;
    if (b->capacity - b->length < count && dartu_buffer_grow(b, static_cast<u64>(b->length) + count) != 0) return 1;
    std::memcpy(b->storage + b->length, bytes, count);
    b->length += static_cast<u32>(count);
    return 0;
}

int dartu_buffer_create_grow(dartu_buffer** buffer, u32 kind, u32 extra, u32 maximum) {
    if (*buffer) {
        dartu_buffer* b = *buffer;
        if (dartu_buffer_call_overflow_error(b, extra)) return 2;
        return dartu_buffer_grow(b, static_cast<u64>(b->length) + extra) == 0 ? 0 : 2;
    }
    if (dartu_util_call_overflow_error(maximum, extra)) return 2;
    *buffer = dartu_buffer_get(kind, extra, maximum, 0);
    return *buffer ? 0 : 2;
}

int dartu_buffer_call_overflow_error(const dartu_buffer* b, u64 extra) {
    return dartu_util_call_overflow_error(b->maximum, static_cast<u64>(b->length) + extra);
}

int dartu_buffer_is_overflowed(const dartu_buffer* b) {
    for (; b; b = b->chained) {
        if (b->overflow) return -1;
    }
    return 0;
}

void dartu_buffer_return(dartu_buffer* b) {
    if (!b) return;
    if (b->marker == kDartuBufferReturned) {
        dartu_options_log_error("DEBUG: Tried to free already freed buffer");
        return;
    }
    b->marker = kDartuBufferReturned;
    if (b->capacity > kDartuPooledStorageMax) {
        std::free(b->storage);
        b->storage = nullptr;
        b->capacity = 0;
        b->maximum = 0;
    }
    if (b->file) std::fclose(b->file);
    b->file = nullptr;
    dartu_buffer* chained = b->chained;
    b->chained = nullptr;
    dartu_buffer_return(chained);
    dartu_buffer_reset(b, 1);
    dartu_global_context_t* ctx = dartu_global_context();
    dartu_lock_mutex_lock(&ctx->buffer_lock);
    bool pooled = ctx->buffer_pool_count < kDartuPoolLimit;
    if (pooled) {
        b->pool_next = ctx->buffer_pool;
        ctx->buffer_pool = b;
        ctx->buffer_pool_count++;
    }
    dartu_lock_mutex_unlock(&ctx->buffer_lock);
    if (!pooled) dartu_buffer_free(b);
}

void dartu_buffer_free(dartu_buffer* b) {
    while (b) {
        dartu_buffer* next = b->chained;
        std::free(b->storage);
        if (b->file) std::fclose(b->file);
        std::free(b);
        b = next;
    }
}

void dartu_buffer_free_all() {
    dartu_global_context_t* ctx = dartu_global_context();
    dartu_lock_mutex_lock(&ctx->buffer_lock);
    dartu_buffer* b = ctx->buffer_pool;
    ctx->buffer_pool = nullptr;
    ctx->buffer_pool_count = 0;
    dartu_lock_mutex_unlock(&ctx->buffer_lock);
    while (b) {
        dartu_buffer* next = b->pool_next;
        dartu_buffer_free(b);  // pooled records hold no chain or file
        b = next;
    }
}

int dartu_buffer_get_data(dartu_buffer* b, const char** out, char* scratch, size_t scratch_size,
                          const char* delimiter, size_t delimiter_length) {
    *out = nullptr;
    int count = 0;
    for (;;) {
        if (!b || b->kind == kDartuBufNone) return -1;
        if (b->kind == kDartuBufHeaderFile && !scratch) return -1;
        if (b->read_pos < b->length) {
            *out = b->storage + b->read_pos;
            count = static_cast<int>(b->length - b->read_pos);
            break;
        }
        if (b->kind == kDartuBufHeaderFile) {
            if (!b->file || std::fseek(b->file, b->file_offset, SEEK_SET) != 0) return -1;
            if (b->file_offset >= b->file_size) return 0;
            i64 left = b->file_size - b->file_offset;
            size_t want = static_cast<u64>(left) < scratch_size ? static_cast<size_t>(left) : scratch_size;
            size_t got = std::fread(scratch, 1, want, b->file);
            if (got == 0) return -1;  // the file shrank or failed under us
            *out = scratch;
            count = static_cast<int>(got);
            break;
        }
        if (b->kind == kDartuBufHeaderChained || b->kind == kDartuBufRequestChained) {
            if (!b->chained) return -1;
            b = b->chained;
            continue;
        }
        return 0;
    }
    if (delimiter && delimiter_length > 0 && static_cast<size_t>(count) >= delimiter_length) {
        int at = dartu_util_strnstr(*out, static_cast<size_t>(count), delimiter, delimiter_length);
        if (at >= 0) count = at + static_cast<int>(delimiter_length);
    }
    return count;
}

void dartu_buffer_get_advance(dartu_buffer* b, size_t count) {
    while (b) {
        if (b->read_pos < b->length) {
            u64 pos = b->read_pos + static_cast<u64>(count);
            b->read_pos = pos > b->length ? b->length : static_cast<u32>(pos);
            return;
        }
        if (b->kind == kDartuBufHeaderFile) {
            i64 pos = b->file_offset + static_cast<i64>(count);
            b->file_offset = pos > b->file_size ? b->file_size : pos;
            return;
        }
        if (b->kind != kDartuBufHeaderChained && b->kind != kDartuBufRequestChained) return;
        b = b->chained;
    }
}

u64 dartu_buffer_available_data(const dartu_buffer* b) {
    u64 sum = 0;
    while (b) {
        if (b->length > b->read_pos) sum += b->length - b->read_pos;
        if (b->kind == kDartuBufHeaderFile) {
            if (b->file_size > b->file_offset) sum += static_cast<u64>(b->file_size - b->file_offset);
            break;
        }
        if (b->kind != kDartuBufHeaderChained && b->kind != kDartuBufRequestChained) break;
        b = b->chained;
    }
    return sum;
}

int dartu_buffer_put_file(dartu_buffer* b, const char* path) {
    if (b->file) std::fclose(b->file);
    b->file = nullptr;
    b->file_size = 0;
    if (b->kind != kDartuBufHeaderFile) return -1;
    b->file_offset = 0;
    FILE* f = path ? std::fopen(path, "rb") : nullptr;
    if (!f) return -1;
    long size = -1;
    if (std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
    if (size < 0 || std::fseek(f, 0, SEEK_SET) != 0) {
        std::fclose(f);
        return -1;
    }
    b->file = f;
    b->file_size = size;
    return 0;
}

int dartu_buffer_discard_file_content(dartu_buffer* b) {
    if (b->kind != kDartuBufHeaderFile) return -1;
    if (b->file) std::fclose(b->file);
    b->file = nullptr;
    b->file_offset = 0;
    b->file_size = 0;
    return 0;
}

int dartu_buffer_put_chained_content(dartu_buffer* header, dartu_buffer* content) {
    header->content_length = 0;
    header->content_length_known = 0;
    if (header->chained) {
        dartu_buffer_return(header->chained);
        header->chained = nullptr;
        header->content_length_known = 1;
        header->content_length = content ? content->length : 0;
    }
    if (header->kind != kDartuBufHeaderChained && header->kind != kDartuBufRequestChained) return -1;
    if (content) content->retain = header->retain;
    header->header_length = header->length;
    header->chained = content;
    return 0;
}

int dartu_buffer_build_dict(dartu_buffer* b) {
    const u32 bodyEnd = b->length;
    u32 start = b->read_pos;
    if (start > bodyEnd) start = bodyEnd;
    const char zero = 0;
    if (dartu_buffer_put_data(b, &zero, 1) != 0) return -1;
    const u32 dict = b->length;
    b->dict_offset = dict;
    b->kind = kDartuBufRequestDict;
    while (start < bodyEnd) {
        u32 eq = Find(b, start, bodyEnd, '=');
        if (eq == bodyEnd) break;
        // The decoded key ends with a NUL at the latest on the '='.
        dartu_util_url_decode(b->storage + start, static_cast<int>(eq - start), b->storage + start,
                              static_cast<int>(eq - start + 1), 1, 1);
        u32 value = eq + 1;
        u32 valueLength = 0;
        u32 next;
        if (value == bodyEnd || b->storage[value] == '&') {
            b->storage[value] = '\0';  // at the body end this is the appended 0x00
            next = value + 1;
        } else {
            u32 amp = Find(b, value, bodyEnd, '&');
            valueLength = static_cast<u32>(dartu_util_url_decode(b->storage + value, static_cast<int>(amp - value),
                                                                 b->storage + value,
                                                                 static_cast<int>(amp - value + 1), 1, 1));
            next = amp + 1;
        }
        // Every append is checked: a dictionary that no longer fits the
        // request maximum is refused whole instead of being cut short.
        if (AppendEntry(b, start, value, valueLength) != 0) {
            b->length = dict;
            return -1;
        }
        start = next;
    }
    const char terminator[kDictEntryBytes] = {};
    if (dartu_buffer_put_data(b, terminator, sizeof terminator) != 0) {
        b->length = dict;
        return -1;
    }
    return 0;
}

int dartu_buffer_get_dict_entry(const dartu_buffer* b, u32 index, const char** key, const char** value,
                                u32* value_length) {
    *key = nullptr;
    *value = nullptr;
    *value_length = 0;
    if (!b || !b->storage || b->dict_offset == 0) return -1;
    u64 at = b->dict_offset + static_cast<u64>(index) * kDictEntryBytes;
    if (at + kDictEntryBytes > b->length) return -1;
    const char* e = b->storage + at;
    u32 k = Get24(e);
    u32 v = Get24(e + 3);
    u32 n = Get24(e + 6);
    if (k == 0 || k >= b->dict_offset || v >= b->dict_offset || v + static_cast<u64>(n) >= b->dict_offset)
        return -1;
    *key = b->storage + k;
    *value = b->storage + v;
    *value_length = n;
    return 0;
}
