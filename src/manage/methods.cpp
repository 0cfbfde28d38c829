#include "manage/methods.h"

#include "containers/record.h"
#include "log/log.h"
#include "manage/settings.h"
#include "manage/socket_dir.h"
#include "panel/properties.h"
#include "session/pair.h"
#include "session/registry.h"
#include "util/dbus_ptr.h"

#include <unistd.h>

#include <cstring>
#include <set>

namespace {

// How long a management call may wait for the bus to name its caller's user.
constexpr int uid_query_timeout_ms = 10000;

// A management call waiting for GetConnectionUnixUser.
struct Check {
    ConnectionPtr connection; // where the call came from, and its answer goes
    MessagePtr call;
    DBusPendingCall *pending = nullptr;
};

struct Methods {
    const ProxyConfig *daemon = nullptr;
    ManageBackend backend{};
    std::set<Check *> checks;
};

// Lives as long as the process, like the main loop.
Methods methods;

void send_reply(DBusConnection *connection, DBusMessage *reply)
{
    if (reply)
        dbus_connection_send(connection, reply, nullptr);
}

void send_error(DBusConnection *connection, DBusMessage *call, const char *name,
                const std::string &text)
{
    MessagePtr reply(dbus_message_new_error(call, name, text.c_str()));
    send_reply(connection, reply.get());
}

void invalid_args(DBusConnection *connection, DBusMessage *call, const std::string &text)
{
    send_error(connection, call, DBUS_ERROR_INVALID_ARGS, text);
}

struct FindClient {
    const char *unique_name;
    bool found;
};

void match_client(ConnectionPair *pair, void *data)
{
    auto *find = static_cast<FindClient *>(data);
    if (find->found || !pair->server)
        return;
    const char *name = dbus_bus_get_unique_name(pair->server);
    if (name && std::strcmp(name, find->unique_name) == 0)
        find->found = true;
}

// -- AddContainer -----------------------------------------------------------

void add_container(DBusConnection *connection, DBusMessage *call)
{
    DBusMessageIter args;
    dbus_message_iter_init(call, &args);
    const char *name = nullptr;
    dbus_message_iter_get_basic(&args, &name);
    dbus_message_iter_next(&args);

    if (!container_name_valid(name)) {
        invalid_args(connection, call,
                     std::string("container name '") + name +
                         "': 1 to 64 letters, digits, '_' or '-', not starting with a digit");
        return;
    }
    std::string lines, why;
    if (!settings_to_lines(&args, &lines, &why)) {
        invalid_args(connection, call, why);
        return;
    }
    std::unique_ptr<Container> record = container_new(name, *methods.daemon);
    unsigned line = 0;
    if (container_parse_text(record.get(), lines, &line, &why) != 0) {
        invalid_args(connection, call, why);
        return;
    }
    std::string made;
    if (record->listen.empty()) {
        std::string problem;
        const std::string dir = socket_dir_prepare(methods.daemon->use_system_bus, &problem);
        if (dir.empty()) {
            send_error(connection, call, DBUS_ERROR_FAILED, problem);
            return;
        }
        made = socket_dir_path(dir, name);
        if (container_apply_setting(record.get(), "listen", socket_dir_address(made), &why) != 0) {
            send_error(connection, call, DBUS_ERROR_FAILED, why);
            return;
        }
    }
    if (container_finish(record.get(), &why) != 0) {
        invalid_args(connection, call, why);
        return;
    }
    record->origin = CONTAINER_CALL;
    const std::string address = record->listen.front();
    if (!methods.backend.add(std::move(record), &why)) {
        invalid_args(connection, call, why);
        return;
    }
    if (!made.empty() && !socket_dir_open_up(made))
        LOG_WARN("container %s: cannot open %s to the container's users\n", name, made.c_str());
    LOG_INFO("container %s added by %s, at %s\n", name, dbus_message_get_sender(call),
             address.c_str());
    MessagePtr reply(dbus_message_new_method_return(call));
    const char *text = address.c_str();
    if (reply &&
        dbus_message_append_args(reply.get(), DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID))
        send_reply(connection, reply.get());
}

// -- RemoveContainer --------------------------------------------------------

void remove_container(DBusConnection *connection, DBusMessage *call)
{
    const char *name = nullptr;
    dbus_message_get_args(call, nullptr, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID);
    const Container *container = methods.backend.find(name);
    if (!container || !*name) {
        invalid_args(connection, call, std::string("no container named '") + name + "'");
        return;
    }
    if (container->origin != CONTAINER_CALL) {
        invalid_args(connection, call,
                     std::string("container '") + name +
                         "' comes from a file: remove the file and reload instead");
        return;
    }
    // Closing its server removes the socket file the daemon made.
    if (!methods.backend.remove(name)) {
        invalid_args(connection, call, std::string("no container named '") + name + "'");
        return;
    }
    LOG_INFO("container %s removed by %s\n", name, dbus_message_get_sender(call));
    MessagePtr reply(dbus_message_new_method_return(call));
    send_reply(connection, reply.get());
}

// -- ListContainers ---------------------------------------------------------

void append_string(DBusMessageIter *dict, const char *key, const std::string &value)
{
    DBusMessageIter entry, variant;
    const char *text = value.c_str();
    dbus_message_iter_open_container(dict, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
    dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &key);
    dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, "s", &variant);
    dbus_message_iter_append_basic(&variant, DBUS_TYPE_STRING, &text);
    dbus_message_iter_close_container(&entry, &variant);
    dbus_message_iter_close_container(dict, &entry);
}

