#include "policy/owners.h"

#include "log/log.h"
#include "policy/names.h"
#include "session/query_bus.h"
#include "util/dbus_ptr.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <vector>

namespace {

struct Tracker {
    const ProxyConfig *config = nullptr;
    DBusConnection *connection = nullptr; // the query connection it subscribed on
    std::unordered_map<std::string, std::string> owner_of;               // visible name -> unique
    std::unordered_map<std::string, std::vector<std::string>> owned_by;  // unique -> visible names
    std::unordered_map<uint32_t, std::string> asked;  // our GetNameOwner serial -> name
    uint32_t list_serial = 0;                          // our ListNames, while unanswered
    std::unordered_map<std::string, std::vector<PairPolicy *>> watchers; // peer -> pairs
};

// Lives as long as the process, like the main loop.
Tracker tracker;

// Match rules on our connection, well below the bus's default of 512.
constexpr size_t max_rules = 200;

// Set by owners_track_any: several policies are in use (containers), and
// the names to follow are those any of them sees.
bool (*any_policy_sees)(const char *name) = nullptr;

bool visible_name(const char *name)
{
    if (name[0] == ':')
        return false;
    if (any_policy_sees)
        return any_policy_sees(name);
    return policy_level(tracker.config->policy, name) >= POLICY_SEE;
}

void set_owner(const std::string &name, const char *owner)
{
    auto previous = tracker.owner_of.find(name);
    if (previous != tracker.owner_of.end()) {
        auto owned = tracker.owned_by.find(previous->second);
        if (owned != tracker.owned_by.end()) {
            std::erase(owned->second, name);
            if (owned->second.empty())
                tracker.owned_by.erase(owned);
        }
        tracker.owner_of.erase(previous);
    }
    if (owner && *owner) {
        tracker.owner_of.emplace(name, owner);
        tracker.owned_by[owner].push_back(name);
    }
}

void peer_left(const char *unique)
{
    tracker.owned_by.erase(unique);
    auto watching = tracker.watchers.find(unique);
    if (watching == tracker.watchers.end())
        return;
    const std::string name = watching->first;
    for (PairPolicy *state : watching->second)
        pair_policy_peer_left(state, name);
    tracker.watchers.erase(watching);
}

MessagePtr driver_call(const char *member, const char *arg)
{
    MessagePtr call(dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
                                                 DBUS_INTERFACE_DBUS, member));
    if (call && arg && !dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &arg,
                                                 DBUS_TYPE_INVALID))
        call.reset();
    return call;
}

// Replies are told apart by serial on our own connection, which carries no
// one else's calls; a pending call per name would cost a timer each.
uint32_t send(MessagePtr call)
{
    dbus_uint32_t serial = 0;
    if (!call || !dbus_connection_send(tracker.connection, call.get(), &serial))
        return 0;
    return serial;
}

void ask_owner(const char *name)
{
    if (uint32_t serial = send(driver_call("GetNameOwner", name)))
        tracker.asked.emplace(serial, name);
}

void subscribe(const char *rule)
{
    MessagePtr call = driver_call("AddMatch", rule);
    if (call)
        dbus_message_set_no_reply(call.get(), TRUE);
    send(std::move(call));
}

void on_list(DBusMessage *reply)
{
    DBusMessageIter iter, names;
    if (!dbus_message_iter_init(reply, &iter) ||
        dbus_message_iter_get_arg_type(&iter) != DBUS_TYPE_ARRAY ||
        dbus_message_iter_get_element_type(&iter) != DBUS_TYPE_STRING)
        return;
    dbus_message_iter_recurse(&iter, &names);
    for (; dbus_message_iter_get_arg_type(&names) == DBUS_TYPE_STRING;
         dbus_message_iter_next(&names)) {
        const char *name = nullptr;
        dbus_message_iter_get_basic(&names, &name);
        // Names asked for already are known by now or answered soon; with
        // several policies the list follows a change of them, and every
        // visible name is asked again.
        if (visible_name(name) && (any_policy_sees || !tracker.owner_of.count(name)))
            ask_owner(name);
    }
}

void on_reply(DBusMessage *reply)
{
    const uint32_t serial = dbus_message_get_reply_serial(reply);
    const bool ok = dbus_message_get_type(reply) == DBUS_MESSAGE_TYPE_METHOD_RETURN;
    if (serial == tracker.list_serial) {
        tracker.list_serial = 0;
        if (ok)
            on_list(reply);
        return;
    }
    auto asked = tracker.asked.find(serial);
    if (asked == tracker.asked.end())
        return;
    const char *owner = nullptr;
    // A change signalled since the question came before this answer on
    // the same connection, so the answer is the newer word.
    if (ok && dbus_message_get_args(reply, nullptr, DBUS_TYPE_STRING, &owner, DBUS_TYPE_INVALID))
        set_owner(asked->second, owner);
    tracker.asked.erase(asked);
}

DBusHandlerResult tracker_filter(DBusConnection *, DBusMessage *message, void *)
{
    const char *sender = dbus_message_get_sender(message);
    if (!sender || std::strcmp(sender, DBUS_SERVICE_DBUS) != 0)
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    const int type = dbus_message_get_type(message);
    if (type == DBUS_MESSAGE_TYPE_METHOD_RETURN || type == DBUS_MESSAGE_TYPE_ERROR) {
        on_reply(message);
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED; // pending calls of others
    }
    if (!dbus_message_is_signal(message, DBUS_INTERFACE_DBUS, "NameOwnerChanged"))
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    const char *name = nullptr, *old_owner = nullptr, *new_owner = nullptr;
    if (!dbus_message_get_args(message, nullptr, DBUS_TYPE_STRING, &name, DBUS_TYPE_STRING,
                               &old_owner, DBUS_TYPE_STRING, &new_owner, DBUS_TYPE_INVALID))
        return DBUS_HANDLER_RESULT_HANDLED;
    if (name[0] == ':') {
        if (!*new_owner)
            peer_left(name);
    } else if (visible_name(name)) {
        set_owner(name, new_owner);
    }
    return DBUS_HANDLER_RESULT_HANDLED;
}

