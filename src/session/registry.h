// The set of live connection pairs, for work that concerns every client at
// once (the drain at shutdown).
#pragma once

struct ConnectionPair;

void pair_registry_add(ConnectionPair *pair);
// Harmless for a pair that was never added.
void pair_registry_remove(ConnectionPair *pair);
// Calls `fn` for every live pair; `fn` must not add or remove pairs.
void pair_registry_for_each(void (*fn)(ConnectionPair *pair, void *data), void *data);
unsigned pair_registry_size();
