// The file handler of the web-HMI server: GET and HEAD fetch pages, scripts
// and images from the web root, with default documents, content types by
// extension and files stored gzip-compressed.
#pragma once

#include "platform/bytes.h"

struct dartu_buffer;
struct dartu_connection_info;

// Longest path of a served file (web root and decoded URL).
constexpr u32 kDartuPathMax = 255;

// Answers one GET or HEAD request; the reply (or none) goes to *reply. The
// request buffer is returned unless the request hook kept it.
void dartu_engine_handle_head_get_request(const char* url, u32 url_length, int head, const char* web_root,
                                          dartu_connection_info* connection, dartu_buffer* request,
                                          dartu_buffer** reply);
