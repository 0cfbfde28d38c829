#include "namespace/lookups.h"

#include "log/escape.h"
#include "log/log.h"
#include "namespace/match_rule.h"
#include "namespace/rewrite.h"
#include "util/dbus_ptr.h"
#include "util/message.h"

#include <glib.h>

#include <cstdlib>
#include <cstring>

namespace {

// The bus methods whose first argument is a name to look up or start.
const char *const name_methods[] = {
    "GetNameOwner",
    "NameHasOwner",
    "StartServiceByName",
    "GetConnectionUnixProcessID",
    "GetConnectionUnixUser",
    "GetConnectionCredentials",
    "ListQueuedOwners",
    // Owning a redirected name means owning it under the namespace, beside
    // the host's instance of it.
    "RequestName",
    "ReleaseName",
};

bool is_name_method(const char *member)
{
    for (const char *m : name_methods)
        if (std::strcmp(member, m) == 0)
            return true;
    return false;
}

bool ends_with_namespace(const char *name, const char *namespace_name)
{
    const size_t n = std::strlen(name);
    const size_t ns = std::strlen(namespace_name);
    return n > ns && name[n - ns - 1] == '.' && std::strcmp(name + n - ns, namespace_name) == 0;
}

// Remembered so that the name's NameOwnerChanged can be shown under it.
void remember_name(ConnectionPair *pair, const char *name)
{
    if (!pair->asked_names)
        pair->asked_names = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, nullptr);
    if (g_hash_table_contains(pair->asked_names, name))
        return;
    if (g_hash_table_size(pair->asked_names) >= LOOKUPS_MAX_ASKED_NAMES) {
        LOG_DEBUG("[CLIENT]Too many names asked about, owner changes of %s keep their "
                  "namespaced name\n", log_escape(name).c_str());
        return;
    }
    g_hash_table_add(pair->asked_names, g_strdup(name));
}

// A copy of `call` (same serial, flags and header fields) whose first
// argument is `first`; nullptr when a later argument is not of a basic type
// (the bus takes none such here) or memory runs out.
DBusMessage *copy_call_with_name(DBusMessage *call, const char *first)
{
    MessagePtr copy(dbus_message_new_method_call(
        dbus_message_get_destination(call), dbus_message_get_path(call),
        dbus_message_get_interface(call), dbus_message_get_member(call)));
    if (!copy)
        return nullptr;
    dbus_message_set_serial(copy.get(), dbus_message_get_serial(call));
    dbus_message_set_no_reply(copy.get(), dbus_message_get_no_reply(call));
    dbus_message_set_auto_start(copy.get(), dbus_message_get_auto_start(call));
    dbus_message_set_allow_interactive_authorization(
        copy.get(), dbus_message_get_allow_interactive_authorization(call));
    const char *sender = dbus_message_get_sender(call);
    if (sender && !dbus_message_set_sender(copy.get(), sender))
        return nullptr;

    DBusMessageIter in, out;
    dbus_message_iter_init_append(copy.get(), &out);
    if (!dbus_message_iter_append_basic(&out, DBUS_TYPE_STRING, &first))
        return nullptr;
    if (!dbus_message_iter_init(call, &in))
        return nullptr;
    while (dbus_message_iter_next(&in)) {
        const int type = dbus_message_iter_get_arg_type(&in);
        if (!dbus_type_is_basic(type) || type == DBUS_TYPE_UNIX_FD)
            return nullptr;
        DBusBasicValue value;
        dbus_message_iter_get_basic(&in, &value);
        if (!dbus_message_iter_append_basic(&out, type, &value))
            return nullptr;
    }
    return copy.release();
}

char *translate_rule_value(const char *value, void *data)
{
    auto *pair = static_cast<ConnectionPair *>(data);
    char candidate[REDIRECT_CANDIDATE_SIZE];
    if (!lookup_translation(pair->config, value, candidate))
        return nullptr;
    remember_name(pair, value);
    return strdup(candidate);
}

DBusMessage *translate_rule_call(ConnectionPair *pair, DBusMessage *call, const char *member)
{
    if (!dbus_message_has_signature(call, DBUS_TYPE_STRING_AS_STRING))
        return nullptr;
    const char *rule = nullptr;
    if (!dbus_message_get_args(call, nullptr, DBUS_TYPE_STRING, &rule, DBUS_TYPE_INVALID))
        return nullptr;
    char *translated = translate_match_rule(rule, translate_rule_value, pair);
    if (!translated)
        return nullptr;
    // libdbus aborts on a string argument that is not UTF-8.
    DBusMessage *copy = nullptr;
    if (dbus_validate_utf8(translated, nullptr))
        copy = copy_call_with_name(call, translated);
    if (copy)
        LOG_TRACE("[CLIENT]bus call %s with match rule %s for namespaced services\n", member,
                  log_escape(translated).c_str());
    else
        LOG_DEBUG("[CLIENT]Cannot translate match rule of bus call %s, forwarding it as it is\n",
                  member);
    std::free(translated);
    return copy;
}

