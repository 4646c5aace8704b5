#include "darTUsdk/dartusdk/dartu_engine.h"

#include <strings.h>

#include <cstdio>
#include <cstring>

#include "darTUsdk/dartusdk/dartu_auth.h"
#include "darTUsdk/dartusdk/dartu_buffer.h"
#include "darTUsdk/dartusdk/dartu_comm.h"
#include "darTUsdk/dartusdk/dartu_context.h"
#include "darTUsdk/dartusdk/dartu_error.h"
#include "darTUsdk/dartusdk/dartu_files.h"
#include "darTUsdk/dartusdk/dartu_json.h"
#include "darTUsdk/dartusdk/dartu_options.h"
#include "darTUsdk/dartusdk/dartu_util.h"

// Rows in name order; codes count from 1 in that order.
dartu_post_method post_method_types[] = {
    {"acceptalarm", 11, 1, 1, 1, nullptr, nullptr},
    {"changepassword", 14, 2, 1, 1, nullptr, nullptr},
    {"createsession", 13, 3, 1, 0, nullptr, nullptr},
    {"createsubscription", 18, 4, 1, 1, nullptr, nullptr},
    {"deletesession", 13, 5, 1, 1, nullptr, nullptr},
    {"deletesubscription", 18, 6, 1, 1, nullptr, nullptr},
    {"info", 4, 7, 0, 0, nullptr, nullptr},
    {"listprocessimage", 16, 8, 0, 1, nullptr, nullptr},
    {"login", 5, 9, 1, 1, nullptr, nullptr},
    {"logout", 6, 10, 1, 1, nullptr, nullptr},
    {"publish", 7, 11, 1, 1, nullptr, nullptr},
    {"queryfilter", 11, 12, 2, 1, nullptr, nullptr},
    {"read", 4, 13, 0, 1, nullptr, nullptr},
    {"readhistory", 11, 14, 2, 1, nullptr, nullptr},
    {"readprocessimage", 16, 15, 0, 1, nullptr, nullptr},
    {"subscribealarm", 14, 16, 1, 1, nullptr, nullptr},
    {"subscribedata", 13, 17, 1, 1, nullptr, nullptr},
    {"subscribefilter", 15, 18, 2, 1, nullptr, nullptr},
    {"unsubscribealarm", 16, 19, 1, 1, nullptr, nullptr},
    {"unsubscribedata", 15, 20, 1, 1, nullptr, nullptr},
    {"unsubscribefilter", 17, 21, 2, 1, nullptr, nullptr},
    {"write", 5, 22, 0, 1, nullptr, nullptr},
};
const u32 kDartuPostMethodCount = sizeof post_method_types / sizeof post_method_types[0];

