// The relay folder's entry points, by the file that defines them:
//   accept.cpp         on_new_connection, pair_client_spoke, pair_free
//   client_filter.cpp  client_message_filter, reply_to_hello
//   server_filter.cpp  server_message_filter
//   forward.cpp        relay_forward_or_disconnect, within the queue bounds
//   undeliverable.cpp  what becomes of a message that cannot be sent
#pragma once

#include "relay/accept.h"
#include "relay/client_filter.h"
#include "relay/forward.h"
#include "relay/server_filter.h"