DBusMessage *translate_name_call(ConnectionPair *pair, DBusMessage *call, const char *member)
{
    const char *name = first_string_arg(call);
    if (!name)
        return nullptr;
    char candidate[REDIRECT_CANDIDATE_SIZE];
    if (!lookup_translation(pair->config, name, candidate))
        return nullptr;
    DBusMessage *copy = copy_call_with_name(call, candidate);
    if (!copy) {
        LOG_DEBUG("[CLIENT]Cannot translate bus call %s for %s, forwarding it as it is\n", member,
                  log_escape(name).c_str());
        return nullptr;
    }
    remember_name(pair, name);
    LOG_TRACE("[CLIENT]bus call %s for namespaced service %s\n", member,
              log_escape(candidate).c_str());
    return copy;
}

} // namespace

int lookup_translation(const ProxyConfig *config, const char *name, char *candidate)
{
    if (name[0] == ':' || std::strcmp(name, DBUS_SERVICE_DBUS) == 0 ||
        ends_with_namespace(name, config->namespace_name))
        return 0;
    if (redirect_decision(config, name, candidate) == REDIRECT_NONE)
        return 0;
    // A candidate the bus would refuse is no translation: the client then
    // gets the bus's answer about the name it gave.
    return dbus_validate_bus_name(candidate, nullptr) ? 1 : 0;
}

DBusMessage *translate_bus_call(ConnectionPair *pair, DBusMessage *call)
{
    if (!pair->config->namespace_lookups)
        return nullptr;
    const char *member = dbus_message_get_member(call);
    if (!member)
        return nullptr;
    if (std::strcmp(member, "AddMatch") == 0 || std::strcmp(member, "RemoveMatch") == 0)
        return translate_rule_call(pair, call, member);
    if (is_name_method(member))
        return translate_name_call(pair, call, member);
    return nullptr;
}

