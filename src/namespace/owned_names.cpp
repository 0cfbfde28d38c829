#include "namespace/owned_names.h"

#include "log/escape.h"
#include "log/log.h"
#include "util/dbus_ptr.h"
#include "util/message.h"

#include <glib.h>

#include <cstring>

namespace {

// Requests whose replies are still to come, per pair: client serial -> name.
GHashTable *requests_of(ConnectionPair *pair, bool create)
{
    if (!pair->name_requests && create)
        pair->name_requests = g_hash_table_new_full(g_direct_hash, g_direct_equal, nullptr, g_free);
    return pair->name_requests;
}

// Only a name under the namespace can ever be a redirect's candidate.
bool under_namespace(const ProxyConfig *config, const char *name)
{
    const size_t n = std::strlen(name);
    const size_t ns = std::strlen(config->namespace_name);
    return n > ns + 1 && name[n - ns - 1] == '.' &&
           std::strcmp(name + n - ns, config->namespace_name) == 0;
}

void record(ConnectionPair *pair, const char *name)
{
    if (!pair->client_names)
        pair->client_names = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, nullptr);
    if (g_hash_table_contains(pair->client_names, name))
        return;
    char *kept = g_strdup(name);
    g_hash_table_add(pair->client_names, kept);
    if (!under_namespace(pair->config, name))
        return;
    pair->config->owned_names = g_list_append(pair->config->owned_names, kept);
    if (!pair->owned_name)
        pair->owned_name = kept;
}

void unregister(ConnectionPair *pair, char *kept)
{
    ProxyConfig *config = pair->config;
    config->owned_names = g_list_remove(config->owned_names, kept);
    if (pair->owned_name == kept)
        pair->owned_name = nullptr;
}

void forget(ConnectionPair *pair, const char *name)
{
    gpointer kept = nullptr;
    if (!pair->client_names ||
        !g_hash_table_lookup_extended(pair->client_names, name, &kept, nullptr))
        return;
    unregister(pair, static_cast<char *>(kept));
    g_hash_table_remove(pair->client_names, name);
}

void request_answered(ConnectionPair *pair, DBusMessage *reply, const char *name)
{
    const char *sender = dbus_message_get_destination(reply);
    if (dbus_message_get_type(reply) == DBUS_MESSAGE_TYPE_ERROR) {
        ScopedError error;
        dbus_set_error_from_message(error.get(), reply);
        LOG_DEBUG("[CLIENT:]Failed to RequestName name %s, error: %s\n",
                  log_escape(name).c_str(), log_escape(error.message()).c_str());
        LOG_TRACE("[CLIENT:] client %s request wellknown name [%s] failed\n",
                  sender ? sender : "NULL",
                  log_escape(pair->owned_name ? pair->owned_name : "NULL").c_str());
        return;
    }
    dbus_uint32_t result = 0;
    if (!dbus_message_get_args(reply, nullptr, DBUS_TYPE_UINT32, &result, DBUS_TYPE_INVALID))
        return;
    if (result == DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER ||
        result == DBUS_REQUEST_NAME_REPLY_ALREADY_OWNER) {
        // NameAcquired came first and recorded it; this is the same grant.
        record(pair, name);
        LOG_TRACE("[CLIENT:]Client RequestName name %s SUCCEED\n", log_escape(name).c_str());
    }
}

} // namespace

void owned_names_note_request(ConnectionPair *pair, DBusMessage *call)
{
    const char *name = first_string_arg(call);
    if (!name || dbus_message_get_no_reply(call))
        return;
    GHashTable *requests = requests_of(pair, true);
    // A client that never reads its replies cannot grow this without end:
    // the bus answers each request, and only so many may wait.
    if (g_hash_table_size(requests) >= 256)
        return;
    g_hash_table_insert(requests, GUINT_TO_POINTER(dbus_message_get_serial(call)),
                        g_strdup(name));
}

void owned_names_note_from_bus(ConnectionPair *pair, DBusMessage *message)
{
    const char *sender = dbus_message_get_sender(message);
    if (!sender || std::strcmp(sender, DBUS_SERVICE_DBUS) != 0)
        return;
    const int type = dbus_message_get_type(message);
    if (type == DBUS_MESSAGE_TYPE_METHOD_RETURN || type == DBUS_MESSAGE_TYPE_ERROR) {
        GHashTable *requests = requests_of(pair, false);
        gpointer key = GUINT_TO_POINTER(dbus_message_get_reply_serial(message));
        gpointer name = requests ? g_hash_table_lookup(requests, key) : nullptr;
        if (name) {
            request_answered(pair, message, static_cast<const char *>(name));
            g_hash_table_remove(requests, key);
        }
        return;
    }
    const bool acquired = dbus_message_is_signal(message, DBUS_INTERFACE_DBUS, "NameAcquired");
    if (!acquired && !dbus_message_is_signal(message, DBUS_INTERFACE_DBUS, "NameLost"))
        return;
    const char *name = first_string_arg(message);
    if (!name || name[0] == ':')
        return;
    if (acquired)
        record(pair, name);
    else
        forget(pair, name);
}

void owned_names_forget_pair(ConnectionPair *pair)
{
    if (pair->client_names) {
        GHashTableIter iter;
        gpointer kept;
        g_hash_table_iter_init(&iter, pair->client_names);
        while (g_hash_table_iter_next(&iter, &kept, nullptr))
            unregister(pair, static_cast<char *>(kept));
    }
    if (pair->name_requests)
        g_hash_table_destroy(pair->name_requests);
    pair->name_requests = nullptr;
}
