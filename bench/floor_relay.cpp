// The floor a relay built on libdbus can reach: every client gets a private
// bus connection, and each message is passed on by dbus_connection_send
// from a filter. The connections are hosted as the daemon hosts its own:
// one GLib source over one epoll set, watch toggles synced lazily before
// the poll. Nothing else: no policy, no namespaces, no bounds. bench/count.py
// compares the daemon's instructions and system calls per message with it.
//
// usage: bench_floor_relay --socket PATH --bus ADDRESS
#include "bench_util.h"

#include <glib.h>

#include <signal.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

struct Entry {
    int fd = -1;
    std::vector<DBusWatch *> watches;
    uint32_t registered = 0;
    bool dirty = false;
    bool dead = false;
};

struct Owner {
    std::vector<Entry *> entries;
};

struct Pair {
    DBusConnection *client = nullptr;
    DBusConnection *bus = nullptr;
};

int epfd = -1;
GPollFD pollfd{};
std::vector<Entry *> dirty;
std::vector<Entry *> dead;
std::vector<DBusConnection *> ready;
const char *bus_address = nullptr;

void mark_dirty(Entry *e)
{
    if (!e->dirty) {
        e->dirty = true;
        dirty.push_back(e);
    }
}

dbus_bool_t add_watch(DBusWatch *watch, void *data)
{
    auto *owner = static_cast<Owner *>(data);
    const int fd = dbus_watch_get_unix_fd(watch);
    Entry *entry = nullptr;
    for (Entry *e : owner->entries)
        if (e->fd == fd)
            entry = e;
    if (!entry) {
        entry = new Entry;
        entry->fd = fd;
        owner->entries.push_back(entry);
    }
    entry->watches.push_back(watch);
    dbus_watch_set_data(watch, entry, nullptr);
    mark_dirty(entry);
    return TRUE;
}

void remove_watch(DBusWatch *watch, void *data)
{
    auto *owner = static_cast<Owner *>(data);
    auto *entry = static_cast<Entry *>(dbus_watch_get_data(watch));
    if (!entry)
        return;
    dbus_watch_set_data(watch, nullptr, nullptr);
    entry->watches.erase(std::find(entry->watches.begin(), entry->watches.end(), watch));
    if (!entry->watches.empty()) {
        mark_dirty(entry);
        return;
    }
    if (entry->registered)
        epoll_ctl(epfd, EPOLL_CTL_DEL, entry->fd, nullptr);
    entry->registered = 0;
    entry->dead = true;
    owner->entries.erase(std::find(owner->entries.begin(), owner->entries.end(), entry));
    dead.push_back(entry); // epoll may have reported it in this pass
}

void toggle_watch(DBusWatch *watch, void *)
{
    if (auto *entry = static_cast<Entry *>(dbus_watch_get_data(watch)))
        mark_dirty(entry);
}

void free_owner(void *data)
{
    delete static_cast<Owner *>(data);
}

void sync(Entry *e)
{
    if (e->dead)
        return;
    uint32_t want = 0;
    for (DBusWatch *w : e->watches) {
        if (!dbus_watch_get_enabled(w))
            continue;
        const unsigned flags = dbus_watch_get_flags(w);
        if (flags & DBUS_WATCH_READABLE)
            want |= EPOLLIN;
        if (flags & DBUS_WATCH_WRITABLE)
            want |= EPOLLOUT;
    }
    if (want == e->registered)
        return;
    epoll_event ev{};
    ev.events = want;
    ev.data.ptr = e;
    const int op = e->registered == 0 ? EPOLL_CTL_ADD : want == 0 ? EPOLL_CTL_DEL : EPOLL_CTL_MOD;
    if (epoll_ctl(epfd, op, e->fd, &ev) == 0)
        e->registered = want;
}

dbus_bool_t add_timeout(DBusTimeout *, void *)
{
    return TRUE; // no pending calls once the bus connection is registered
}

void no_timeout(DBusTimeout *, void *) {}