namespace {

// How `name` is shown to the client: its plain name when it is the
// namespaced instance of a redirected name, or of one the client asked
// about; null when it is a redirected name's host instance, which the
// client must not see; `name` itself otherwise. `plain` receives the plain
// name (REDIRECT_CANDIDATE_SIZE bytes).
const char *shown_name(ConnectionPair *pair, const char *name, bool asked_only, char *plain)
{
    char candidate[REDIRECT_CANDIDATE_SIZE];
    const ProxyConfig *config = pair->config;
    if (ends_with_namespace(name, config->namespace_name)) {
        const size_t length = std::strlen(name) - std::strlen(config->namespace_name) - 1;
        if (length >= REDIRECT_CANDIDATE_SIZE)
            return name;
        std::memcpy(plain, name, length);
        plain[length] = '\0';
        if (pair->asked_names && g_hash_table_contains(pair->asked_names, plain))
            return plain;
        if (!asked_only && lookup_translation(config, plain, candidate) &&
            std::strcmp(candidate, name) == 0)
            return plain;
        return name;
    }
    if (!asked_only && name[0] != ':' && lookup_translation(config, name, candidate))
        return nullptr;
    return name;
}

// The same signal from the same sender, with other string arguments.
DBusMessage *copy_signal(DBusMessage *message, const char *const *args, int count)
{
    MessagePtr copy(dbus_message_new_signal(dbus_message_get_path(message),
                                            dbus_message_get_interface(message),
                                            dbus_message_get_member(message)));
    if (!copy)
        return nullptr;
    dbus_message_set_serial(copy.get(), dbus_message_get_serial(message));
    const char *destination = dbus_message_get_destination(message);
    if (!dbus_message_set_sender(copy.get(), dbus_message_get_sender(message)) ||
        (destination && !dbus_message_set_destination(copy.get(), destination)))
        return nullptr;
    for (int i = 0; i < count; ++i)
        if (!dbus_message_append_args(copy.get(), DBUS_TYPE_STRING, &args[i], DBUS_TYPE_INVALID))
            return nullptr;
    return copy.release();
}

LookupsVerdict owner_signal(ConnectionPair *pair, DBusMessage *message, DBusMessage **shown)
{
    const char *args[3] = {};
    const bool changed = dbus_message_is_signal(message, DBUS_INTERFACE_DBUS, "NameOwnerChanged");
    const int count = changed ? 3 : 1;
    DBusMessageIter iter;
    if (!dbus_message_has_signature(message, changed ? "sss" : "s") ||
        !dbus_message_iter_init(message, &iter))
        return LOOKUPS_KEEP;
    for (int i = 0; i < count; ++i, dbus_message_iter_next(&iter))
        dbus_message_iter_get_basic(&iter, &args[i]);
    char plain[REDIRECT_CANDIDATE_SIZE];
    // The client's own names: shown as it asked for them. Others' names: a
    // redirected name's host instance is out of sight whatever rules the
    // client set, and its namespaced instance stands in its place.
    const char *name = shown_name(pair, args[0], !changed, plain);
    if (!name) {
        LOG_TRACE("[SERVICE:]NameOwnerChanged for host service %s not shown\n",
                  log_escape(args[0]).c_str());
        return LOOKUPS_DROP;
    }
    if (name == args[0])
        return LOOKUPS_KEEP;
    LOG_TRACE("[SERVICE:]%s for namespaced service %s shown as %s\n",
              dbus_message_get_member(message), log_escape(args[0]).c_str(),
              log_escape(name).c_str());
    args[0] = name;
    *shown = copy_signal(message, args, count);
    return *shown ? LOOKUPS_REPLACED : LOOKUPS_KEEP;
}

// ListNames and its kin: namespaced instances under their plain names, and
// redirected names' host instances left out.
LookupsVerdict name_list(ConnectionPair *pair, DBusMessage *reply, DBusMessage **shown)
{
    DBusMessageIter iter, names;
    if (!dbus_message_has_signature(reply, "as") || !dbus_message_iter_init(reply, &iter))
        return LOOKUPS_KEEP;
    MessagePtr copy(dbus_message_new(DBUS_MESSAGE_TYPE_METHOD_RETURN));
    DBusMessageIter out, array;
    bool ok = copy &&
              dbus_message_set_reply_serial(copy.get(), dbus_message_get_reply_serial(reply)) &&
              dbus_message_set_sender(copy.get(), dbus_message_get_sender(reply)) &&
              (!dbus_message_get_destination(reply) ||
               dbus_message_set_destination(copy.get(), dbus_message_get_destination(reply)));
    if (ok) {
        dbus_message_set_serial(copy.get(), dbus_message_get_serial(reply));
        dbus_message_iter_init_append(copy.get(), &out);
        ok = dbus_message_iter_open_container(&out, DBUS_TYPE_ARRAY, "s", &array);
    }
    bool changed = false;
    dbus_message_iter_recurse(&iter, &names);
    for (; ok && dbus_message_iter_get_arg_type(&names) == DBUS_TYPE_STRING;
         dbus_message_iter_next(&names)) {
        const char *name = nullptr;
        dbus_message_iter_get_basic(&names, &name);
        char plain[REDIRECT_CANDIDATE_SIZE];
        const char *show = shown_name(pair, name, false, plain);
        changed |= show != name;
        if (show)
            ok = dbus_message_iter_append_basic(&array, DBUS_TYPE_STRING, &show);
    }
    ok = ok && dbus_message_iter_close_container(&out, &array);
    if (!ok || !changed)
        return LOOKUPS_KEEP;
    *shown = copy.release();
    return LOOKUPS_REPLACED;
}

} // namespace

LookupsVerdict translate_from_bus(ConnectionPair *pair, DBusMessage *message, DBusMessage **shown)
{
    *shown = nullptr;
    if (!pair->config->namespace_lookups)
        return LOOKUPS_KEEP;
    // Only the bus's own messages: any peer may send one with these names.
    const char *sender = dbus_message_get_sender(message);
    if (!sender || std::strcmp(sender, DBUS_SERVICE_DBUS) != 0)
        return LOOKUPS_KEEP;
    switch (dbus_message_get_type(message)) {
    case DBUS_MESSAGE_TYPE_SIGNAL:
        if (dbus_message_is_signal(message, DBUS_INTERFACE_DBUS, "NameOwnerChanged") ||
            dbus_message_is_signal(message, DBUS_INTERFACE_DBUS, "NameAcquired") ||
            dbus_message_is_signal(message, DBUS_INTERFACE_DBUS, "NameLost"))
            return owner_signal(pair, message, shown);
        return LOOKUPS_KEEP;
    case DBUS_MESSAGE_TYPE_METHOD_RETURN:
        return name_list(pair, message, shown);
    default:
        return LOOKUPS_KEEP;
    }
}

void lookups_free(ConnectionPair *pair)
{
    if (pair->asked_names)
        g_hash_table_destroy(pair->asked_names);
    pair->asked_names = nullptr;
}
