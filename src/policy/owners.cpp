#include "policy/owners.h"

#include "log/log.h"
#include "policy/names.h"
#include "session/query_bus.h"
#include "util/dbus_ptr.h"

#include "util/overrides.h"

#include <glib.h>

#include <cstring>
#include <deque>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

// What a peer's visible names grant it under one policy, combined: counted
// per level and per rule so that a name leaving costs as little as one
// coming.
struct Combined {
    unsigned levels[POLICY_OWN + 1] = {};
    std::unordered_map<const NameRules *, unsigned> sources;
    NameGrant grant;
};

// A peer that owns visible names, with their grant under each policy the
// tracker serves (one, or one per filtered container).
struct Owner {
    std::unordered_set<std::string> names;
    std::unordered_map<const PolicyRules *, Combined> by_policy;
};

// One owners_sync caller, until the round trip it waits for is answered or
// its time is up.
struct Waiter {
    void *key;
    OwnersSynced done;
    uint64_t round;  // the Ping whose answer it waits for
    gint64 deadline; // monotonic
};

struct Tracker {
    const ProxyConfig *config = nullptr;
    DBusConnection *connection = nullptr; // the query connection it subscribed on
    std::unordered_map<std::string, std::string> owner_of; // visible name -> unique
    std::unordered_map<std::string, Owner> owned_by;       // unique -> its visible names
    std::unordered_map<uint32_t, std::string> asked;  // our GetNameOwner serial -> name
    uint32_t list_serial = 0;                          // our ListNames, while unanswered
    std::unordered_map<std::string, std::vector<PairPolicy *>> watchers; // peer -> pairs
    // Round trips, numbered from 1 on every connection alike.
    uint64_t rounds_sent = 0;
    uint64_t rounds_replied = 0;  // the bus answered these Pings
    uint64_t rounds_answered = 0; // ... and every question asked before them
    uint32_t ping_serial = 0;     // the Ping in flight, 0 when none
    std::deque<Waiter> waiters;   // in the order asked: rounds and deadlines ascend
    guint timer = 0;
    // Set by owners_track_policies: several policies are in use
    // (containers), and the names followed are those any of them sees.
    bool several = false;
    std::vector<const PolicyRules *> policies;
};

// Lives as long as the process, like the main loop.
Tracker tracker;

// Match rules on our connection, well below the bus's default of 512.
constexpr size_t max_rules = 200;

const NameGrant no_grant;

// The policies served: owners_start's one, or owners_track_policies' list.
const std::vector<const PolicyRules *> &served()
{
    static std::vector<const PolicyRules *> one;
    if (tracker.several)
        return tracker.policies;
    one.clear();
    if (tracker.config && tracker.config->policy)
        one.push_back(tracker.config->policy);
    return one;
}

bool visible_name(const char *name)
{
    if (name[0] == ':')
        return false;
    for (const PolicyRules *rules : served())
        if (policy_level(rules, name) >= POLICY_SEE)
            return true;
    return false;
}

void count_in(Combined &combined, const NameGrant &one, int delta)
{
    if (delta > 0)
        ++combined.levels[one.level];
    else
        --combined.levels[one.level];
    for (const NameRules *source : one.sources) {
        unsigned &n = combined.sources[source];
        if (delta > 0 && n++ == 0)
            combined.grant.sources.push_back(source);
        if (delta < 0 && --n == 0) {
            combined.sources.erase(source);
            std::erase(combined.grant.sources, source);
        }
    }
    int level = POLICY_OWN;
    while (level > POLICY_NONE && !combined.levels[level])
        --level;
    combined.grant.level = level;
}

void count_name(Owner &owner, const std::string &name, int delta)
{
    for (const PolicyRules *rules : served()) {
        const NameGrant one = policy_lookup(rules, name.c_str());
        // The same policies are asked when the name goes: symmetric.
        if (one.level == POLICY_NONE && one.sources.empty())
            continue;
        count_in(owner.by_policy[rules], one, delta);
    }
}

void drop_name(const std::string &name, const std::string &unique)
{
    auto owned = tracker.owned_by.find(unique);
    if (owned == tracker.owned_by.end() || !owned->second.names.erase(name))
        return;
    count_name(owned->second, name, -1);
    if (owned->second.names.empty())
        tracker.owned_by.erase(owned);
}

