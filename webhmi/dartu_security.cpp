#include "webhmi/dartu_security.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "darTUsdk/dartusdk/dartu_auth.h"
#include "darTUsdk/dartusdk/dartu_context.h"
#include "darTUsdk/dartusdk/dartu_options.h"
#include "darTUsdk/dartusdk/dartu_util.h"
#include "platform/root.h"
#include "webhmi/dartu_glue.h"

dartu_user_rights user_access_rights_list;

namespace {

// The decimal number after a field's first five characters.
u8 FieldNumber(const std::string& field) {
    if (field.size() <= 5) return 0;
    return static_cast<u8>(std::strtol(field.c_str() + 5, nullptr, 10));
}

}  // namespace

void dartu_acccess_rights_clear() {
    dartu_user_rights& t = user_access_rights_list;
    std::free(t.realm);
    t.realm = nullptr;
    for (u32 i = 0; i < t.count; ++i) {
        std::free(t.users[i].name);
        std::free(t.users[i].digest);
        t.users[i] = dartu_user_entry{};
    }
    t.count = 0;
}

void dartu_parse_n_get_access_rights_from_buffer(const char* text, u32 size) {
    dartu_acccess_rights_clear();
    dartu_user_rights& t = user_access_rights_list;
    std::string all(text, size);
    size_t pos = 0;
    auto nextLine = [&](std::string* line) {
        if (pos >= all.size()) return false;
        size_t e = all.find('\n', pos);
        if (e == std::string::npos) e = all.size();
        *line = all.substr(pos, e - pos);
        pos = e + 1;
        // Only a CR ends the line's text: a realm line without one keeps
        // every letter.
        if (!line->empty() && line->back() == '\r') line->pop_back();
        return true;
    };
    std::string line;
    if (!nextLine(&line) || line.empty()) return;
    t.realm = dartu_strdup(line.c_str());
    while (t.count < kDartuMaxUsers && nextLine(&line)) {
        std::string f[4];
        size_t start = 0;
        int n = 0;
        for (; n < 4; ++n) {
            size_t e = n < 3 ? line.find(';', start) : line.size();
            if (e == std::string::npos) break;
            f[n] = line.substr(start, e - start);
            start = e + 1;
        }
        // A line whose fields run out is an incomplete user: the parse ends.
        if (n < 4 || f[0].empty()) break;
        dartu_user_entry& u = t.users[t.count];
        u.name = dartu_strdup(f[0].c_str());
        u.digest = dartu_strdup(f[1].c_str());
        u.number = FieldNumber(f[2]);
        u8 level = FieldNumber(f[3]);
        u.level = level > kDartuMaxRightsLevel ? kDartuMaxRightsLevel : level;
        if (!u.name || !u.digest) {
            std::free(u.name);
            std::free(u.digest);
            u = dartu_user_entry{};
            break;
        }
        t.count++;
    }
}

void dartu_get_acccess_rights() {
    std::string path = Root_HostPath(std::string(Dartu_Folder()) + "/config/security.cfg");
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return;
    std::string text;
    char chunk[4096];
    size_t n;
    // Bounded: no realistic user list comes near it.
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0 && text.size() < (1u << 20)) text.append(chunk, n);
    std::fclose(f);
    dartu_parse_n_get_access_rights_from_buffer(text.data(), static_cast<u32>(text.size()));
}

int dartu_authentication_digest_cb(const dartu_credentials* cred, const char* password, char* digest_out,
                                   i32* error) {
    const dartu_user_rights& t = user_access_rights_list;
    const u32 method = dartu_global_options()->login_method;
    for (u32 i = 0; cred && cred->user && cred->realm && t.realm && i < t.count; ++i) {
        const dartu_user_entry& u = t.users[i];
        if (std::strcmp(u.name, cred->user) != 0 || std::strcmp(t.realm, cred->realm) != 0) continue;
        if (method == kDartuLoginHttpBasic) {
            u8 d[16];
            dartu_md5_state s;
            dartu_md5_init(&s);
            const char* parts[] = {cred->user, ":", cred->realm, ":", password ? password : ""};
            for (const char* p : parts) dartu_md5_process(&s, p, std::strlen(p));
            dartu_md5_done(&s, d);
            char hex[33];
            dartu_util_hex_encode(d, 16, hex);
            if (std::strcmp(hex, u.digest) != 0) continue;
        } else if (method != kDartuLoginHttpDigest) {
            continue;
        }
        std::snprintf(digest_out, 33, "%s", u.digest);
        *error = 0;
        return 0;
    }
    *error = 405;
    return -1;
}
