// How libdbus connections and servers run on the GLib main loop.
//
// - Every socket of every attached connection and server is in one epoll
//   instance, which GLib sees as one source with one GPollFD: the cost of a
//   loop iteration does not grow with the number of idle connections, and
//   only the sockets epoll reports (and the connections with messages
//   waiting) are visited.
// - libdbus switches a connection's write watch on and off around each send.
//   A toggle only updates our record and marks the socket dirty; the epoll
//   registration is synced in prepare, and only where the wanted events
//   differ from those registered, so the usual on/off pair costs no system
//   call and no wake-up.
// - The source may recurse: otherwise GLib takes its descriptor out of the
//   poll set around every dispatch and wakes itself to put it back.
// - The dispatch-status callback puts a connection on the ready list; a pass
//   dispatches every complete message of every ready connection.
// - libdbus reads about 4 KiB per watch call. A read that completed no
//   message and did not find the socket empty is handled again in the same
//   pass (bounded), so a large message does not cost a loop iteration per
//   piece, nor a FIONREAD per piece.
// - Filters run inside our dispatch may close and unref any connection, and
//   that removes watches while we walk them. Records die in place and are
//   freed only when no pass is running; a connection is referenced only
//   around each single call into libdbus, so once its owner has dropped it,
//   it is finalised and never dispatched again (as with one dispatch per
//   iteration).
// - An accept that fails for lack of descriptors leaves the listening socket
//   readable; retrying at once would spin, so the server rests a moment.
// - GLib would poll() the epoll descriptor and we would then ask epoll what
//   is ready: two system calls per wake-up. Our poll function waits in
//   epoll_wait alone instead, and dispatch takes the events it already has.
//   GLib's own wake-up descriptor lives as long as the context and sits in
//   our set; other sources' descriptors sit in a nested set that is built
//   afresh whenever they change.
// - The daemon's own descriptors (signals, the activation list's inotify)
//   sit in our set too, with a callback instead of watches, so that GLib
//   has no other source to prepare and check on each iteration.
#include "loop/loop.h"

#include "log/log.h"

#include <glib.h>

#include <poll.h>

#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <cerrno>
#include <vector>

namespace {

struct Owner;

// One socket of a connection or server, with the watches libdbus has on it.
struct FdEntry {
    int fd = -1;
    uint32_t registered = 0; // events currently in epoll; 0: not in epoll
    Owner *owner = nullptr; // null once the last watch is gone
    // Set when this is home->first: it is given back to its owner, which
    // lives on until then, instead of being deleted.
    Owner *home = nullptr;
    FdEntry *next = nullptr; // the owner's other sockets
    // libdbus puts a read and a write watch on a socket: they fit here, and
    // anything past them goes to `more`.
    DBusWatch *few[2] = {};
    unsigned n_watches = 0;
    bool dirty = false;
    bool watched = false; // a WatchedFd
    std::vector<DBusWatch *> *more = nullptr;

