#include "panel/records.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

GHashTable *panel_call_serials = nullptr;
unsigned panel_record_timeout_ms = 25000;
unsigned long panel_record_key_comparisons = 0;

namespace {

struct PanelKey {
    const ConnectionPair *pair;
    dbus_uint32_t serial;
    const char *caller;
};

// All records of one key, oldest first; the table owns it. `key` comes
// first so that the record set is its own key in the table.
struct PanelCallSet {
    PanelKey key;
    GQueue calls; // of PanelCall, oldest first
};

struct PanelCall {
    PanelCallSet *set;
    gint64 expires;    // g_get_monotonic_time() scale
    GList *queue_link; // in `expiry_queue`
};

// Every record, oldest first: all share one timeout, so this is also the
// order in which they expire.
GQueue expiry_queue = G_QUEUE_INIT;
guint expiry_source = 0;
size_t record_count = 0;

guint hash_key(gconstpointer data)
{
    const auto *key = static_cast<const PanelKey *>(data);
    guint hash = g_str_hash(key->caller);
    hash ^= key->serial * 2654435761u;
    hash ^= static_cast<guint>(reinterpret_cast<uintptr_t>(key->pair) >> 4) * 40503u;
    return hash;
}

gboolean equal_keys(gconstpointer a, gconstpointer b)
{
    ++panel_record_key_comparisons;
    const auto *x = static_cast<const PanelKey *>(a);
    const auto *y = static_cast<const PanelKey *>(b);
    return x->serial == y->serial && x->pair == y->pair && std::strcmp(x->caller, y->caller) == 0;
}

void free_set(gpointer data)
{
    auto *set = static_cast<PanelCallSet *>(data);
    while (auto *call = static_cast<PanelCall *>(g_queue_pop_head(&set->calls))) {
        g_queue_delete_link(&expiry_queue, call->queue_link);
        --record_count;
        std::free(call);
    }
    std::free(const_cast<char *>(set->key.caller));
    std::free(set);
}

PanelCallSet *find_set(const ConnectionPair *pair, dbus_uint32_t serial, const char *caller)
{
    if (!panel_call_serials || !caller)
        return nullptr;
    const PanelKey probe{pair, serial, caller};
    return static_cast<PanelCallSet *>(g_hash_table_lookup(panel_call_serials, &probe));
}

gboolean on_expiry(gpointer);

// The timeout lives only while records exist. It wakes a little after the
// oldest record's time so that records made close together leave in one
// wake-up; none leaves early.
void schedule_expiry()
{
    if (expiry_source) {
        g_source_remove(expiry_source);
        expiry_source = 0;
    }
    const auto *oldest = static_cast<const PanelCall *>(g_queue_peek_head(&expiry_queue));
    if (!oldest) {
        if (panel_call_serials) {
            g_hash_table_destroy(panel_call_serials);
            panel_call_serials = nullptr;
        }
        return;
    }
    const gint64 slack_us = static_cast<gint64>(panel_record_timeout_ms) * 1000 / 25;
    const gint64 wait_us = oldest->expires + slack_us - g_get_monotonic_time();
    const guint wait_ms = wait_us <= 0 ? 0 : static_cast<guint>(wait_us / 1000 + 1);
    expiry_source = g_timeout_add(wait_ms, on_expiry, nullptr);
}

gboolean on_expiry(gpointer)
{
    expiry_source = 0; // removed by the return below
    panel_serial_expire(g_get_monotonic_time());
    return G_SOURCE_REMOVE;
}

void drop_oldest(PanelCallSet *set)
{
    auto *call = static_cast<PanelCall *>(g_queue_pop_head(&set->calls));
    g_queue_delete_link(&expiry_queue, call->queue_link);
    --record_count;
    std::free(call);
    if (g_queue_is_empty(&set->calls))
        g_hash_table_remove(panel_call_serials, &set->key);
}

} // namespace

int panel_serial_add(const ConnectionPair *pair, dbus_uint32_t serial, const char *caller)
{
    if (!caller)
        return -1;
    auto *call = static_cast<PanelCall *>(std::malloc(sizeof(PanelCall)));
    if (!call)
        return -1;
    PanelCallSet *set = find_set(pair, serial, caller);
    if (!set) {
        set = static_cast<PanelCallSet *>(std::malloc(sizeof(PanelCallSet)));
        char *caller_copy = set ? strdup(caller) : nullptr;
        if (!caller_copy) {
            std::free(set);
            std::free(call);
            return -1;
        }
        set->key = PanelKey{pair, serial, caller_copy};
        g_queue_init(&set->calls);
        if (!panel_call_serials)
            panel_call_serials = g_hash_table_new_full(hash_key, equal_keys, nullptr, free_set);
        g_hash_table_add(panel_call_serials, set);
    }
    call->set = set;
    call->expires = g_get_monotonic_time() + static_cast<gint64>(panel_record_timeout_ms) * 1000;
    g_queue_push_tail(&set->calls, call);
    g_queue_push_tail(&expiry_queue, call);
    call->queue_link = g_queue_peek_tail_link(&expiry_queue);
    ++record_count;
    if (!expiry_source)
        schedule_expiry();
    return 0;
}

int panel_serial_contains(const ConnectionPair *pair, dbus_uint32_t serial, const char *caller)
{
    return find_set(pair, serial, caller) ? 1 : 0;
}

void panel_serial_remove(const ConnectionPair *pair, dbus_uint32_t serial, const char *caller)
{
    if (PanelCallSet *set = find_set(pair, serial, caller)) {
        drop_oldest(set);
        if (record_count == 0)
            schedule_expiry();
    }
}

void panel_serial_forget_pair(const ConnectionPair *pair)
{
    if (!panel_call_serials)
        return;
    g_hash_table_foreach_remove(
        panel_call_serials,
        [](gpointer key, gpointer, gpointer pair) -> gboolean {
            return static_cast<const PanelKey *>(key)->pair == pair;
        },
        const_cast<ConnectionPair *>(pair));
    if (record_count == 0)
        schedule_expiry();
}

size_t panel_serial_count()
{
    return record_count;
}

void panel_serial_expire(gint64 now)
{
    while (const auto *oldest = static_cast<const PanelCall *>(g_queue_peek_head(&expiry_queue))) {
        if (oldest->expires > now)
            break;
        drop_oldest(oldest->set);
    }
    schedule_expiry();
}