void append_basic(DBusMessageIter *dict, const char *key, int type, const char *signature,
                  const void *value)
{
    DBusMessageIter entry, variant;
    dbus_message_iter_open_container(dict, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
    dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &key);
    dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, signature, &variant);
    dbus_message_iter_append_basic(&variant, type, value);
    dbus_message_iter_close_container(&entry, &variant);
    dbus_message_iter_close_container(dict, &entry);
}

void append_strings(DBusMessageIter *dict, const char *key, const std::vector<std::string> &items)
{
    DBusMessageIter entry, variant, array;
    dbus_message_iter_open_container(dict, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
    dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &key);
    dbus_message_iter_open_container(&entry, DBUS_TYPE_VARIANT, "as", &variant);
    dbus_message_iter_open_container(&variant, DBUS_TYPE_ARRAY, "s", &array);
    for (const std::string &item : items) {
        const char *text = item.c_str();
        dbus_message_iter_append_basic(&array, DBUS_TYPE_STRING, &text);
    }
    dbus_message_iter_close_container(&variant, &array);
    dbus_message_iter_close_container(&entry, &variant);
    dbus_message_iter_close_container(dict, &entry);
}

void append_metadata(DBusMessageIter *iter,
                     const std::vector<std::pair<std::string, std::string>> &metadata)
{
    DBusMessageIter array;
    dbus_message_iter_open_container(iter, DBUS_TYPE_ARRAY, "{ss}", &array);
    for (const auto &[key, value] : metadata) {
        DBusMessageIter entry;
        const char *k = key.c_str(), *v = value.c_str();
        dbus_message_iter_open_container(&array, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
        dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &k);
        dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &v);
        dbus_message_iter_close_container(&array, &entry);
    }
    dbus_message_iter_close_container(iter, &array);
}

const char *origin_text(ContainerOrigin origin)
{
    switch (origin) {
    case CONTAINER_COMMAND_LINE:
        return "command-line";
    case CONTAINER_FILE:
        return "file";
    case CONTAINER_CALL:
        return "call";
    }
    return "";
}