namespace {

dartu_clock_seconds_fn g_clock = nullptr;

// strncmp over the longer of the two lengths: exact names only.
int CompareName(const char* a, u32 alen, const char* b, u32 blen) {
    int r = std::strncmp(a, b, alen < blen ? alen : blen);
    if (r != 0) return r;
    return alen == blen ? 0 : (alen < blen ? -1 : 1);
}

int Put(dartu_buffer* b, const char* text) { return dartu_buffer_put_data(b, text, std::strlen(text)); }

int Printf(dartu_buffer* b, const char* format, ...) __attribute__((format(printf, 2, 3)));
int Printf(dartu_buffer* b, const char* format, ...) {
    char line[512];
    va_list ap;
    va_start(ap, format);
    int n = std::vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    if (n < 0 || static_cast<size_t>(n) >= sizeof line) return 1;
    return dartu_buffer_put_data(b, line, static_cast<size_t>(n));
}

const char* Unread(const dartu_buffer* b) { return b->storage + b->read_pos; }
u32 UnreadLength(const dartu_buffer* b) { return b->length - b->read_pos; }

// Offset of the first CR LF, or -1.
int LineEnd(const char* p, u32 n) { return dartu_util_strnstr(p, n, "\r\n", 2); }

// A reply for a request that got none: the client would otherwise wait for
// ever. Without even that buffer the connection is closed.
dartu_buffer* InternalError(dartu_connection_info* c) {
    dartu_buffer* r = dartu_engine_not_available_err("", 500, "Internal Server Error", 0, 0);
    if (!r && c) c->close_after_send = 1;
    return r;
}

int PutErrorObject(dartu_buffer* b, i32 code, int empty_for_success) {
    if (code == 0) return Put(b, empty_for_success ? "{}" : "{\"error\":0}");
    int n = dartu_util_write_errstrings(nullptr, 0, code);
    if (n < 0) return 1;
    char head[64];
    int h = std::snprintf(head, sizeof head, "{\"error\":%d,\"errorstring\":", code);
    if (dartu_buffer_grow(b, static_cast<u64>(b->length) + h + n + 1) != 0) return 1;
    std::memcpy(b->storage + b->length, head, static_cast<size_t>(h));
    b->length += static_cast<u32>(h);
    dartu_util_write_errstrings(b->storage + b->length, static_cast<size_t>(n) + 1, code);
    b->length += static_cast<u32>(n);
    return Put(b, "}");
}

// Handles one complete request and queues its reply; a request without one
// gets a 500.
void HandleOne(dartu_connection_info* c, dartu_buffer* request) {
    dartu_buffer* reply = dartu_engine_handle_request(c, request);
    if (!reply) reply = InternalError(c);
    if (reply) dartu_comm_send(c, reply);
}

// Content-Length inside the header block: 1 found (value in *out), 0 none,
// -1 malformed, negative or above the limit.
int ContentLength(const char* headers, u32 length, u32 limit, u32* out) {
    int at = dartu_util_strcasenstr(headers, length, "Content-Length:", 15);
    if (at < 0) return 0;
    const char* p = headers + at + 15;
    const char* end = headers + length;
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
    bool negative = p < end && *p == '-';
    if (negative || (p < end && *p == '+')) ++p;
    u64 v = 0;
    bool digits = false;
    while (p < end && *p >= '0' && *p <= '9') {
        v = v * 10 + static_cast<u64>(*p - '0');
        digits = true;
        if (v > limit) return -1;
        ++p;
    }
    if (negative && v > 0) return -1;
    if (!digits) return -1;
    *out = static_cast<u32>(v);
    return 1;
}

}  // namespace

// ---- Request table ---------------------------------------------------------------

int dartu_engine_set_post_handler(const char* name, dartu_post_handler handler, dartu_post_after after) {
    for (dartu_post_method& m : post_method_types) {
        if (std::strcmp(m.name, name) == 0) {
            m.handler = handler;
            m.after = after;
            return 0;
        }
    }
    return -1;
}

u32 dartu_engine_get_post_request_method(const char* name, u32 length) {
    u32 lo = 0, hi = kDartuPostMethodCount;
    while (lo < hi) {
        u32 mid = (lo + hi) / 2;
        const dartu_post_method& m = post_method_types[mid];
        int r = CompareName(name, length, m.name, m.length);
        if (r == 0) return m.level <= dartu_global_options()->server_level ? m.code : 0;
        if (r < 0) hi = mid;
        else lo = mid + 1;
    }
    return 0;
}

const dartu_post_method* dartu_engine_post_method(u32 code) {
    if (code == 0 || code > kDartuPostMethodCount) return nullptr;
    return &post_method_types[code - 1];
}

void dartu_engine_set_clock(dartu_clock_seconds_fn clock) { g_clock = clock; }
i64 dartu_engine_clock_seconds() { return g_clock ? g_clock() : -1; }

// ---- Headers ------------------------------------------------------------------------

