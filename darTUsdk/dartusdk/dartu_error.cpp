#include "darTUsdk/dartusdk/dartu_error.h"

#include <cstdlib>

#include "darTUsdk/dartusdk/dartu_context.h"
#include "darTUsdk/dartusdk/dartu_json.h"

const dartu_error_entry dartu_error_table[] = {
    {0, "OK"},
    {300, "Unknown method"},
    {301, "Address not found"},
    {302, "Too many deferred read/write/query filter requests"},
    {303, "Send not possible"},
    {304, "Buffer overflow"},
    {401, "HTTP Authentication necessary but no header found - send a 401 Auth required"},
    {402, "RSA encrypted data not decryptable (corrupted data or corrupted/missing private key)"},
    {403, "Digest check failed"},
    {405, "Access denied"},
    {406, "Authorization header malformed"},
    {407, "Authorization data overflow, try later"},
    {408, "Password change failed"},
    {450, "Too many active sessions"},
    {451, "Requested session was not found"},
    {452, "X-DarTU digest does not match with our data"},
    {453, "X-DarTU is malformed"},
    {454, "X-DarTU is missing"},
    {455, "Auth type is form and no user/password were sent"},
    {457, "Required arguments are missing"},
    {459, "Subscription id not found"},
    {460, "Subscribed data item not found"},
    {461, "Publish queue overflow"},
    {462, "The nonce was already used - reply attack?"},
    {463, "Too many subscription frames in a session"},
    {464, "Too many subscription items in the server"},
    {465, "Subscribed data item already subscribed in this frame"},
    {466, "Session was aborted while waiting for data (queue overflow, expiry, other reasons)"},
    {467, "Invalid syntax of filter parameters"},
    {500, "Unspecified internal error"},
    {501, "Not implemented"},
    {502, "Data read callback not set"},
    {503, "Data write callback not set"},
    {505, "Password change callback not set"},
    {506, "Error fetching callback not set"},
    {507, "Password digest callback not set"},
    {508, "Lost a request waiting for auth"},
    {509, "Received no historized data"},
    {510, "Read history callback not set"},
    {600, "Remote server unknown"},
    {601, "Remote server not accessible"},
    {602, "Remote server address not resolvable"},
    {603, "Requested remote session was not found"},
    {604, "Missing/invalid data in the remote response"},
    {605, "Invalid X-DarTU header in remote request"},
    {606, "Cannot process remote create session - no info, no RSA keys or level < Advanced?"},
    {607, "Send to remote server failed"},
    {608, "Cannot process remote login - no info, no RSA keys or level < Advanced?"},
    {609, "Login at the remote server failed"},
    {610, "Multipoint server is HTTP Digest, remote one not - cannot login"},
    {611, "Client not logged into multipoint server"},
    {612, "Server sent 401 but it is neither basic nor digest"},
    {613, "No or lost own authentication while handshaking the HTTP auth"},
    {614, "Different realms in multipoint and remote server - cannot login"},
    {615, "Remote server want's digest algorithm or qop we don't support"},
    {616, "Malformed WWW-Authenticate header"},
    {617, "Multipoint server without security can only communicate with servers without one as well"},
    {900, "Out of memory"},
    {-1, nullptr},
};

namespace {

const char* TableText(i32 code) {
    for (const dartu_error_entry* e = dartu_error_table; e->code >= 0; ++e) {
        if (e->code == code) return e->text;
    }
    return nullptr;
}

}  // namespace

void dartu_get_error_strings(i32 code, const char** text, const dartu_localized_string** localized) {
    const char* t = TableText(code);
    if (text) *text = t ? t : kDartuUnknownErrorText;
    if (localized) *localized = nullptr;
}

int dartu_util_write_errstrings(char* destination, size_t capacity, i32 code) {
    if (code < kDartuFirstApplicationError) {
        const char* text = nullptr;
        dartu_get_error_strings(code, &text, nullptr);
        return dartu_json_put_string(destination, capacity, text, -1);
    }
    const dartu_callbacks& cb = dartu_global_context()->cb;
    if (cb.error_text_ex) {
        const char* text = nullptr;
        const dartu_localized_string* localized = nullptr;
        int release = 0;
        cb.error_text_ex(code, &text, &localized, &release);
        int n;
        if (localized)
            n = dartu_json_put_localized_strings(destination, capacity, localized);
        else if (text)
            n = dartu_json_put_string(destination, capacity, text, -1);
        else
            n = dartu_json_put_string(destination, capacity, TableText(506), -1);
        if (release && text) std::free(const_cast<char*>(text));
        return n;
    }
    if (cb.error_text) {
        const char* text = cb.error_text(code, nullptr, code);
        if (text) return dartu_json_put_string(destination, capacity, text, -1);
    }
    return dartu_json_put_string(destination, capacity, TableText(506), -1);
}

void dartu_json_append_error_members(std::string& out, i32 code) {
    out += "\"error\":" + std::to_string(code);
    if (code == 0) return;
    out += ",\"errorstring\":";
    dartu_json_append(out, [&](char* d, size_t c) { return dartu_util_write_errstrings(d, c, code); });
}
