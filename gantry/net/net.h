// Gantry::Net: IPv4 sockets. Addresses and end points, UDP sockets with multicast membership, TCP
// clients and streams, and a TCP server that hands each connection to a pooled worker thread.
#pragma once

#include "gantry/net/address.h"
#include "gantry/net/socket.h"
#include "gantry/net/socket_error.h"
#include "gantry/net/ssl.h"
#include "gantry/net/tcp_client.h"
#include "gantry/net/tcp_server.h"
#include "gantry/net/tcp_socket.h"
#include "gantry/net/tcp_stream.h"
#include "gantry/net/udp_socket.h"