const char* dartu_engine_find_header(const dartu_buffer* request, const char* name, u32* length) {
    *length = 0;
    u32 end = request->header_length ? request->header_length : request->length;
    if (end > request->length) end = request->length;
    const size_t nlen = std::strlen(name);
    u32 pos = request->read_pos;
    // From the line after the request line (the read position is there).
    while (pos < end) {
        int e = LineEnd(request->storage + pos, end - pos);
        u32 lineLen = e < 0 ? end - pos : static_cast<u32>(e);
        if (lineLen == 0) break;
        if (lineLen >= nlen && strncasecmp(request->storage + pos, name, nlen) == 0) {
            *length = static_cast<u32>(lineLen - nlen);
            return request->storage + pos + nlen;
        }
        if (e < 0) break;
        pos += lineLen + 2;
    }
    return nullptr;
}

// ---- Framing ----------------------------------------------------------------------

int dartu_engine_handle_data(dartu_connection_info* c, dartu_buffer** partial, dartu_buffer* received) {
    dartu_global_options_t* o = dartu_global_options();
    const bool peerClosed = received->length == received->read_pos;
    const u32 partialMax = o->request_max + kDartuUrlMax + 4096;
    auto fail = [&]() {
        c->close_after_send = 1;
        dartu_buffer_reset_data(received);
        return -1;
    };
    dartu_buffer* work = received;
    if (*partial) {
        if (dartu_buffer_put_data(*partial, Unread(received), UnreadLength(received)) != 0) return fail();
        work = *partial;
    }
    while (UnreadLength(work) > 0) {
        const char* p = Unread(work);
        const u32 avail = UnreadLength(work);
        int e = LineEnd(p, avail);
        if (e < 0) break;
        if (e == 0) {  // an empty line between requests
            dartu_buffer_get_advance(work, 2);
            continue;
        }
        if (e < 3) {
            dartu_buffer_get_advance(work, static_cast<size_t>(e) + 2);
            continue;
        }
        const u32 lineLen = static_cast<u32>(e);
        bool simple = false;
        if (lineLen >= 4 && std::memcmp(p, "GET ", 4) == 0) {
            simple = dartu_util_strnstr(p + 4, lineLen - 4, " ", 1) < 0;
        }
        u32 total, headerLen, contentLen = 0, known = 0;
        if (simple) {
            headerLen = total = lineLen + 2;
        } else {
            int h = dartu_util_strnstr(p, avail, "\r\n\r\n", 4);
            if (h < 0) break;
            headerLen = static_cast<u32>(h) + 4;
            int cl = ContentLength(p, headerLen, o->request_max, &contentLen);
            if (cl < 0) {
                dartu_options_log_error("Content-Length negative or too large");
                return fail();
            }
            known = cl == 1;
            // Without a Content-Length a request has no body, so a pipelined
            // request behind it is its own; a closed peer's rest is taken whole.
            if (!known) contentLen = peerClosed ? avail - headerLen : 0;
            if (avail < headerLen + contentLen) {
                if (!peerClosed) break;
                contentLen = avail - headerLen;
            }
            total = headerLen + contentLen;
        }
        dartu_buffer* rq = dartu_buffer_get(kDartuBufRequest, total + 1, total + 1 + o->request_max, 0);
        if (!rq) return fail();
        dartu_buffer_put_data(rq, p, total);
        rq->header_length = headerLen;
        rq->content_length = contentLen;
        rq->content_length_known = known;
        rq->framing[0] = simple ? 1 : 0;  // simple request
        rq->framing[1] = 1;               // request line checked
        dartu_buffer_get_advance(work, total);
        HandleOne(c, rq);
    }
    if (work == received) {
        if (UnreadLength(received) > 0) {
            dartu_buffer* keep = dartu_buffer_get(kDartuBufContent, 1024, partialMax, 0);
            if (!keep || dartu_buffer_put_data(keep, Unread(received), UnreadLength(received)) != 0) {
                dartu_buffer_return(keep);
                return fail();
            }
            *partial = keep;
        }
    } else if (UnreadLength(work) == 0) {
        dartu_buffer_return(work);
        *partial = nullptr;
    } else if (work->read_pos > 0) {
        u32 left = UnreadLength(work);
        std::memmove(work->storage, work->storage + work->read_pos, left);
        work->length = left;
        work->read_pos = 0;
    }
    dartu_buffer_reset_data(received);
    return 0;
}

