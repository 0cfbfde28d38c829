#include "panel/records.h"

#include "util/overrides.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

GHashTable *panel_call_serials = nullptr;
unsigned long panel_record_key_comparisons = 0;

namespace {

struct PanelRecordKey {
    const ConnectionPair *pair;
    dbus_uint32_t serial;
    const char *caller;
};

// All records of one key, oldest first; the table owns it. `key` comes
// first so that the record set is its own key in the table.
struct PanelRecordSet {
    PanelRecordKey key;
    GQueue records; // of PanelRecord, oldest first
};

struct PanelRecord {
    PanelRecordSet *set;
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
    const auto *key = static_cast<const PanelRecordKey *>(data);
    guint hash = g_str_hash(key->caller);
    hash ^= key->serial * 2654435761u;
    hash ^= static_cast<guint>(reinterpret_cast<uintptr_t>(key->pair) >> 4) * 40503u;
    return hash;
}

gboolean equal_keys(gconstpointer a, gconstpointer b)
{
    ++panel_record_key_comparisons;
    const auto *x = static_cast<const PanelRecordKey *>(a);
    const auto *y = static_cast<const PanelRecordKey *>(b);
    return x->serial == y->serial && x->pair == y->pair && std::strcmp(x->caller, y->caller) == 0;
}

void free_set(gpointer data)
{
    auto *set = static_cast<PanelRecordSet *>(data);
    while (auto *record = static_cast<PanelRecord *>(g_queue_pop_head(&set->records))) {
        g_queue_delete_link(&expiry_queue, record->queue_link);
        --record_count;
        std::free(record);
    }
    std::free(const_cast<char *>(set->key.caller));
    std::free(set);
}

PanelRecordSet *find_set(const ConnectionPair *pair, dbus_uint32_t serial, const char *caller)
{
    if (!panel_call_serials || !caller)
        return nullptr;
    const PanelRecordKey probe{pair, serial, caller};
    return static_cast<PanelRecordSet *>(g_hash_table_lookup(panel_call_serials, &probe));
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
    const auto *oldest = static_cast<const PanelRecord *>(g_queue_peek_head(&expiry_queue));
    if (!oldest) {
        if (panel_call_serials) {
            g_hash_table_destroy(panel_call_serials);
            panel_call_serials = nullptr;
        }
        return;
    }
    const gint64 slack_us = static_cast<gint64>(overrides.panel_record_timeout_ms) * 1000 / 25;
    const gint64 wait_us = oldest->expires + slack_us - g_get_monotonic_time();
    const guint wait_ms = wait_us <= 0 ? 0 : static_cast<guint>(wait_us / 1000 + 1);
    expiry_source = g_timeout_add(wait_ms, on_expiry, nullptr);
}

gboolean on_expiry(gpointer)
{
    expiry_source = 0; // removed by the return below
    panel_record_expire(g_get_monotonic_time());
    return G_SOURCE_REMOVE;
}

void drop_oldest(PanelRecordSet *set)
{
    auto *record = static_cast<PanelRecord *>(g_queue_pop_head(&set->records));
    g_queue_delete_link(&expiry_queue, record->queue_link);
    --record_count;
    std::free(record);
    if (g_queue_is_empty(&set->records))
        g_hash_table_remove(panel_call_serials, &set->key);
}

} // namespace

int panel_record_add(const ConnectionPair *pair, dbus_uint32_t serial, const char *caller)
{
    if (!caller)
        return -1;
    auto *record = static_cast<PanelRecord *>(std::malloc(sizeof(PanelRecord)));
    if (!record)
        return -1;
    PanelRecordSet *set = find_set(pair, serial, caller);
    if (!set) {
        set = static_cast<PanelRecordSet *>(std::malloc(sizeof(PanelRecordSet)));
        char *caller_copy = set ? strdup(caller) : nullptr;
        if (!caller_copy) {
            std::free(set);
            std::free(record);
            return -1;
        }
        set->key = PanelRecordKey{pair, serial, caller_copy};
        g_queue_init(&set->records);
        if (!panel_call_serials)
            panel_call_serials = g_hash_table_new_full(hash_key, equal_keys, nullptr, free_set);
        g_hash_table_add(panel_call_serials, set);
    }
    record->set = set;
    record->expires =
        g_get_monotonic_time() + static_cast<gint64>(overrides.panel_record_timeout_ms) * 1000;
    g_queue_push_tail(&set->records, record);
    g_queue_push_tail(&expiry_queue, record);
    record->queue_link = g_queue_peek_tail_link(&expiry_queue);
    ++record_count;
    if (!expiry_source)
        schedule_expiry();
    return 0;
}

int panel_record_contains(const ConnectionPair *pair, dbus_uint32_t serial, const char *caller)
{
    return find_set(pair, serial, caller) ? 1 : 0;
}

void panel_record_remove(const ConnectionPair *pair, dbus_uint32_t serial, const char *caller)
{
    if (PanelRecordSet *set = find_set(pair, serial, caller)) {
        drop_oldest(set);
        if (record_count == 0)
            schedule_expiry();
    }
}

void panel_record_forget_pair(const ConnectionPair *pair)
{
    if (!panel_call_serials)
        return;
    g_hash_table_foreach_remove(
        panel_call_serials,
        [](gpointer key, gpointer, gpointer pair) -> gboolean {
            return static_cast<const PanelRecordKey *>(key)->pair == pair;
        },
        const_cast<ConnectionPair *>(pair));
    if (record_count == 0)
        schedule_expiry();
}

size_t panel_record_count()
{
    return record_count;
}

void panel_record_expire(gint64 now)
{
    while (const auto *oldest =
               static_cast<const PanelRecord *>(g_queue_peek_head(&expiry_queue))) {
        if (oldest->expires > now)
            break;
        drop_oldest(oldest->set);
    }
    schedule_expiry();
}