// One container: its settings under the keys AddContainer takes, as they
// apply (defaults filled in), its origin and its number of clients.
void append_container(const Container &container, unsigned clients, void *data)
{
    auto *outer = static_cast<DBusMessageIter *>(data);
    DBusMessageIter entry, dict;
    const char *name = container.name.c_str();
    dbus_message_iter_open_container(outer, DBUS_TYPE_DICT_ENTRY, nullptr, &entry);
    dbus_message_iter_append_basic(&entry, DBUS_TYPE_STRING, &name);
    dbus_message_iter_open_container(&entry, DBUS_TYPE_ARRAY, "{sv}", &dict);

    const ProxyConfig &config = container.config;
    append_strings(&dict, "listen", container.listen);
    if (config.namespace_name)
        append_string(&dict, "namespace", config.namespace_name);
    if (config.activation_list_path)
        append_string(&dict, "activation-list", config.activation_list_path);
    append_string(&dict, "panel-prefix", config.panel_prefix ? config.panel_prefix : panel_icon_prefix);
    const dbus_bool_t lookups = config.namespace_lookups ? TRUE : FALSE;
    append_basic(&dict, "lookups", DBUS_TYPE_BOOLEAN, "b", &lookups);
    if (container.audit)
        append_string(&dict, "audit", container.audit_file);
    if (container.filter)
        append_strings(&dict, "policy", container.policy_lines);
    {
        DBusMessageIter meta_entry, variant;
        const char *key = "metadata";
        dbus_message_iter_open_container(&dict, DBUS_TYPE_DICT_ENTRY, nullptr, &meta_entry);
        dbus_message_iter_append_basic(&meta_entry, DBUS_TYPE_STRING, &key);
        dbus_message_iter_open_container(&meta_entry, DBUS_TYPE_VARIANT, "a{ss}", &variant);
        append_metadata(&variant, container.metadata);
        dbus_message_iter_close_container(&meta_entry, &variant);
        dbus_message_iter_close_container(&dict, &meta_entry);
    }
    append_string(&dict, "origin", origin_text(container.origin));
    const dbus_uint32_t count = clients;
    append_basic(&dict, "clients", DBUS_TYPE_UINT32, "u", &count);

    dbus_message_iter_close_container(&entry, &dict);
    dbus_message_iter_close_container(outer, &entry);
}

void list_containers(DBusConnection *connection, DBusMessage *call)
{
    MessagePtr reply(dbus_message_new_method_return(call));
    if (!reply)
        return;
    DBusMessageIter iter, outer;
    dbus_message_iter_init_append(reply.get(), &iter);
    dbus_message_iter_open_container(&iter, DBUS_TYPE_ARRAY, "{sa{sv}}", &outer);
    methods.backend.for_each(append_container, &outer);
    dbus_message_iter_close_container(&iter, &outer);
    send_reply(connection, reply.get());
}

// -- GetConnectionContainer -------------------------------------------------

void connection_container(DBusConnection *connection, DBusMessage *call)
{
    const char *unique_name = nullptr;
    dbus_message_get_args(call, nullptr, DBUS_TYPE_STRING, &unique_name, DBUS_TYPE_INVALID);
    const Container *container = methods.backend.of_client(unique_name);
    if (!container) {
        send_error(connection, call, manage_not_a_container,
                   std::string(unique_name) + " is not a client of this daemon");
        return;
    }
    MessagePtr reply(dbus_message_new_method_return(call));
    if (!reply)
        return;
    DBusMessageIter iter;
    const char *name = container->name.c_str();
    dbus_message_iter_init_append(reply.get(), &iter);
    dbus_message_iter_append_basic(&iter, DBUS_TYPE_STRING, &name);
    append_metadata(&iter, container->metadata);
    send_reply(connection, reply.get());
}

// -- Who may call -----------------------------------------------------------

bool may_manage(dbus_uint32_t uid)
{
    return uid == 0 || uid == geteuid();
}

void on_uid(DBusPendingCall *pending, void *data)
{
    auto *check = static_cast<Check *>(data);
    methods.checks.erase(check);
    MessagePtr reply(dbus_pending_call_steal_reply(pending));
    dbus_pending_call_unref(pending);
    DBusConnection *connection = check->connection.get();
    DBusMessage *call = check->call.get();

    dbus_uint32_t uid = 0;
    ScopedError error;
    const bool known = reply && !dbus_set_error_from_message(error.get(), reply.get()) &&
                       dbus_message_get_args(reply.get(), error.get(), DBUS_TYPE_UINT32, &uid,
                                             DBUS_TYPE_INVALID);
    if (!dbus_connection_get_is_connected(connection)) {
        // The bus went: no answer can reach the caller.
    } else if (!known) {
        send_error(connection, call, DBUS_ERROR_ACCESS_DENIED,
                   std::string("the bus did not name the caller's user: ") +
                       (error.is_set() ? error.message() : "no answer"));
    } else if (!may_manage(uid)) {
        LOG_INFO("refused %s from %s (uid %u)\n", dbus_message_get_member(call),
                 dbus_message_get_sender(call), uid);
        send_error(connection, call, DBUS_ERROR_ACCESS_DENIED,
                   "only the daemon's user and root may add and remove containers");
    } else if (dbus_message_has_member(call, "AddContainer")) {
        add_container(connection, call);
    } else {
        remove_container(connection, call);
    }
    delete check;
}

