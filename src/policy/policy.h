// The access policy (--filter): what a client may see, call, own and
// receive on the host bus; off unless ProxyConfig::policy is set. The
// folder's entry points, by the file that defines them:
//   rule_set.cpp     the rules and what they grant a name
//   parse.cpp        rules from options and policy files
//   options.cpp      the command-line options
//   client_side.cpp  policy_client_message, in the client filter
//   server_side.cpp  policy_server_message, in the bus filter
//   names.cpp        the per-pair state (pair_policy_free)
//   owners.cpp       who owns the policy's names, once for the daemon
#pragma once

#include "policy/client_side.h"
#include "policy/options.h"
#include "policy/owners.h"
#include "policy/parse.h"
#include "policy/rule_set.h"
#include "policy/server_side.h"