// ---- Request line -------------------------------------------------------------------

dartu_buffer* dartu_engine_handle_request(dartu_connection_info* c, dartu_buffer* rq) {
    const char* p = Unread(rq);
    u32 avail = UnreadLength(rq);
    int e = LineEnd(p, avail);
    u32 lineLen = e < 0 ? avail : static_cast<u32>(e);
    u32 searchLen = lineLen < kDartuMethodSearch ? lineLen : kDartuMethodSearch;
    int sp = dartu_util_strnstr(p, searchLen, " ", 1);
    dartu_buffer* reply = nullptr;
    if (sp <= 2) {
        reply = dartu_engine_not_available_err("", 500, "No recognizable method found in request", 0, 0);
        dartu_buffer_return(rq);
        return reply;
    }
    char method[kDartuMethodSearch + 1];
    std::memcpy(method, p, static_cast<size_t>(sp));
    method[sp] = 0;
    const char* url = p + sp + 1;
    u32 rest = lineLen - static_cast<u32>(sp) - 1;
    u32 urlLen;
    if (rq->framing[0]) {
        urlLen = rest;
    } else {
        int sp2 = dartu_util_strnstr(url, rest, " ", 1);
        urlLen = sp2 < 0 ? kDartuUrlMax + 1 : static_cast<u32>(sp2);  // no end of the URL: refused
    }
    if (urlLen > kDartuUrlMax) {
        reply = dartu_engine_not_available_err(method, 414, "Request-URL Too Long", 0, 0);
        dartu_buffer_return(rq);
        return reply;
    }
    // The URL stays in the request buffer, which lives until the handler ends.
    u32 urlOffset = static_cast<u32>(url - rq->storage);
    dartu_buffer_get_advance(rq, e < 0 ? avail : lineLen + 2);
    const char* urlText = rq->storage + urlOffset;
    if (std::strncmp(method, "GET", 3) == 0 || std::strcmp(method, "HEAD") == 0) {
        int head = method[0] == 'H';
        dartu_engine_handle_head_get_request(urlText, urlLen, head, dartu_global_options()->web_root, c, rq, &reply);
        return reply;
    }
    if (std::strcmp(method, "POST") == 0) {
        dartu_engine_handle_post_request(urlText, urlLen, c, rq, &reply);
        return reply;
    }
    reply = dartu_engine_not_available_err(method, 500, "Invalid method", 0, 0);
    dartu_buffer_return(rq);
    return reply;
}

// ---- POST ----------------------------------------------------------------------------