void on_open(DBusConnection *connection)
{
    if (!tracker.config)
        return;
    tracker.connection = connection;
    dbus_connection_add_filter(connection, tracker_filter, nullptr, nullptr);
    // Subscribed before asking, so nothing falls between an answer and the
    // first change after it.
    const std::string base = "type='signal',sender='org.freedesktop.DBus',"
                             "interface='org.freedesktop.DBus',member='NameOwnerChanged'";
    if (any_policy_sees) {
        // The policies come and go with their containers: every change,
        // and the whole list, serve them all.
        subscribe(base.c_str());
        tracker.list_serial = send(driver_call("ListNames", nullptr));
        return;
    }
    const PolicyRules *rules = tracker.config->policy;
    // A rule for N covers its namespaced instance N.<namespace> too.
    std::vector<std::string> exact;
    for (const auto &entry : rules->exact) {
        exact.push_back(entry.first);
        if (!rules->namespace_suffix.empty())
            exact.push_back(entry.first + rules->namespace_suffix);
    }
    // A bus keeps a few hundred rules per connection by default; a large
    // policy takes every change instead.
    if (exact.size() + rules->prefix.size() >= max_rules) {
        subscribe(base.c_str());
    } else {
        for (const std::string &name : exact)
            subscribe((base + ",arg0='" + name + "'").c_str());
        for (const auto &entry : rules->prefix)
            subscribe((base + ",arg0namespace='" + entry.first + "'").c_str());
        // Every connection that leaves: the peers that called a client.
        subscribe((base + ",arg2=''").c_str());
    }
    for (const std::string &name : exact)
        if (visible_name(name.c_str()))
            ask_owner(name.c_str());
    if (!rules->prefix.empty())
        tracker.list_serial = send(driver_call("ListNames", nullptr));
}

void on_lost()
{
    // The bus went away, and every name on it.
    tracker.connection = nullptr;
    tracker.owner_of.clear();
    tracker.owned_by.clear();
    tracker.asked.clear();
    tracker.list_serial = 0;
}

} // namespace

void owners_start(const ProxyConfig *config)
{
    if (!config->policy)
        return;
    if (!tracker.config) {
        tracker.config = config;
        query_bus_on_open(on_open);
        query_bus_on_lost(on_lost);
    }
    query_bus_connection(config->use_system_bus);
}

const char *owners_owner_of(const char *name)
{
    auto it = tracker.owner_of.find(name);
    return it == tracker.owner_of.end() ? nullptr : it->second.c_str();
}

bool owners_owns_visible(const PolicyRules *rules, const char *unique)
{
    auto owned = tracker.owned_by.find(unique);
    if (owned == tracker.owned_by.end())
        return false;
    if (!any_policy_sees)
        return true; // every name followed is the one policy's
    for (const std::string &name : owned->second)
        if (policy_level(rules, name.c_str()) >= POLICY_SEE)
            return true;
    return false;
}

void owners_track_any(bool (*sees)(const char *name))
{
    const bool subscribed_all = any_policy_sees != nullptr;
    any_policy_sees = sees;
    // Names no policy sees any more would go stale unfollowed.
    for (auto it = tracker.owner_of.begin(); it != tracker.owner_of.end();) {
        auto next = std::next(it);
        if (!visible_name(it->first.c_str()))
            set_owner(it->first, nullptr);
        it = next;
    }
    if (!tracker.connection || !dbus_connection_get_is_connected(tracker.connection))
        return; // on_open does it all
    if (!subscribed_all)
        subscribe("type='signal',sender='org.freedesktop.DBus',"
                  "interface='org.freedesktop.DBus',member='NameOwnerChanged'");
    tracker.list_serial = send(driver_call("ListNames", nullptr));
}

NameGrant owners_unique_grant(const PolicyRules *rules, const char *unique)
{
    NameGrant grant;
    auto owned = tracker.owned_by.find(unique);
    if (owned == tracker.owned_by.end())
        return grant;
    for (const std::string &name : owned->second) {
        NameGrant one = policy_lookup(rules, name.c_str());
        grant.level = std::max(grant.level, one.level);
        grant.sources.insert(grant.sources.end(), one.sources.begin(), one.sources.end());
    }
    return grant;
}

void owners_learn(const PolicyRules *rules, const char *name, const char *old_owner,
                  const char *new_owner)
{
    if (!tracker.config || (!any_policy_sees && rules != tracker.config->policy))
        return;
    if (name[0] == ':') {
        if (!*new_owner)
            peer_left(name);
        return;
    }
    if (!visible_name(name))
        return;
    const char *known = owners_owner_of(name);
    if (std::strcmp(known ? known : "", old_owner) == 0)
        set_owner(name, new_owner);
}

void owners_learn_owner(const PolicyRules *rules, const char *name, const char *owner)
{
    if (!tracker.config || (!any_policy_sees && rules != tracker.config->policy) ||
        !visible_name(name) ||
        owner[0] != ':' || owners_owner_of(name))
        return;
    set_owner(name, owner);
}

void owners_watch_peer(PairPolicy *state, const std::string &unique)
{
    tracker.watchers[unique].push_back(state);
}

void owners_unwatch_peer(PairPolicy *state, const std::string &unique)
{
    auto watching = tracker.watchers.find(unique);
    if (watching == tracker.watchers.end())
        return;
    std::erase(watching->second, state);
    if (watching->second.empty())
        tracker.watchers.erase(watching);
}
