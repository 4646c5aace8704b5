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