    FdEntry() = default;
    FdEntry(const FdEntry &) = delete;
    FdEntry &operator=(const FdEntry &) = delete;
    ~FdEntry() { delete more; }
};

// A descriptor of loop_watch_fd(), which has no owner.
struct WatchedFd : FdEntry {
    void (*on_ready)(void *) = nullptr;
    void *ready_data = nullptr;
};

void delete_entry(FdEntry *entry)
{
    if (entry->watched)
        delete static_cast<WatchedFd *>(entry);
    else
        delete entry;
}

// One record per connection or server, with its first socket's entry in
// it: an idle client costs two of these, one allocation each.
struct Owner {
    DBusConnection *connection = nullptr; // null once finalised
    DBusServer *server = nullptr;
    FdEntry *entries = nullptr; // its sockets, linked by `next`
    int busy = 0;        // passes, the ready list and a dead `first` holding this record
    guint wake_id = 0;
    bool gone = false;   // libdbus released it
    bool queued = false; // on the ready list
    bool resting = false; // server: not accepting for a moment
    bool first_used = false; // `first` is taken, alive or waiting to be freed
    // Connection: its last read brought no whole message, so part of one is
    // in libdbus's hands (see loop_connection_mid_message).
    bool mid_message = false;
    FdEntry first;
};

DBusWatch *watch_at(const FdEntry *entry, unsigned i)
{
    return i < std::size(entry->few) ? entry->few[i] : (*entry->more)[i - std::size(entry->few)];
}

void add_to_entry(FdEntry *entry, DBusWatch *watch)
{
    if (entry->n_watches < std::size(entry->few)) {
        entry->few[entry->n_watches] = watch;
    } else {
        if (!entry->more)
            entry->more = new std::vector<DBusWatch *>;
        entry->more->push_back(watch);
    }
    entry->n_watches++;
}

bool entry_has_watch(const FdEntry *entry, DBusWatch *watch)
{
    for (unsigned i = 0; i < entry->n_watches; ++i)
        if (watch_at(entry, i) == watch)
            return true;
    return false;
}

void remove_from_entry(FdEntry *entry, DBusWatch *watch)
{
    unsigned i = 0;
    while (i < entry->n_watches && watch_at(entry, i) != watch)
        ++i;
    if (i == entry->n_watches)
        return;
    // Order kept: the rest move down by one.
    for (; i + 1 < entry->n_watches; ++i) {
        DBusWatch *next = watch_at(entry, i + 1);
        if (i < std::size(entry->few))
            entry->few[i] = next;
        else
            (*entry->more)[i - std::size(entry->few)] = next;
    }
    entry->n_watches--;
    if (entry->n_watches >= std::size(entry->few))
        entry->more->pop_back();
}

// A pass over one socket stops reading after this many extra watch calls
// (about 4 KiB each) so that one large message does not starve the others.
constexpr int max_extra_reads = 64;
// The connection data slot that leads from a connection to its record.
dbus_int32_t owner_slot = -1;

// Rounds of the ready list per pass; what is left runs in the next iteration.
constexpr int max_ready_rounds = 16;
constexpr int max_events = 64;
constexpr gint64 fd_warning_interval_us = 60 * G_USEC_PER_SEC;

struct ForeignFd {
    int fd;
    gushort events;
};

struct LoopState {
    int epfd = -1;
    GSource *source = nullptr;
    GPollFD pollfd{};
    // What our poll function's epoll_wait returned for the connections,
    // handed to the next dispatch; entries killed meanwhile wait for it.
    epoll_event polled[max_events];
    int polled_count = 0;
    bool polled_valid = false;
    int wakeup_fd = -1; // the context's own; -1: not known, always GLib's poll
    std::vector<ForeignFd> foreign; // other sources' descriptors, in GLib's order
    int foreign_epfd = -1;
    bool foreign_stale = true;
    std::vector<FdEntry *> dirty;
    std::vector<Owner *> ready;
    std::vector<FdEntry *> dead_entries;
    std::vector<WatchedFd *> watched; // loop_watch_fd()'s
    int depth = 0;
    gint64 last_fd_warning = 0;
    bool warned_fd = false;
    unsigned long attached = 0; // connections attached so far