void dartu_engine_handle_post_request(const char* url, u32 url_length, dartu_connection_info* c, dartu_buffer* rq,
                                      dartu_buffer** reply) {
    *reply = nullptr;
    dartu_global_options_t* o = dartu_global_options();
    u32 authLen = 0, sessionLen = 0;
    const char* auth = dartu_engine_find_header(rq, "Authorization: ", &authLen);
    const char* sessionHeader = dartu_engine_find_header(rq, "X-DarTU: ", &sessionLen);
    if (c) c->keep_alive = 0;

    char urlText[kDartuUrlMax + 1];
    std::memcpy(urlText, url, url_length);
    urlText[url_length] = 0;
    char realm[kDartuAuthFieldSize], user[kDartuAuthFieldSize], password[kDartuAuthFieldSize];
    if (!dartu_auth_verify_access(c, auth, authLen, "POST", urlText, c ? static_cast<int>(c->tls) : 0, realm, user,
                                  password, reply)) {
        dartu_buffer_return(rq);
        return;
    }
    const u32 prefixLen = o->prefix_length;
    if (!o->prefix || url_length <= prefixLen || std::memcmp(url, o->prefix, prefixLen) != 0 ||
        url[prefixLen] != '?') {
        *reply = dartu_engine_not_available_err(urlText, 404, "Not found", 0, 0);
        dartu_buffer_return(rq);
        return;
    }
    // The dictionary decodes the body in place behind the headers; the
    // session header is copied out first and ended within its 256 bytes, so
    // its check never reads into the following header lines.
    char sessionText[kDartuSessionHeaderMax + 3];
    bool hasSession = sessionHeader != nullptr;
    if (hasSession) {
        u32 n = sessionLen < kDartuSessionHeaderMax ? sessionLen : kDartuSessionHeaderMax;
        std::memcpy(sessionText, sessionHeader, n);
        // The value's own line end belongs to it (the check looks for it).
        if (sessionLen < kDartuSessionHeaderMax) {
            sessionText[n++] = '\r';
            sessionText[n++] = '\n';
        }
        sessionText[n] = 0;
    }
    rq->read_pos = rq->header_length;
    if (dartu_buffer_put_data(rq, "", 1) != 0) {
        *reply = InternalError(c);
        dartu_buffer_return(rq);
        return;
    }
    rq->length--;  // the NUL stays behind the body
    if (dartu_buffer_build_dict(rq) != 0) {
        dartu_engine_construct_json_error_response(reply, 0, 304);
        dartu_buffer_return(rq);
        return;
    }
    const char* name = urlText + prefixLen + 1;
    u32 code = dartu_engine_get_post_request_method(name, url_length - prefixLen - 1);

    dartu_post_request pr{};
    pr.connection = c;
    pr.request = rq;
    pr.url = urlText;
    pr.url_length = url_length;
    pr.realm = realm;
    pr.user = user;
    pr.password = password;
    pr.session_index = -1;
    if (hasSession) {
        pr.session_header = sessionText;
        i32 err = 0;
        if (o->server_level != kDartuLevelBasic)
            err = dartu_engine_session_verify_header(sessionText, static_cast<u32>(std::strlen(sessionText)),
                                                     &pr.session, &pr.session_index);
        if (err != 0) {
            dartu_engine_construct_json_error_response(reply, 0, err);
            dartu_buffer_return(rq);
            return;
        }
    }
    if (c) c->session = pr.session;
    dartu_request_hook_cb hook = dartu_global_context()->cb.request_hook;
    if (hook) {
        void* deferred = nullptr;
        if (hook("POST", urlText, c, rq, reply, &deferred, nullptr)) {
            if (!deferred) dartu_buffer_return(rq);
            return;
        }
    }
    const dartu_post_method* m = dartu_engine_post_method(code);
    if (!m) {
        dartu_engine_construct_json_error_response(reply, 0, 300);
    } else if (m->session_required && !pr.session && o->server_level != kDartuLevelBasic) {
        dartu_engine_construct_json_error_response(reply, 0, 454);
    } else if (!m->handler) {
        dartu_engine_construct_json_error_response(reply, 0, 501);
    } else {
        m->handler(&pr);
        *reply = pr.reply;
        if (m->after) m->after(&pr);
    }
    if (!pr.deferred) dartu_buffer_return(rq);
}

// ---- Replies ------------------------------------------------------------------------

int dartu_engine_initialize_response_fields(dartu_buffer* r, int status, const char* text, u32 keep_alive) {
    dartu_buffer_reset_data(r);
    dartu_global_options_t* o = dartu_global_options();
    if (Printf(r, "HTTP/1.0 %d %s\r\n", status, text) != 0) return 1;
    if (Printf(r, "Server: %s\r\n", o->server_banner ? o->server_banner : "") != 0) return 1;
    char date[64];
    i64 now = dartu_engine_clock_seconds();
    if (now >= 0 && dartu_util_output_http_time(now, date, sizeof date) > 0) {
        if (Printf(r, "Date: %s\r\n", date) != 0) return 1;
    }
    if (keep_alive && Put(r, "Connection: Keep-Alive\r\n") != 0) return 1;
    r->response_status = status;
    return 0;
}

dartu_buffer* dartu_engine_initialize_response(int status, const char* text, u32 keep_alive) {
    dartu_buffer* r = dartu_buffer_get(kDartuBufHeader, 1024, dartu_global_options()->response_max, 0);
    if (!r) return nullptr;
    if (dartu_engine_initialize_response_fields(r, status, text, keep_alive) != 0) {
        dartu_buffer_return(r);
        return nullptr;
    }
    r->kind = kDartuBufHeader;
    return r;
}

