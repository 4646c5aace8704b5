// The web server's users: security.cfg on the card (the realm, then one
// line per user with the MD5 digest of user ":" realm ":" password and a
// rights level) loaded into the user rights table at every server start,
// and the password-digest callback the authentication asks.
#pragma once

#include "platform/bytes.h"

struct dartu_credentials;

constexpr u32 kDartuMaxUsers = 255;
constexpr u32 kDartuMaxRightsLevel = 7;

struct dartu_user_entry {
    char* name;
    char* digest;  // 32 lowercase hexadecimal digits
    u8 number;
    u8 level;  // rights "Right0" .. "Right<level>", at most 7
};

struct dartu_user_rights {
    char* realm;
    dartu_user_entry users[kDartuMaxUsers];
    u32 count;
};

extern dartu_user_rights user_access_rights_list;

// Loads the variant's security.cfg (a missing file leaves the table empty).
void dartu_get_acccess_rights();
// Parses the text of security.cfg into the table (which it clears first).
void dartu_parse_n_get_access_rights_from_buffer(const char* text, u32 size);
void dartu_acccess_rights_clear();
// The stored digest of the user (with Basic, only when the password matches):
// 0 with the 32 digits and a NUL in digest_out, or -1 with *error 405.
int dartu_authentication_digest_cb(const dartu_credentials* credentials, const char* password, char* digest_out,
                                   i32* error);

struct dartu_user_info_request;
struct dartu_auth_data;
struct dartu_connection_info;
struct dartu_buffer;

// The user-rights callback: the rights names of the credentials' user, or
// none, delivered to the new session.
void dartu_authentication_user_info_cb(dartu_user_info_request* request, dartu_auth_data* auth, const char* user);

// ---- Login list: up to four web users with sessions -------------------------
constexpr u32 kDartuLoginEntries = 4;
struct dartu_login_entry {
    u32 login_time;  // controller-clock seconds
    u32 session_id;
    char user[17];
};
struct dartu_login_list {
    dartu_login_entry entries[kDartuLoginEntries];
    u8 count;
};
extern dartu_login_list user_details_list;
extern u8 DartuLoginStatus;
// Register bit address of %ESR17 bit 4.
constexpr u32 kDartuLoginBitAddress = 0x10030103;

void dartu_add_user_login_details(u32 session_id, const char* user, u32 login_time);
void dartu_delete_user_login_details(u32 session_id);
void dartu_invalidate_all_user_login_details();
void dartu_clear_user_login_details();
// True while a web user is logged in (system information item 1003).
bool Dartu_WebUserLoggedIn();

// The request hook: answers a POST of "/darTU/?Ping"; 1 when it answered.
int request_hook_callback(const char* method, const char* url, dartu_connection_info* connection,
                          dartu_buffer* request, dartu_buffer** reply, void** deferred, void** user);
void dartu_ping_func(dartu_buffer** reply);
