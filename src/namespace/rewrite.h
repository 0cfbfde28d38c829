// Redirecting method calls to a service's namespaced name.
#pragma once

#include "session/pair.h"

#include <dbus/dbus.h>
#include <glib.h>

// 0: forward the call (destination unchanged or namespaced);
// -1: the call was refused and answered with an error on pair->client.
int rewrite_destination(ConnectionPair *pair, DBusMessage *message);

// Where a method call to a name would be sent instead, and why.
enum RedirectSource {
    REDIRECT_NONE = 0,       // keeps its destination
    REDIRECT_REGISTRY = 1,   // the candidate is a registered name
    REDIRECT_ACTIVATION = 2, // the activation list names the candidate
};
inline constexpr int REDIRECT_CANDIDATE_SIZE = 512;

// The decision of rewrite_destination, without touching a message or
// logging: says whether a call to `name` goes to "<name>.<namespace>" (cut
// at 511 characters). Unless the answer is REDIRECT_NONE, that name is
// written into `candidate`, of REDIRECT_CANDIDATE_SIZE bytes. The candidate
// is not validated here.
int redirect_decision(const ProxyConfig *config, const char *name, char *candidate);

// 1 when `owned_names` holds a string equal to `name`, 0 otherwise.
int owned_names_contains(GList *owned_names, const char *name);