void on_status(DBusConnection *connection, DBusDispatchStatus status, void *)
{
    if (status == DBUS_DISPATCH_DATA_REMAINS) {
        dbus_connection_ref(connection);
        ready.push_back(connection);
    }
}

void attach(DBusConnection *connection)
{
    auto *owner = new Owner;
    dbus_connection_set_watch_functions(connection, add_watch, remove_watch, toggle_watch, owner,
                                        free_owner);
    dbus_connection_set_timeout_functions(connection, add_timeout, no_timeout, no_timeout,
                                          nullptr, nullptr);
    dbus_connection_set_dispatch_status_function(connection, on_status, nullptr, nullptr);
    if (dbus_connection_get_dispatch_status(connection) == DBUS_DISPATCH_DATA_REMAINS)
        on_status(connection, DBUS_DISPATCH_DATA_REMAINS, nullptr);
}

DBusHandlerResult from_client(DBusConnection *, DBusMessage *message, void *data);
DBusHandlerResult from_bus(DBusConnection *, DBusMessage *message, void *data);

void end_pair(Pair *pair)
{
    dbus_connection_remove_filter(pair->client, from_client, pair);
    dbus_connection_remove_filter(pair->bus, from_bus, pair);
    dbus_connection_close(pair->bus);
    dbus_connection_unref(pair->bus);
    dbus_connection_close(pair->client);
    dbus_connection_unref(pair->client);
    delete pair;
}

DBusHandlerResult from_client(DBusConnection *, DBusMessage *message, void *data)
{
    auto *pair = static_cast<Pair *>(data);
    if (dbus_message_is_signal(message, DBUS_INTERFACE_LOCAL, "Disconnected")) {
        end_pair(pair);
        return DBUS_HANDLER_RESULT_HANDLED;
    }
    if (dbus_message_is_method_call(message, DBUS_INTERFACE_DBUS, "Hello") &&
        dbus_message_has_destination(message, DBUS_SERVICE_DBUS)) {
        DBusMessage *reply = dbus_message_new_method_return(message);
        const char *name = dbus_bus_get_unique_name(pair->bus);
        dbus_message_append_args(reply, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID);
        dbus_connection_send(pair->client, reply, nullptr);
        dbus_message_unref(reply);
        return DBUS_HANDLER_RESULT_HANDLED;
    }
    dbus_connection_send(pair->bus, message, nullptr);
    return DBUS_HANDLER_RESULT_HANDLED;
}

DBusHandlerResult from_bus(DBusConnection *, DBusMessage *message, void *data)
{
    auto *pair = static_cast<Pair *>(data);
    if (dbus_message_is_signal(message, DBUS_INTERFACE_LOCAL, "Disconnected")) {
        dbus_connection_close(pair->client); // its Disconnected ends the pair
        return DBUS_HANDLER_RESULT_HANDLED;
    }
    dbus_connection_send(pair->client, message, nullptr);
    return DBUS_HANDLER_RESULT_HANDLED;
}

dbus_bool_t allow_user(DBusConnection *, unsigned long uid, void *)
{
    return uid == getuid();
}

void on_new_connection(DBusServer *, DBusConnection *client, void *)
{
    // Blocking here is fine for a benchmark: set-up is not what is counted.
    DBusConnection *bus = bench::open_registered(bus_address, false);
    if (!bus)
        return;
    auto *pair = new Pair{dbus_connection_ref(client), bus};
    dbus_connection_set_unix_user_function(client, allow_user, nullptr, nullptr);
    dbus_connection_add_filter(client, from_client, pair, nullptr);
    dbus_connection_add_filter(bus, from_bus, pair, nullptr);
    attach(client);
    attach(bus);
}

gboolean prepare(GSource *, gint *timeout)
{
    for (Entry *e : dirty) {
        e->dirty = false;
        sync(e);
    }
    dirty.clear();
    for (Entry *e : dead)
        delete e;
    dead.clear();
    *timeout = ready.empty() ? -1 : 0;
    return !ready.empty();
}

