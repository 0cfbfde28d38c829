// With --namespace-lookups: a namespaced service is shown to the client under
// its plain name wherever the client asks the bus about that name (owner
// lookups, match rules, NameOwnerChanged), not only as a call destination,
// so that clients which resolve the owner first reach the same instance.
#pragma once

#include "config/config.h"
#include "session/pair.h"

#include <dbus/dbus.h>

// Plain names one pair may ask about and have their owner changes shown.
inline constexpr unsigned LOOKUPS_MAX_ASKED_NAMES = 256;

// 1 when `name` is translated (the same decision as for a method call to
// it, and the candidate is a valid bus name), with the candidate in
// `candidate` (REDIRECT_CANDIDATE_SIZE bytes); 0 otherwise. Unique names,
// the bus's own name and names already in the namespace are never.
int lookup_translation(const ProxyConfig *config, const char *name, char *candidate);

// For a client's call to the bus: the call to forward in its place (a new
// reference, same serial and flags) when its name argument or match rule
// was translated, otherwise nullptr (forward the call as it is).
DBusMessage *translate_bus_call(ConnectionPair *pair, DBusMessage *call);

enum LookupsVerdict { LOOKUPS_KEEP, LOOKUPS_REPLACED, LOOKUPS_DROP };
// For a message from the bus to the client. REPLACED, with the message to
// send in its place in `shown` (a new reference): a NameOwnerChanged,
// NameAcquired or NameLost about a namespaced instance shown under its
// plain name, or a name list (ListNames and its kin) with namespaced
// instances under their plain names. DROP: a NameOwnerChanged about the
// host's instance of a redirected name. KEEP otherwise.
LookupsVerdict translate_from_bus(ConnectionPair *pair, DBusMessage *message, DBusMessage **shown);

// Frees the pair's asked names; pair_free calls it.
void lookups_free(ConnectionPair *pair);
