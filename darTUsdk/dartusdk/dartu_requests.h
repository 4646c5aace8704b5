// The data requests of the web-HMI JSON protocol: read and write in groups
// of 32 items through the data callbacks, the two process-image requests,
// info, and the history, alarm and event-filter requests with the worker
// thread of deferred query filters.
//
// The handlers run in the server thread.
#pragma once

#include "platform/bytes.h"

struct dartu_post_request;

// Addresses (and values) handed to a data callback at once.
constexpr u32 kDartuDataGroup = 32;

void dartu_engine_handle_read_request(dartu_post_request* request);
void dartu_engine_handle_write_request(dartu_post_request* request);
void dartu_engine_handle_readprocessimage_request(dartu_post_request* request);
void dartu_engine_handle_listprocessimage_request(dartu_post_request* request);
void dartu_engine_handle_info_request(dartu_post_request* request);
// Measures (no destination) or writes the info object: its length.
int dartu_engine_write_handle_info_request(char* destination, u32 size);

void dartu_engine_handle_read_history_request(dartu_post_request* request);
void dartu_engine_handle_query_filter_request(dartu_post_request* request);
void dartu_engine_handle_accept_alarm_request(dartu_post_request* request);
void dartu_engine_handle_subscribe_filter_request(dartu_post_request* request);
void dartu_engine_handle_unsubscribe_filter_request(dartu_post_request* request);

// Started when the server begins to listen.
void dartu_engine_start_deferred_query_filter_threads();
void dartu_engine_start_deferred_rdhst_threads();
void dartu_engine_start_deferred_rdwr_threads();

void dartu_engine_requests_install_handlers();