dartu_buffer* dartu_engine_initialize_response_mtsafe(int status, const char* text, u32 keep_alive) {
    dartu_buffer* r = dartu_buffer_get(kDartuBufUnpooled, 1024, dartu_global_options()->response_max, 1);
    if (!r) return nullptr;
    r->retain = 1;
    if (dartu_engine_initialize_response_fields(r, status, text, keep_alive) != 0) {
        dartu_buffer_free(r);
        return nullptr;
    }
    return r;
}

dartu_buffer* dartu_engine_get_content_buffer_mtsafe() {
    dartu_buffer* b = dartu_buffer_get(kDartuBufUnpooled, 512, dartu_global_options()->response_max, 1);
    if (b) b->retain = 1;
    return b;
}

int dartu_engine_chain_content(dartu_buffer* reply, dartu_buffer* contents, const char* content_type) {
    u32 n = contents ? contents->length - contents->read_pos : 0;
    if ((content_type && Printf(reply, "Content-Type: %s\r\n", content_type) != 0) ||
        Printf(reply, "Content-Length: %u\r\n\r\n", n) != 0) {
        dartu_buffer_return(contents);
        return -1;
    }
    reply->kind = reply->kind == kDartuBufRequest ? kDartuBufRequestChained : kDartuBufHeaderChained;
    return dartu_buffer_put_chained_content(reply, contents);
}

int dartu_engine_construct_json_response(u32 keep_alive, dartu_buffer** reply, dartu_buffer* contents) {
    if (*reply) {
        if (dartu_engine_initialize_response_fields(*reply, 200, "OK", keep_alive) != 0) {
            dartu_buffer_return(contents);
            return -1;
        }
    } else {
        *reply = dartu_engine_initialize_response(200, "OK", keep_alive);
        if (!*reply) {
            dartu_buffer_return(contents);
            return -1;
        }
    }
    if (Put(*reply, "Cache-Control: no-cache\r\n") != 0) {
        dartu_buffer_return(contents);
        return -1;
    }
    return dartu_engine_chain_content(*reply, contents, "application/json");
}

int dartu_engine_construct_json_error_response_with_content(dartu_buffer** reply, u32 keep_alive, i32 code,
                                                            dartu_buffer* contents) {
    if (!contents || PutErrorObject(contents, code, 0) != 0) {
        dartu_buffer_return(contents);
        return -1;
    }
    return dartu_engine_construct_json_response(keep_alive, reply, contents);
}

int dartu_engine_construct_json_on_error_response_with_content(dartu_buffer** reply, u32 keep_alive, i32 code,
                                                               dartu_buffer* contents) {
    if (!contents || PutErrorObject(contents, code, 1) != 0) {
        dartu_buffer_return(contents);
        return -1;
    }
    return dartu_engine_construct_json_response(keep_alive, reply, contents);
}

int dartu_engine_construct_json_error_response(dartu_buffer** reply, u32 keep_alive, i32 code) {
    dartu_buffer* b = dartu_buffer_get(kDartuBufContent, 512, dartu_global_options()->response_max, 0);
    return dartu_engine_construct_json_error_response_with_content(reply, keep_alive, code, b);
}

int dartu_engine_construct_json_on_error_response(dartu_buffer** reply, u32 keep_alive, i32 code) {
    dartu_buffer* b = dartu_buffer_get(kDartuBufContent, 512, dartu_global_options()->response_max, 0);
    return dartu_engine_construct_json_on_error_response_with_content(reply, keep_alive, code, b);
}

int dartu_engine_construct_json_result_header(dartu_buffer* b, int list) {
    return Put(b, list ? "{\"result\":[" : "{\"result\":") != 0 ? 1 : 0;
}

int dartu_engine_construct_json_result_footer(dartu_buffer* b, int list) {
    return Put(b, list ? "]}" : "}") != 0 ? 1 : 0;
}

