#include "session/registry.h"

#include <glib.h>

namespace {

// Created on first use; never freed, like the main loop.
GHashTable *live_pairs = nullptr;

struct ForEachCall {
    void (*fn)(ConnectionPair *, void *);
    void *data;
};

void call_one(gpointer key, gpointer, gpointer user_data)
{
    auto *call = static_cast<ForEachCall *>(user_data);
    call->fn(static_cast<ConnectionPair *>(key), call->data);
}

} // namespace

void pair_registry_add(ConnectionPair *pair)
{
    if (!live_pairs)
        live_pairs = g_hash_table_new(g_direct_hash, g_direct_equal);
    g_hash_table_add(live_pairs, pair);
}

void pair_registry_remove(ConnectionPair *pair)
{
    if (live_pairs)
        g_hash_table_remove(live_pairs, pair);
}

void pair_registry_for_each(void (*fn)(ConnectionPair *pair, void *data), void *data)
{
    if (!live_pairs)
        return;
    ForEachCall call{fn, data};
    g_hash_table_foreach(live_pairs, call_one, &call);
}

unsigned pair_registry_size()
{
    return live_pairs ? g_hash_table_size(live_pairs) : 0;
}