gboolean check(GSource *)
{
    return (pollfd.revents & G_IO_IN) || !ready.empty();
}

gboolean dispatch(GSource *, GSourceFunc, gpointer)
{
    if (pollfd.revents & G_IO_IN) {
        epoll_event events[64];
        const int n = epoll_wait(epfd, events, 64, 0);
        for (int i = 0; i < n; ++i) {
            auto *e = static_cast<Entry *>(events[i].data.ptr);
            DBusWatch *copy[4];
            const size_t count = std::min<size_t>(e->watches.size(), 4);
            std::copy_n(e->watches.begin(), count, copy);
            for (size_t k = 0; k < count; ++k) {
                DBusWatch *w = copy[k];
                if (e->dead || std::find(e->watches.begin(), e->watches.end(), w) ==
                                   e->watches.end() ||
                    !dbus_watch_get_enabled(w))
                    continue;
                const unsigned flags = dbus_watch_get_flags(w);
                unsigned condition = 0;
                if ((events[i].events & EPOLLIN) && (flags & DBUS_WATCH_READABLE))
                    condition |= DBUS_WATCH_READABLE;
                if ((events[i].events & EPOLLOUT) && (flags & DBUS_WATCH_WRITABLE))
                    condition |= DBUS_WATCH_WRITABLE;
                if (events[i].events & EPOLLERR)
                    condition |= DBUS_WATCH_ERROR;
                if (events[i].events & EPOLLHUP)
                    condition |= DBUS_WATCH_HANGUP;
                if (condition)
                    dbus_watch_handle(w, condition);
            }
        }
    }
    while (!ready.empty()) {
        std::vector<DBusConnection *> batch;
        batch.swap(ready);
        for (DBusConnection *c : batch) {
            while (dbus_connection_dispatch(c) == DBUS_DISPATCH_DATA_REMAINS) {
            }
            dbus_connection_unref(c);
        }
    }
    return G_SOURCE_CONTINUE;
}

GSourceFuncs funcs = {prepare, check, dispatch, nullptr, nullptr, nullptr};

void on_term(int)
{
    _exit(0); // the tools that count (callgrind, strace) report at exit
}

} // namespace

int main(int argc, char **argv)
{
    bench::Args args(argc, argv);
    const char *socket = args.get("--socket", nullptr);
    bus_address = args.get("--bus", nullptr);
    if (!socket || !bus_address) {
        std::fprintf(stderr, "usage: floor_relay --socket PATH --bus ADDRESS\n");
        return 2;
    }
    signal(SIGTERM, on_term);
    signal(SIGPIPE, SIG_IGN);

    epfd = epoll_create1(EPOLL_CLOEXEC);
    GSource *source = g_source_new(&funcs, sizeof(GSource));
    pollfd.fd = epfd;
    pollfd.events = G_IO_IN;
    g_source_add_poll(source, &pollfd);
    g_source_set_can_recurse(source, TRUE);
    g_source_attach(source, nullptr);

    const std::string address = std::string("unix:path=") + socket;
    DBusError err;
    dbus_error_init(&err);
    DBusServer *server = dbus_server_listen(address.c_str(), &err);
    if (!server) {
        std::fprintf(stderr, "listen %s: %s\n", address.c_str(), err.message);
        return 1;
    }
    const char *mechanisms[] = {"EXTERNAL", nullptr};
    dbus_server_set_auth_mechanisms(server, mechanisms);
    dbus_server_set_new_connection_function(server, on_new_connection, nullptr, nullptr);
    dbus_server_set_watch_functions(server, add_watch, remove_watch, toggle_watch, new Owner,
                                    free_owner);
    dbus_server_set_timeout_functions(server, add_timeout, no_timeout, no_timeout, nullptr,
                                      nullptr);
    g_main_loop_run(g_main_loop_new(nullptr, FALSE));
    return 0;
}