void set_owner(const std::string &name, const char *owner)
{
    auto previous = tracker.owner_of.find(name);
    if (previous != tracker.owner_of.end()) {
        drop_name(name, previous->second);
        tracker.owner_of.erase(previous);
    }
    if (owner && *owner) {
        tracker.owner_of.emplace(name, owner);
        Owner &entry = tracker.owned_by[owner];
        if (entry.names.insert(name).second)
            count_name(entry, name, +1);
    }
}

void peer_left(const char *unique)
{
    // Its names went before it, each with a change of its own; this only
    // tidies what a missed change would have left.
    if (auto owned = tracker.owned_by.find(unique); owned != tracker.owned_by.end()) {
        for (const std::string &name : owned->second.names)
            tracker.owner_of.erase(name);
        tracker.owned_by.erase(owned);
    }
    auto watching = tracker.watchers.find(unique);
    if (watching == tracker.watchers.end())
        return;
    const std::string name = watching->first;
    const std::vector<PairPolicy *> states = std::move(watching->second);
    tracker.watchers.erase(watching);
    for (PairPolicy *state : states)
        pair_policy_peer_left(state, name);
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
    if (!call || !tracker.connection ||
        !dbus_connection_send(tracker.connection, call.get(), &serial))
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

void send_round()
{
    tracker.ping_serial = send(MessagePtr(dbus_message_new_method_call(
        DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_PEER, "Ping")));
    if (tracker.ping_serial)
        ++tracker.rounds_sent;
}

gboolean on_wait_timeout(gpointer);

void arm_timer()
{
    if (tracker.timer)
        g_source_remove(tracker.timer);
    tracker.timer = 0;
    if (tracker.waiters.empty())
        return;
    const gint64 left_us = tracker.waiters.front().deadline - g_get_monotonic_time();
    tracker.timer = g_timeout_add(left_us > 0 ? guint(left_us / 1000) + 1 : 0, on_wait_timeout,
                                  nullptr);
}

// Which waiters a wake-up is for: those whose round trip is answered,
// those whose time is up, or all (the bus is gone or cannot be asked).
enum WakeFor { WAKE_ANSWERED, WAKE_LATE, WAKE_ALL };

bool is_woken(const Waiter &waiter, WakeFor which)
{
    switch (which) {
    case WAKE_ANSWERED:
        return waiter.round <= tracker.rounds_answered;
    case WAKE_LATE:
        return waiter.deadline <= g_get_monotonic_time();
    case WAKE_ALL:
        return true;
    }
    return true;
}

// Runs the waiters that are done, oldest first. One at a time: a waiter's
// callback may add waiters or cancel others.
void wake(WakeFor which)
{
    while (!tracker.waiters.empty() && is_woken(tracker.waiters.front(), which)) {
        const Waiter waiter = tracker.waiters.front();
        tracker.waiters.pop_front();
        waiter.done(waiter.key);
    }
    // Those left asked while the answered Ping was in flight: they need one
    // sent after them.
    if (!tracker.waiters.empty() && !tracker.ping_serial) {
        send_round();
        if (!tracker.ping_serial)
            return wake(WAKE_ALL);
    }
    arm_timer();
}

gboolean on_wait_timeout(gpointer)
{
    tracker.timer = 0;
    wake(WAKE_LATE);
    return G_SOURCE_REMOVE;
}

// A round is answered once its Ping is, and every question we asked the
// bus (the owners of the names at start) too: a client that arrives with
// the daemon waits for the tracker's first view, not just for the bus.
void rounds_maybe_answered()
{
    if (!tracker.asked.empty() || tracker.list_serial ||
        tracker.rounds_answered == tracker.rounds_replied)
        return;
    tracker.rounds_answered = tracker.rounds_replied;
    wake(WAKE_ANSWERED);
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
        if (visible_name(name) && (tracker.several || !tracker.owner_of.count(name)))
            ask_owner(name);
    }
}