// Asks the bus for the caller's user; the call is answered in on_uid.
void check_then_run(DBusConnection *connection, DBusMessage *call)
{
    const char *sender = dbus_message_get_sender(call);
    // The bus names every sender; nothing else reaches this connection.
    if (!sender) {
        send_error(connection, call, DBUS_ERROR_ACCESS_DENIED, "the caller has no name");
        return;
    }
    MessagePtr query(dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
                                                  DBUS_INTERFACE_DBUS, "GetConnectionUnixUser"));
    DBusPendingCall *pending = nullptr;
    if (!query ||
        !dbus_message_append_args(query.get(), DBUS_TYPE_STRING, &sender, DBUS_TYPE_INVALID) ||
        !dbus_connection_send_with_reply(connection, query.get(), &pending,
                                         uid_query_timeout_ms) ||
        !pending) {
        send_error(connection, call, DBUS_ERROR_NO_MEMORY, "cannot ask the bus for the caller");
        return;
    }
    auto *check = new Check{ConnectionPtr::share(connection), MessagePtr::share(call), pending};
    if (!dbus_pending_call_set_notify(pending, on_uid, check, nullptr)) {
        dbus_pending_call_cancel(pending);
        dbus_pending_call_unref(pending);
        delete check;
        send_error(connection, call, DBUS_ERROR_NO_MEMORY, "cannot ask the bus for the caller");
        return;
    }
    methods.checks.insert(check);
}

} // namespace

bool methods_is_client(const char *unique_name)
{
    FindClient find{unique_name, false};
    if (unique_name)
        pair_registry_for_each(match_client, &find);
    return find.found;
}

void methods_init(const ProxyConfig *daemon, const ManageBackend &backend)
{
    methods.daemon = daemon;
    methods.backend = backend;
}

DBusHandlerResult methods_handle(DBusConnection *connection, DBusMessage *call)
{
    const char *interface = dbus_message_get_interface(call);
    if (interface && std::strcmp(interface, manage_interface) != 0)
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    const char *member = dbus_message_get_member(call);
    struct Method {
        const char *member;
        const char *signature;
        bool manages;
        void (*run)(DBusConnection *, DBusMessage *);
    };
    static constexpr Method table[] = {
        {"AddContainer", "sa{sv}", true, add_container},
        {"RemoveContainer", "s", true, remove_container},
        {"ListContainers", "", false, list_containers},
        {"GetConnectionContainer", "s", false, connection_container},
    };
    for (const Method &method : table) {
        if (!member || std::strcmp(member, method.member) != 0)
            continue;
        // A client's bus connection has the daemon's user: the bus's word
        // about it says nothing. Nor does a container learn of its
        // neighbours.
        if (methods_is_client(dbus_message_get_sender(call))) {
            LOG_INFO("refused %s from %s, a client of this daemon\n", member,
                     dbus_message_get_sender(call));
            send_error(connection, call, DBUS_ERROR_ACCESS_DENIED,
                       "a client of this daemon may not use the containers interface");
            return DBUS_HANDLER_RESULT_HANDLED;
        }
        if (!dbus_message_has_signature(call, method.signature)) {
            invalid_args(connection, call,
                         std::string(member) + " takes (" + method.signature + "), not (" +
                             dbus_message_get_signature(call) + ")");
            return DBUS_HANDLER_RESULT_HANDLED;
        }
        if (method.manages)
            check_then_run(connection, call);
        else
            method.run(connection, call);
        return DBUS_HANDLER_RESULT_HANDLED;
    }
    return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
}

void methods_stop()
{
    for (Check *check : methods.checks) {
        dbus_pending_call_cancel(check->pending);
        dbus_pending_call_unref(check->pending);
        delete check;
    }
    methods.checks.clear();
}