    // At exit: loop_watch_fd()'s records, which their users never give
    // back (the signal pipe and the list's watch live as long as we do).
    ~LoopState()
    {
        for (WatchedFd *entry : watched)
            delete entry;
    }
};

LoopState loop;

void release_owner(Owner *owner)
{
    if (--owner->busy == 0 && owner->gone)
        delete owner;
}

void free_entry(FdEntry *entry)
{
    Owner *home = entry->home;
    if (!home) {
        delete_entry(entry);
        return;
    }
    delete entry->more;
    entry->more = nullptr;
    home->first_used = false;
    release_owner(home);
}

void wake_if_outside_loop()
{
    // Inside any dispatch the next prepare sees the change anyway; only a
    // caller outside the loop needs the wake-up (a system call). Our own
    // pass is known without asking GLib.
    if (loop.depth == 0 && !g_main_current_source())
        g_main_context_wakeup(nullptr);
}

void mark_dirty(FdEntry *entry)
{
    if (!entry->dirty) {
        entry->dirty = true;
        loop.dirty.push_back(entry);
        wake_if_outside_loop();
    }
}

uint32_t wanted_events(const FdEntry *entry)
{
    if (!entry->owner || entry->owner->resting)
        return 0;
    uint32_t events = 0;
    for (unsigned i = 0; i < entry->n_watches; ++i) {
        DBusWatch *watch = watch_at(entry, i);
        if (!dbus_watch_get_enabled(watch))
            continue;
        const unsigned flags = dbus_watch_get_flags(watch);
        if (flags & DBUS_WATCH_READABLE)
            events |= EPOLLIN;
        if (flags & DBUS_WATCH_WRITABLE)
            events |= EPOLLOUT;
    }
    return events;
}

void sync_entry(FdEntry *entry)
{
    const uint32_t want = wanted_events(entry);
    if (want == entry->registered)
        return;
    epoll_event ev{};
    ev.events = want;
    ev.data.ptr = entry;
    int op = entry->registered == 0 ? EPOLL_CTL_ADD : want == 0 ? EPOLL_CTL_DEL : EPOLL_CTL_MOD;
    if (epoll_ctl(loop.epfd, op, entry->fd, &ev) == 0)
        entry->registered = want;
    else
        LOG_DEBUG("epoll_ctl on fd %d failed: %s\n", entry->fd, g_strerror(errno));
}

// Removed from epoll at once; a pass, or events our poll function kept, may
// still hold it.
void retire_entry(FdEntry *entry)
{
    if (loop.depth > 0 || loop.polled_valid)
        loop.dead_entries.push_back(entry);
    else
        free_entry(entry);
}

void kill_entry(FdEntry *entry)
{
    // The socket is still open here (libdbus closes it after removing its
    // watches), so it leaves epoll now rather than at a later sync.
    if (entry->registered != 0) {
        epoll_ctl(loop.epfd, EPOLL_CTL_DEL, entry->fd, nullptr);
        entry->registered = 0;
    }
    if (entry->dirty)
        loop.dirty.erase(std::find(loop.dirty.begin(), loop.dirty.end(), entry));
    FdEntry **link = &entry->owner->entries;
    while (*link != entry)
        link = &(*link)->next;
    *link = entry->next;
    entry->next = nullptr;
    entry->owner = nullptr;
    if (entry->home)
        entry->home->busy++; // released by free_entry
    retire_entry(entry);
}

void free_dead_entries()
{
    for (FdEntry *entry : loop.dead_entries)
        free_entry(entry);
    loop.dead_entries.clear();
}


// ------------------------------------------------------------- watches

dbus_bool_t add_watch(DBusWatch *watch, void *data)
{
    auto *owner = static_cast<Owner *>(data);
    const int fd = dbus_watch_get_unix_fd(watch);
    FdEntry *entry = owner->entries;
    while (entry && entry->fd != fd)
        entry = entry->next;
    if (!entry) {
        if (!owner->first_used) {
            // Its last use (if any) ended in kill_entry, which took it out of
            // epoll and off every list.
            owner->first_used = true;
            entry = &owner->first;
            entry->home = owner;
            entry->registered = 0;
            entry->dirty = false;
        } else {
            entry = new FdEntry;
        }
        entry->fd = fd;
        entry->owner = owner;
        entry->next = owner->entries;
        owner->entries = entry;
    }
    add_to_entry(entry, watch);
    dbus_watch_set_data(watch, entry, nullptr);
    mark_dirty(entry);
    return TRUE;
}

void remove_watch(DBusWatch *watch, void *)
{
    auto *entry = static_cast<FdEntry *>(dbus_watch_get_data(watch));
    if (!entry)
        return;
    dbus_watch_set_data(watch, nullptr, nullptr);
    remove_from_entry(entry, watch);
    if (entry->n_watches == 0)
        kill_entry(entry);
    else
        mark_dirty(entry);
}

void enqueue(Owner *owner);

void toggle_watch(DBusWatch *watch, void *)
{
    auto *entry = static_cast<FdEntry *>(dbus_watch_get_data(watch));
    if (!entry)
        return;
    mark_dirty(entry);
    // Reading resumes once what was read has gone below the connection's
    // limit. Messages read in the same piece as the one that passed it wait
    // in libdbus, which tells nobody, and no new byte may come to wake the
    // connection: it is dispatched anyway.
    if (entry->owner && dbus_watch_get_enabled(watch) &&
        (dbus_watch_get_flags(watch) & DBUS_WATCH_READABLE))
        enqueue(entry->owner);
}

bool entry_has(const FdEntry *entry, DBusWatch *watch)
{
    return entry->owner && entry_has_watch(entry, watch);
}

unsigned watch_condition(DBusWatch *watch, uint32_t events)
{
    if (!dbus_watch_get_enabled(watch))
        return 0;
    const unsigned flags = dbus_watch_get_flags(watch);
    unsigned condition = 0;
    if ((events & EPOLLIN) && (flags & DBUS_WATCH_READABLE))
        condition |= DBUS_WATCH_READABLE;
    if ((events & EPOLLOUT) && (flags & DBUS_WATCH_WRITABLE))
        condition |= DBUS_WATCH_WRITABLE;
    if (events & EPOLLERR)
        condition |= DBUS_WATCH_ERROR;
    if (events & EPOLLHUP)
        condition |= DBUS_WATCH_HANGUP;
    return condition;
}

// ------------------------------------------------------------ timeouts

struct TimeoutRecord {
    GSource *source = nullptr;
};

gboolean on_timeout(gpointer data)
{
    // May remove the timeout, which destroys this source: touch nothing after.
    dbus_timeout_handle(static_cast<DBusTimeout *>(data));
    return G_SOURCE_CONTINUE;
}

void disarm(TimeoutRecord *record)
{
    if (record->source) {
        g_source_destroy(record->source);
        g_source_unref(record->source);
        record->source = nullptr;
    }
}

void free_timeout_record(void *data)
{
    auto *record = static_cast<TimeoutRecord *>(data);
    disarm(record);
    delete record;
}

void arm(DBusTimeout *timeout)
{
    auto *record = static_cast<TimeoutRecord *>(dbus_timeout_get_data(timeout));
    if (!record) {
        record = new TimeoutRecord;
        dbus_timeout_set_data(timeout, record, free_timeout_record);
    }
    disarm(record);
    if (!dbus_timeout_get_enabled(timeout))
        return;
    record->source = g_timeout_source_new(static_cast<guint>(dbus_timeout_get_interval(timeout)));
    g_source_set_callback(record->source, on_timeout, timeout, nullptr);
    g_source_attach(record->source, nullptr);
}

dbus_bool_t add_timeout(DBusTimeout *timeout, void *)
{
    arm(timeout);
    return TRUE;
}

void remove_timeout(DBusTimeout *timeout, void *)
{
    if (auto *record = static_cast<TimeoutRecord *>(dbus_timeout_get_data(timeout)))
        disarm(record);
}

void toggle_timeout(DBusTimeout *timeout, void *)
{
    arm(timeout);
}

// ----------------------------------------------------------- dispatch

void enqueue(Owner *owner)
{
    if (owner->queued || !owner->connection)
        return;
    owner->queued = true;
    owner->busy++;
    loop.ready.push_back(owner);
    wake_if_outside_loop();
}

void on_dispatch_status(DBusConnection *, DBusDispatchStatus status, void *data)
{
    if (status == DBUS_DISPATCH_DATA_REMAINS)
        enqueue(static_cast<Owner *>(data));
}

void on_wakeup_main(void *)
{
    wake_if_outside_loop();
}

void dispatch_connection(Owner *owner)
{
    // A reference only around each call: a filter that closes and drops
    // this connection finalises it here, and we stop.
    while (DBusConnection *connection = owner->connection) {
        dbus_connection_ref(connection);
        const DBusDispatchStatus status = dbus_connection_dispatch(connection);
        dbus_connection_unref(connection);
        if (status != DBUS_DISPATCH_DATA_REMAINS)
            break;
    }
}

void run_ready_list()
{
    for (int round = 0; round < max_ready_rounds && !loop.ready.empty(); ++round) {
        std::vector<Owner *> batch;
        batch.swap(loop.ready);
        for (Owner *owner : batch) {
            owner->queued = false;
            dispatch_connection(owner);
            release_owner(owner);
        }
        // Keeps the buffer, so that a pass allocates nothing.
        batch.clear();
        if (loop.ready.empty())
            loop.ready.swap(batch);
    }
}

// libdbus reads until the socket would block or 4 KiB have come. Its
// EAGAIN is the last thing it does with errno, so a watch call that leaves
// EAGAIN found the socket empty; any other value (it may also be clobbered)
// costs at most one more read that ends in EAGAIN.
bool read_drained()
{
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

// A large message arrives in pieces of about 4 KiB per watch call; reading
// on until the socket is empty saves a loop iteration per piece.
void read_on(FdEntry *entry, DBusWatch *watch, Owner *owner)
{
    for (int i = 0; i < max_extra_reads; ++i) {
        if (read_drained() || owner->queued || !entry_has(entry, watch) ||
            !dbus_watch_get_enabled(watch))
            return;
        errno = 0;
        dbus_watch_handle(watch, DBUS_WATCH_READABLE);
    }
}

void warn_out_of_descriptors()
{
    const gint64 now = g_get_monotonic_time();
    if (loop.warned_fd && now - loop.last_fd_warning < fd_warning_interval_us)
        return;
    loop.warned_fd = true;
    loop.last_fd_warning = now;
    LOG_WARN("Out of file descriptors, not accepting connections for %u ms\n",
             loop_accept_backoff_ms);
}

gboolean wake_server(gpointer data)
{
    auto *owner = static_cast<Owner *>(data);
    owner->wake_id = 0;
    owner->resting = false;
    for (FdEntry *entry = owner->entries; entry; entry = entry->next)
        mark_dirty(entry);
    return G_SOURCE_REMOVE;
}

void rest_server(Owner *owner)
{
    if (owner->resting || owner->gone)
        return;
    owner->resting = true;
    for (FdEntry *entry = owner->entries; entry; entry = entry->next)
        mark_dirty(entry);
    owner->wake_id = g_timeout_add(loop_accept_backoff_ms, wake_server, owner);
    warn_out_of_descriptors();
}

// libdbus swallows accept's error (and clobbers errno after it), so a
// readable listening socket that brought no connection is asked directly.
bool out_of_descriptors(int fd)
{
    const int probe = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (probe >= 0) {
        close(probe);
        return false;
    }
    return errno == EMFILE || errno == ENFILE;
}

void handle_entry(FdEntry *entry, uint32_t events)
{
    if (entry->watched) {
        auto *watched = static_cast<WatchedFd *>(entry);
        if (watched->on_ready)
            watched->on_ready(watched->ready_data);
        return;
    }
    Owner *owner = entry->owner;
    if (!owner)
        return; // died earlier in this pass
    owner->busy++;
    DBusConnection *connection = owner->connection;
    DBusServer *server = owner->server;
    if (connection)
        dbus_connection_ref(connection);
    if (server)
        dbus_server_ref(server);

    // Handling may remove watches, so walk a copy; libdbus puts a read and a
    // write watch on a socket, which fit without allocating.
    DBusWatch *few[4];
    std::vector<DBusWatch *> many;
    DBusWatch **watches = few;
    const size_t count = entry->n_watches;
    if (count > std::size(few)) {
        many.resize(count);
        watches = many.data();
    }
    for (unsigned i = 0; i < count; ++i)
        watches[i] = watch_at(entry, i);
    for (size_t i = 0; i < count; ++i) {
        DBusWatch *watch = watches[i];
        if (!entry_has(entry, watch))
            continue;
        const unsigned condition = watch_condition(watch, events);
        if (condition == 0)
            continue;
        if (server) {
            const unsigned long before = loop.attached;
            dbus_watch_handle(watch, condition);
            if (loop.attached == before && out_of_descriptors(entry->fd))
                rest_server(owner);
            continue;
        }
        errno = 0;
        dbus_watch_handle(watch, condition);
        if (condition & DBUS_WATCH_READABLE) {
            read_on(entry, watch, owner);
            // A whole message puts the connection on the ready list.
            owner->mid_message = !owner->queued;
        }
    }

    if (server)
        dbus_server_unref(server);
    if (connection)
        dbus_connection_unref(connection);
    release_owner(owner);
}

gboolean source_prepare(GSource *, gint *timeout)
{
    for (FdEntry *entry : loop.dirty) {
        entry->dirty = false;
        sync_entry(entry);
    }
    loop.dirty.clear();
    *timeout = loop.ready.empty() ? -1 : 0;
    return !loop.ready.empty();
}

gboolean source_check(GSource *)
{
    return (loop.pollfd.revents & (G_IO_IN | G_IO_ERR | G_IO_HUP)) || !loop.ready.empty();
}

// libdbus answers each step of authentication by enabling the write watch
// and waiting for the socket to be writable: two epoll_ctl calls and a
// wake-up per step, five steps per client. A socket that has just been
// read from is writable all but always, so these answers are written at
// the end of the pass instead; one that would block is registered as usual.
void write_authentication_answers()
{
    // Handling may add to the list or take from it; records stay until the
    // pass ends.
    for (size_t i = 0; i < loop.dirty.size(); ++i) {
        FdEntry *entry = loop.dirty[i];
        Owner *owner = entry->owner;
        if (!owner || !owner->connection || (entry->registered & EPOLLOUT) ||
            !(wanted_events(entry) & EPOLLOUT) ||
            dbus_connection_get_is_authenticated(owner->connection))
            continue;
        handle_entry(entry, EPOLLOUT);
    }
}

gboolean source_dispatch(GSource *, GSourceFunc, gpointer)
{
    loop.depth++;
    if (loop.pollfd.revents & G_IO_IN) {
        epoll_event events[max_events];
        int n;
        if (loop.polled_valid) {
            // Copied: a nested iteration would poll into the same buffer.
            n = loop.polled_count;
            std::copy_n(loop.polled, n, events);
            loop.polled_valid = false;
        } else {
            n = epoll_wait(loop.epfd, events, max_events, 0);
        }
        // Sockets are only read here; their messages are dispatched below,
        // after every descriptor this wait reported was handled.
        for (int i = 0; i < n; ++i)
            handle_entry(static_cast<FdEntry *>(events[i].data.ptr), events[i].events);
    }
    run_ready_list();
    write_authentication_answers();
    if (--loop.depth == 0)
        free_dead_entries();
    return G_SOURCE_CONTINUE;
}

GSourceFuncs source_funcs = {source_prepare, source_check, source_dispatch, nullptr, nullptr,
                             nullptr};

// Tag the context's wake-up descriptor and the set of other sources'
// descriptors among the epoll events.
char wakeup_tag;
char foreign_tag;

uint32_t epoll_events_of(gushort events)
{
    uint32_t out = 0;
    if (events & G_IO_IN)
        out |= EPOLLIN;
    if (events & G_IO_OUT)
        out |= EPOLLOUT;
    if (events & G_IO_PRI)
        out |= EPOLLPRI;
    return out;
}

gushort poll_events_of(uint32_t events)
{
    gushort out = 0;
    if (events & EPOLLIN)
        out |= G_IO_IN;
    if (events & EPOLLOUT)
        out |= G_IO_OUT;
    if (events & EPOLLPRI)
        out |= G_IO_PRI;
    if (events & EPOLLERR)
        out |= G_IO_ERR;
    if (events & EPOLLHUP)
        out |= G_IO_HUP;
    return out;
}

bool same_foreign(const GPollFD *fds, guint nfds)
{
    guint k = 0;
    for (guint i = 0; i < nfds; ++i) {
        if (fds[i].fd == loop.epfd || fds[i].fd == loop.wakeup_fd)
            continue;
        if (k >= loop.foreign.size() || loop.foreign[k].fd != fds[i].fd ||
            loop.foreign[k].events != fds[i].events)
            return false;
        ++k;
    }
    return k == loop.foreign.size();
}

void drop_foreign()
{
    if (loop.foreign_epfd >= 0)
        close(loop.foreign_epfd); // leaves our set with its last reference
    loop.foreign_epfd = -1;
    loop.foreign.clear();
}

// Other sources' descriptors go into an epoll set of their own inside
// ours, so that dropping one never touches a connection's registration.
bool rebuild_foreign(const GPollFD *fds, guint nfds)
{
    drop_foreign();
    loop.foreign_stale = false;
    for (guint i = 0; i < nfds; ++i)
        if (fds[i].fd != loop.epfd && fds[i].fd != loop.wakeup_fd)
            loop.foreign.push_back({fds[i].fd, fds[i].events});
    if (loop.foreign.empty())
        return true;
    loop.foreign_epfd = epoll_create1(EPOLL_CLOEXEC);
    bool ok = loop.foreign_epfd >= 0;
    for (const ForeignFd &f : loop.foreign) {
        epoll_event ev{};
        ev.events = epoll_events_of(f.events);
        ev.data.fd = f.fd;
        ok = ok && epoll_ctl(loop.foreign_epfd, EPOLL_CTL_ADD, f.fd, &ev) == 0;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = &foreign_tag;
    ok = ok && epoll_ctl(loop.epfd, EPOLL_CTL_ADD, loop.foreign_epfd, &ev) == 0;
    if (!ok) {
        drop_foreign(); // e.g. a regular file, which epoll refuses
        loop.foreign_stale = true;
    }
    return ok;
}

void mark_foreign_ready(GPollFD *fds, guint nfds)
{
    epoll_event events[max_events];
    const int n = epoll_wait(loop.foreign_epfd, events, max_events, 0);
    for (int i = 0; i < n; ++i)
        for (guint k = 0; k < nfds; ++k)
            if (fds[k].fd == events[i].data.fd && fds[k].fd != loop.epfd &&
                fds[k].fd != loop.wakeup_fd)
                fds[k].revents = poll_events_of(events[i].events) & (fds[k].events | G_IO_ERR |
                                                                     G_IO_HUP | G_IO_NVAL);
}

gint poll_func(GPollFD *fds, guint nfds, gint timeout)
{
    // Events kept from an iteration that did not dispatch us are stale;
    // level-triggered epoll reports whatever is still pending again.
    if (loop.polled_valid) {
        loop.polled_valid = false;
        if (loop.depth == 0)
            free_dead_entries();
    }
    GPollFD *ours = nullptr;
    GPollFD *wakeup = nullptr;
    for (guint i = 0; i < nfds; ++i) {
        fds[i].revents = 0;
        if (fds[i].fd == loop.epfd)
            ours = &fds[i];
        else if (fds[i].fd == loop.wakeup_fd)
            wakeup = &fds[i];
    }
    // GLib signals its wake-up descriptor whenever a source adds or removes
    // a descriptor, so after a wake-up the set is built afresh: a number
    // closed and reused meanwhile then names the right file again.
    if (!ours || (wakeup && wakeup->events != G_IO_IN) ||
        ((loop.foreign_stale || !same_foreign(fds, nfds)) && !rebuild_foreign(fds, nfds)))
        return g_poll(fds, nfds, timeout);

    epoll_event events[max_events];
    const int n = epoll_wait(loop.epfd, events, max_events, timeout);
    if (n < 0)
        return -1; // errno as poll() would leave it
    int kept = 0;
    bool woken = false;
    bool foreign_ready = false;
    for (int i = 0; i < n; ++i) {
        if (events[i].data.ptr == &wakeup_tag)
            woken = true;
        else if (events[i].data.ptr == &foreign_tag)
            foreign_ready = true;
        else
            loop.polled[kept++] = events[i];
    }
    loop.polled_count = kept;
    loop.polled_valid = kept > 0;
    ours->revents = kept > 0 ? G_IO_IN : 0;
    if (woken) {
        loop.foreign_stale = true;
        if (wakeup)
            wakeup->revents = G_IO_IN;
    }
    if (foreign_ready)
        mark_foreign_ready(fds, nfds);
    gint ready = 0;
    for (guint i = 0; i < nfds; ++i)
        ready += fds[i].revents != 0;
    return ready;
}

// The context's wake-up descriptor is the only one it polls before any
// source adds its own; found then, it joins the epoll set for good.
void take_over_polling()
{
    GMainContext *context = g_main_context_default();
    if (!g_main_context_acquire(context))
        return;
    GPollFD fds[2];
    gint timeout = 0;
    const gint n = g_main_context_query(context, G_MAXINT, &timeout, fds, 2);
    g_main_context_release(context);
    if (n != 1 || fds[0].events != G_IO_IN)
        return; // other descriptors already: GLib's own poll it stays
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = &wakeup_tag;
    if (epoll_ctl(loop.epfd, EPOLL_CTL_ADD, fds[0].fd, &ev) != 0)
        return;
    loop.wakeup_fd = fds[0].fd;
    g_main_context_set_poll_func(context, poll_func);
}

bool ensure_source()
{
    if (loop.source)
        return true;
    loop.epfd = epoll_create1(EPOLL_CLOEXEC);
    if (loop.epfd < 0) {
        LOG_FATAL("Cannot create the event loop: %s\n", g_strerror(errno));
        return false;
    }
    take_over_polling();
    // Lives as long as the process, like the default main context.
    loop.source = g_source_new(&source_funcs, sizeof(GSource));
    loop.pollfd.fd = loop.epfd;
    loop.pollfd.events = G_IO_IN;
    g_source_add_poll(loop.source, &loop.pollfd);
    g_source_set_can_recurse(loop.source, TRUE);
    g_source_set_name(loop.source, "dbus-connections");
    g_source_attach(loop.source, nullptr);
    return true;
}

void free_owner(void *data)
{
    auto *owner = static_cast<Owner *>(data);
    // Its watches were removed before this, so no entry points here.
    if (owner->wake_id)
        g_source_remove(owner->wake_id);
    owner->wake_id = 0;
    owner->connection = nullptr;
    owner->server = nullptr;
    owner->gone = true;
    // Outside a pass a queued record is only on the ready list, which need
    // not wait for the next iteration to let it go.
    if (owner->queued && loop.depth == 0) {
        loop.ready.erase(std::find(loop.ready.begin(), loop.ready.end(), owner));
        owner->queued = false;
        owner->busy--;
    }
    if (owner->busy == 0)
        delete owner;
}

} // namespace

bool loop_attach_connection(DBusConnection *connection)
{
    if (!ensure_source())
        return false;
    if (owner_slot < 0 && !dbus_connection_allocate_data_slot(&owner_slot))
        return false;
    loop.attached++;
    auto *owner = new Owner;
    owner->connection = connection;
    // The watch functions' data lives until the connection is finalised.
    if (!dbus_connection_set_watch_functions(connection, add_watch, remove_watch, toggle_watch,
                                             owner, free_owner)) {
        delete owner; // not stored on failure
        return false;
    }
    if (!dbus_connection_set_timeout_functions(connection, add_timeout, remove_timeout,
                                               toggle_timeout, nullptr, nullptr))
        return false;
    dbus_connection_set_dispatch_status_function(connection, on_dispatch_status, owner, nullptr);
    // For loop_connection_mid_message; the record outlives the connection.
    dbus_connection_set_data(connection, owner_slot, owner, nullptr);
    dbus_connection_set_wakeup_main_function(connection, on_wakeup_main, nullptr, nullptr);
    // Messages read before we came (the bus's Hello reply and NameAcquired).
    if (dbus_connection_get_dispatch_status(connection) == DBUS_DISPATCH_DATA_REMAINS)
        enqueue(owner);
    return true;
}

bool loop_connection_mid_message(DBusConnection *connection)
{
    if (owner_slot < 0)
        return false;
    const auto *owner = static_cast<Owner *>(dbus_connection_get_data(connection, owner_slot));
    return owner && !owner->gone && owner->mid_message;
}

bool loop_attach_server(DBusServer *server)
{
    if (!ensure_source())
        return false;
    auto *owner = new Owner;
    owner->server = server;
    if (!dbus_server_set_watch_functions(server, add_watch, remove_watch, toggle_watch, owner,
                                         free_owner)) {
        delete owner; // not stored on failure
        return false;
    }
    return dbus_server_set_timeout_functions(server, add_timeout, remove_timeout,
                                             toggle_timeout, nullptr, nullptr);
}

bool loop_watch_fd(int fd, void (*on_ready)(void *data), void *data)
{
    if (!ensure_source())
        return false;
    auto *entry = new WatchedFd;
    entry->watched = true;
    entry->fd = fd;
    entry->on_ready = on_ready;
    entry->ready_data = data;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = entry;
    if (epoll_ctl(loop.epfd, EPOLL_CTL_ADD, fd, &ev) != 0) {
        delete entry;
        return false;
    }
    entry->registered = EPOLLIN;
    loop.watched.push_back(entry);
    return true;
}

void loop_unwatch_fd(int fd)
{
    auto it = std::find_if(loop.watched.begin(), loop.watched.end(),
                           [fd](const WatchedFd *e) { return e->fd == fd; });
    if (it == loop.watched.end())
        return;
    WatchedFd *entry = *it;
    loop.watched.erase(it);
    epoll_ctl(loop.epfd, EPOLL_CTL_DEL, fd, nullptr);
    entry->on_ready = nullptr; // with no owner either, a pass skips it
    retire_entry(entry);
}
