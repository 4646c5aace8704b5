// The server frame of the web-HMI toolkit: initialises, prepares, starts,
// clears and frees every part in its order, and the three callbacks through
// which the network layer reaches the request engine and the timers.
#pragma once

#include "platform/bytes.h"

struct dartu_connection_info;

// Zeroes the contexts, then options, communication, server, connection and
// buffer parts, stopping at the first failure: 0 or its code.
int dartu_server_initialize();
// Installs the communication callbacks, then TLS and authentication (each
// tried even after a failure): 0 or the first failure's code.
int dartu_server_prepare();
// Opens the listeners: 0 or -1.
int dartu_server_mainloop();
void dartu_server_clear();
void dartu_server_free();

void dartu_engine_receive_comm_data(dartu_connection_info* connection);
void dartu_server_connection_dropped(dartu_connection_info* connection);
void dartu_server_session_tick(u64 now);