void on_reply(DBusMessage *reply)
{
    const uint32_t serial = dbus_message_get_reply_serial(reply);
    const bool ok = dbus_message_get_type(reply) == DBUS_MESSAGE_TYPE_METHOD_RETURN;
    if (serial && serial == tracker.ping_serial) {
        // An error is an answer too: the bus has read the Ping.
        tracker.ping_serial = 0;
        tracker.rounds_replied = tracker.rounds_sent;
    } else if (serial && serial == tracker.list_serial) {
        tracker.list_serial = 0;
        if (ok)
            on_list(reply);
    } else if (auto asked = tracker.asked.find(serial); asked != tracker.asked.end()) {
        const char *owner = nullptr;
        // A change signalled since the question came before this answer on
        // the same connection, so the answer is the newer word.
        if (ok &&
            dbus_message_get_args(reply, nullptr, DBUS_TYPE_STRING, &owner, DBUS_TYPE_INVALID))
            set_owner(asked->second, owner);
        tracker.asked.erase(asked);
    } else {
        return;
    }
    rounds_maybe_answered();
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

// The namespace a pattern's changes arrive under: "org.kde" for
// "org.kde.StatusNotifierItem-*".
std::string pattern_parent(const std::string &stem)
{
    return stem.substr(0, stem.rfind('.'));
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
    if (tracker.several) {
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
    std::unordered_set<std::string> spaces;
    for (const auto &entry : rules->prefix)
        spaces.insert(entry.first);
    for (const auto &entry : rules->element_prefix)
        spaces.insert(pattern_parent(entry.first));
    // A bus keeps a few hundred rules per connection by default; a large
    // policy takes every change instead.
    if (exact.size() + spaces.size() >= max_rules) {
        subscribe(base.c_str());
    } else {
        for (const std::string &name : exact)
            subscribe((base + ",arg0='" + name + "'").c_str());
        for (const std::string &space : spaces)
            subscribe((base + ",arg0namespace='" + space + "'").c_str());
        // Every connection that leaves: the peers that called a client.
        subscribe((base + ",arg2=''").c_str());
    }
    for (const std::string &name : exact)
        if (visible_name(name.c_str()))
            ask_owner(name.c_str());
    if (!spaces.empty())
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
    tracker.ping_serial = 0;
    // Judged with nothing known: refused.
    wake(WAKE_ALL);
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

const NameGrant &owners_unique_grant(const PolicyRules *rules, const char *unique)
{
    auto owned = tracker.owned_by.find(unique);
    if (owned == tracker.owned_by.end())
        return no_grant;
    auto combined = owned->second.by_policy.find(rules);
    return combined == owned->second.by_policy.end() ? no_grant : combined->second.grant;
}

bool owners_owns_visible(const PolicyRules *rules, const char *unique)
{
    return owners_unique_grant(rules, unique).level >= POLICY_SEE;
}

void owners_track_policies(std::vector<const PolicyRules *> policies)
{
    const bool subscribed_all = tracker.several;
    tracker.several = true;
    tracker.policies = std::move(policies);
    // Names no policy sees any more would go stale unfollowed; the others'
    // grants are counted again under the policies now served.
    for (auto it = tracker.owner_of.begin(); it != tracker.owner_of.end();) {
        auto next = std::next(it);
        if (!visible_name(it->first.c_str()))
            set_owner(it->first, nullptr);
        it = next;
    }
    for (auto &[unique, owner] : tracker.owned_by) {
        owner.by_policy.clear();
        for (const std::string &name : owner.names)
            count_name(owner, name, +1);
    }
    if (!tracker.connection || !dbus_connection_get_is_connected(tracker.connection))
        return; // on_open does it all
    if (!subscribed_all)
        subscribe("type='signal',sender='org.freedesktop.DBus',"
                  "interface='org.freedesktop.DBus',member='NameOwnerChanged'");
    tracker.list_serial = send(driver_call("ListNames", nullptr));
}

bool owners_sync(void *key, OwnersSynced done)
{
    if (!tracker.connection)
        return false;
    uint64_t round = tracker.rounds_sent + 1;
    if (!tracker.ping_serial) {
        send_round();
        if (!tracker.ping_serial)
            return false;
        round = tracker.rounds_sent;
    }
    const gint64 wait_us = gint64(overrides.policy_owner_wait_ms) * 1000;
    tracker.waiters.push_back(Waiter{key, done, round, g_get_monotonic_time() + wait_us});
    if (!tracker.timer)
        arm_timer();
    return true;
}

void owners_sync_cancel(void *key)
{
    std::erase_if(tracker.waiters, [key](const Waiter &waiter) { return waiter.key == key; });
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