int dartu_engine_construct_json_more_flag_footer(dartu_buffer* b, int list) {
    return Put(b, list ? "],\"more\":\"true\"}" : ",\"more\":\"true\"}") != 0 ? 1 : 0;
}

int dartu_engine_construct_json_object_string(dartu_buffer* b, const char* name, const char* value) {
    int n = 2 + dartu_json_put_string(nullptr, 0, name, -1) + 1 + dartu_json_put_string(nullptr, 0, value, -1);
    if (dartu_buffer_grow(b, static_cast<u64>(b->length) + n) != 0) return 1;
    char* d = b->storage + b->length;
    size_t cap = b->capacity - b->length;
    int w = dartu_json_put_delimiter(d, cap, kDartuJsonObjectOpen);
    w += dartu_json_put_string(d + w, cap - w, name, -1);
    w += dartu_json_put_delimiter(d + w, cap - w, kDartuJsonColon);
    w += dartu_json_put_string(d + w, cap - w, value, -1);
    w += dartu_json_put_delimiter(d + w, cap - w, kDartuJsonObjectClose);
    b->length += static_cast<u32>(w);
    return 0;
}

int dartu_engine_construct_json_errstrings_object(dartu_buffer* b, i32 code, int empty_for_success) {
    return PutErrorObject(b, code, empty_for_success) != 0 ? 1 : 0;
}

int dartu_engine_construct_json_result_error(dartu_buffer* b, i32 code) {
    int n = dartu_util_write_errstrings(nullptr, 0, code);
    if (n < 0) return 1;
    char head[64];
    int h = std::snprintf(head, sizeof head, "\"error\":%d,\"errorstring\":", code);
    u64 total = static_cast<u64>(b->length) + 11 + h + n + 2;
    if (dartu_buffer_grow(b, total) != 0) return 1;
    dartu_engine_construct_json_result_header(b, 1);
    dartu_buffer_put_data(b, head, static_cast<size_t>(h));
    dartu_util_write_errstrings(b->storage + b->length, static_cast<size_t>(n) + 1, code);
    b->length += static_cast<u32>(n);
    return dartu_engine_construct_json_result_footer(b, 1);
}

dartu_buffer* dartu_engine_not_available_err(const char* entity, int status, const char* text, u32 keep_alive,
                                             int head) {
    dartu_buffer* r = dartu_engine_initialize_response(status, text, keep_alive);
    if (!r) return nullptr;
    if (head) {
        if (Put(r, "\r\n") != 0) {
            dartu_buffer_return(r);
            return nullptr;
        }
        return r;
    }
    dartu_buffer* body = dartu_buffer_get(kDartuBufContent, 512, dartu_global_options()->response_max, 0);
    if (!body) {
        dartu_buffer_return(r);
        return nullptr;
    }
    int bad = Printf(body, "<!DOCTYPE html><html><head><title>%d %s</title></head><body><h1>%s</h1><p>Requested Entity: ",
                     status, text, text);
    size_t n = std::strlen(entity);
    if (n > 255) n = 255;
    for (size_t i = 0; i < n && !bad; ++i) {
        switch (entity[i]) {
            case '"': bad = Put(body, "&quot;"); break;
            case '&': bad = Put(body, "&amp;"); break;
            case '\'': bad = Put(body, "&apos;"); break;
            case '<': bad = Put(body, "&lt;"); break;
            case '>': bad = Put(body, "&gt;"); break;
            default: bad = dartu_buffer_put_data(body, &entity[i], 1); break;
        }
    }
    if (bad || Put(body, "</p></body></html>") != 0 ||
        Printf(r, "Content-Length: %u\r\nContent-Type: text/html; charset=utf-8\r\n\r\n", body->length) != 0) {
        dartu_buffer_return(body);
        dartu_buffer_return(r);
        return nullptr;
    }
    r->kind = kDartuBufHeaderChained;
    r->header_length = r->length;
    r->chained = body;
    return r;
}
