#include "darTUsdk/dartusdk/dartu_mime.h"

#include <strings.h>

#include <cstdlib>

#include "darTUsdk/dartusdk/dartu_options.h"

const dartu_mimetype dartu_builtin_mimetypes[kDartuBuiltinMimeCount] = {
    {"css", "text/css"},        {"gif", "image/gif"},       {"htm", "text/html"},  {"html", "text/html"},
    {"jpg", "image/jpeg"},      {"js", "text/javascript"},  {"pdf", "application/pdf"},
    {"png", "image/png"},       {"svg", "image/svg+xml"},   {"xml", "text/xml"},
};

int dartu_util_compare_mimetype(const void* left, const void* right) {
    const dartu_mimetype* a = static_cast<const dartu_mimetype*>(left);
    const dartu_mimetype* b = static_cast<const dartu_mimetype*>(right);
    return strcasecmp(a->extension, b->extension);
}

const char* dartu_engine_find_mimetype(const char* extension) {
    const dartu_global_options_t* o = dartu_global_options();
    if (!extension || !o->mime_table || o->mime_count == 0) return nullptr;
    dartu_mimetype key{extension, nullptr};
    const void* hit = std::bsearch(&key, o->mime_table, o->mime_count, sizeof(dartu_mimetype),
                                   dartu_util_compare_mimetype);
    return hit ? static_cast<const dartu_mimetype*>(hit)->type : nullptr;
}
