#include "darTUsdk/dartusdk/dartu_files.h"

#include <limits.h>
#include <stdlib.h>
#include <strings.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "darTUsdk/dartusdk/dartu_auth.h"
#include "darTUsdk/dartusdk/dartu_buffer.h"
#include "darTUsdk/dartusdk/dartu_comm.h"
#include "darTUsdk/dartusdk/dartu_context.h"
#include "darTUsdk/dartusdk/dartu_engine.h"
#include "darTUsdk/dartusdk/dartu_mime.h"
#include "darTUsdk/dartusdk/dartu_options.h"
#include "darTUsdk/dartusdk/dartu_sys.h"
#include "darTUsdk/dartusdk/dartu_util.h"

namespace {

constexpr const char* kOctetStream = "application/octet-stream";

// The content type of the last path segment's extension, or none.
const char* TypeOf(const char* path) {
    const char* seg = std::strrchr(path, '/');
    seg = seg ? seg + 1 : path;
    if (*seg == '.') ++seg;
    const char* dot = std::strrchr(seg, '.');
    if (!dot || dot[1] == 0) return nullptr;
    return dartu_engine_find_mimetype(dot + 1);
}

// The file lies inside the web root once every link is followed.
bool InsideRoot(const char* path, const char* web_root) {
    char real[PATH_MAX], root[PATH_MAX];
    if (!realpath(path, real) || !realpath(web_root, root)) return false;
    size_t n = std::strlen(root);
    return std::strncmp(real, root, n) == 0 && (real[n] == 0 || real[n] == '/');
}

bool GzipFile(const char* path) {
    FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    unsigned char m[3] = {};
    size_t n = std::fread(m, 1, 3, f);
    std::fclose(f);
    return n == 3 && m[0] == 0x1F && m[1] == 0x8B && m[2] == 0x08;
}

dartu_buffer* Error(const char* entity, int status, const char* text, int head) {
    return dartu_engine_not_available_err(entity, status, text, 0, head);
}

dartu_buffer* Serve(const char* path, const char* decoded, int head, bool acceptGzip) {
    const char* type = TypeOf(path);
    bool gzip = type && GzipFile(path);
    if (gzip && !acceptGzip) return Error(decoded, 406, "Not acceptable (gzip)", head);
    dartu_buffer* r = dartu_engine_initialize_response(200, "OK", 0);
    if (!r) {
        dartu_options_log_error("Can't initialize response!");
        return nullptr;
    }
    r->kind = kDartuBufHeaderFile;
    if (dartu_buffer_put_file(r, path) != 0) {
        dartu_buffer_return(r);
        return Error(decoded, 404, "Not Found", head);
    }
    char lines[256];
    int n = std::snprintf(lines, sizeof lines, "Content-Length: %lld\r\nContent-Type: %s\r\n%s\r\n",
                          static_cast<long long>(r->file_size), type ? type : kOctetStream,
                          gzip ? "Content-Encoding: gzip\r\n" : "");
    if (n < 0 || static_cast<size_t>(n) >= sizeof lines || dartu_buffer_put_data(r, lines, static_cast<size_t>(n))) {
        dartu_buffer_return(r);
        return nullptr;
    }
    if (head) {
        dartu_buffer_discard_file_content(r);
        r->kind = kDartuBufHeader;
    }
    return r;
}

}  // namespace

void dartu_engine_handle_head_get_request(const char* url, u32 url_length, int head, const char* web_root,
                                          dartu_connection_info* c, dartu_buffer* rq, dartu_buffer** reply) {
    *reply = nullptr;
    u32 n = 0;
    const char* enc = dartu_engine_find_header(rq, "Accept-Encoding: ", &n);
    bool acceptGzip = enc && dartu_util_strcasenstr(enc, n, "gzip", 4) >= 0;
    u32 authLen = 0;
    const char* auth = dartu_engine_find_header(rq, "Authorization: ", &authLen);
    if (c) c->keep_alive = 0;

    // The decoded URL, whole: a path longer than the buffer must not be cut
    // into the name of another file.
    std::string decoded(url_length + 1, '\0');
    int dn = dartu_util_url_decode(url, static_cast<int>(url_length), decoded.data(),
                                   static_cast<int>(decoded.size()), 0, 1);
    decoded.resize(static_cast<size_t>(dn));
    const char* method = head ? "HEAD" : "GET";
    char realm[kDartuAuthFieldSize], user[kDartuAuthFieldSize], password[kDartuAuthFieldSize];
    if (!dartu_auth_verify_access(c, auth, authLen, method, decoded.c_str(), c ? static_cast<int>(c->tls) : 0, realm,
                                  user, password, reply)) {
        dartu_buffer_return(rq);
        return;
    }
    dartu_request_hook_cb hook = dartu_global_context()->cb.request_hook;
    if (hook) {
        void* deferred = nullptr;
        if (hook(method, decoded.c_str(), c, rq, reply, &deferred, nullptr)) {
            if (!deferred) dartu_buffer_return(rq);
            return;
        }
    }
    dartu_buffer_return(rq);
    if (!web_root) web_root = "";
    std::string rel = decoded;
    for (char& ch : rel)
        if (ch == '\\') ch = '/';
    size_t cut = rel.find_first_of("?#");
    if (cut != std::string::npos) rel.resize(cut);
    if (rel.empty() || rel[0] != '/') {
        *reply = Error(decoded.c_str(), 403, "Forbidden - is not an absolute path", head);
        return;
    }
    if (rel.find("/../") != std::string::npos ||
        (rel.size() >= 3 && rel.compare(rel.size() - 3, 3, "/..") == 0)) {
        *reply = Error(decoded.c_str(), 403, "Forbidden - no .. allowed", head);
        return;
    }
    std::string path = std::string(web_root) + rel;
    if (path.size() > kDartuPathMax || rel.find('\0') != std::string::npos) {
        *reply = Error(decoded.c_str(), 414, "Request-URL Too Long", head);
        return;
    }
    if (!dartu_sys_is_file(path.c_str())) {
        if (path.size() > 1 && path.back() == '/') path.pop_back();
        bool found = false;
        if (dartu_sys_is_directory(path.c_str())) {
            const char* docs = dartu_global_options()->default_documents;
            std::string list = docs ? docs : "";
            size_t start = 0;
            while (!found && start <= list.size()) {
                size_t end = list.find(';', start);
                if (end == std::string::npos) end = list.size();
                std::string name = list.substr(start, end - start);
                start = end + 1;
                if (name.empty()) continue;
                std::string candidate = path + "/" + name;
                if (candidate.size() > kDartuPathMax - 1) continue;
                if (dartu_sys_is_file(candidate.c_str())) {
                    path = candidate;
                    found = true;
                }
            }
        }
        if (!found) {
            *reply = Error(decoded.c_str(), 404, "Not Found", head);
            return;
        }
    }
    if (!InsideRoot(path.c_str(), web_root)) {
        *reply = Error(decoded.c_str(), 403, "Forbidden - outside the web root", head);
        return;
    }
    *reply = Serve(path.c_str(), decoded.c_str(), head, acceptGzip);
}
