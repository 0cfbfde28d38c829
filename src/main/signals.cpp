#include "main/signals.h"

#include "audit/audit.h"
#include "log/log.h"
#include "loop/loop.h"
#include "main/containers.h"
#include "main/listener.h"
#include "main/log_file.h"
#include "main/notify.h"
#include "relay/in_flight.h"
#include "session/pair.h"
#include "session/registry.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

struct SignalState {
    GMainLoop *loop;
    ProxyConfig *config;
    unsigned drain_ms;
    gint64 deadline;   // monotonic µs; 0 until a stop signal came
    guint drain_source;
    gint64 writing_seen; // monotonic µs: a client's bytes were last seen unread
};

// How long a client seen writing is waited for after its socket ran dry.
constexpr gint64 writer_pause_us = 250 * 1000;

SignalState state;

bool connected(DBusConnection *connection)
{
    return connection && dbus_connection_get_is_connected(connection);
}

bool connection_owes(DBusConnection *connection)
{
    return connected(connection) && dbus_connection_has_messages_to_send(connection);
}

// A large call on its way in: part of it read by libdbus and not yet a
// whole message, or bytes the client has written and the daemon not read
// yet. The socket runs dry whenever the daemon reads faster than the
// client writes: a pause right after such bytes counts as writing too. A
// client that stops in the middle of a message holds the drain until its
// deadline.
bool client_still_writing(DBusConnection *client)
{
    int fd = -1;
    int unread = 0;
    if (!connected(client))
        return false;
    // Part of a message read, or a whole one not yet handed on.
    if (loop_connection_mid_message(client) ||
        dbus_connection_get_dispatch_status(client) == DBUS_DISPATCH_DATA_REMAINS) {
        state.writing_seen = g_get_monotonic_time();
        return true;
    }
    if (!dbus_connection_get_socket(client, &fd) || ioctl(fd, FIONREAD, &unread) != 0 ||
        unread <= 0)
        return false;
    state.writing_seen = g_get_monotonic_time();
    return true;
}

void count_owing(ConnectionPair *pair, void *data)
{
    // The bus side too: a call sent just before the signal should still
    // reach its service. And its answer, and that of a host program's call
    // to the client, should still come back.
    if (connection_owes(pair->client) || connection_owes(pair->server) ||
        client_still_writing(pair->client) || pair->held_from_client.length > 0 ||
        pair->held_from_bus.length > 0 ||
        (connected(pair->client) && connected(pair->server) && in_flight_calls(pair) > 0))
        ++*static_cast<unsigned *>(data);
}

unsigned pairs_owing()
{
    unsigned owing = 0;
    pair_registry_for_each(count_owing, &owing);
    return owing;
}

gboolean drain_tick(gpointer)
{
    const unsigned owing = pairs_owing();
    if (owing == 0 && g_get_monotonic_time() - state.writing_seen >= writer_pause_us) {
        LOG_DEBUG("Every client received what was queued for it\n");
    } else if (g_get_monotonic_time() >= state.deadline) {
        LOG_WARN("%u client(s) still had messages queued after %u ms, exiting anyway\n", owing,
                 state.drain_ms);
    } else {
        return G_SOURCE_CONTINUE;
    }
    state.drain_source = 0;
    g_main_loop_quit(state.loop);
    return G_SOURCE_REMOVE;
}

void on_stop_signal(const char *name)
{
    if (state.deadline != 0) {
        LOG_INFO("%s again, exiting at once\n", name);
        if (state.drain_source)
            g_source_remove(state.drain_source);
        state.drain_source = 0;
        g_main_loop_quit(state.loop);
        return;
    }
    notify_service_manager("STOPPING=1");
    LOG_INFO("%s: no longer accepting, %u client(s) connected\n", name,
             pair_registry_size());
    stop_listener();
    containers_stop_listening();
    state.deadline = g_get_monotonic_time() + gint64(state.drain_ms) * 1000;
    // A first look now: a client writing at this moment may pause before
    // the first tick.
    pairs_owing();
    // The writes themselves happen in the connections' own watches; this
    // only looks whether they are done.
    state.drain_source = g_timeout_add(10, drain_tick, nullptr);
}

void on_hangup()
{
    char reloading[64];
    g_snprintf(reloading, sizeof reloading, "RELOADING=1\nMONOTONIC_USEC=%" G_GINT64_FORMAT,
               g_get_monotonic_time());
    notify_service_manager(reloading);
    log_file_reopen(state.config);
    containers_reload();
    notify_service_manager("READY=1");
}

// The handler only writes the signal's number into a pipe whose reading end
// sits in the loop's epoll set with the connections: no GSource per signal
// for GLib to look at on every iteration.
int signal_pipe[2] = {-1, -1};

void on_signal(int number)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    // A full pipe already holds a wake-up; a stop signal counted twice
    // would only end the drain early, which a lost byte cannot cause.
    [[maybe_unused]] const ssize_t ignored = write(signal_pipe[1], &byte, 1);
    errno = saved;
}

void on_signal_pipe(void *)
{
    unsigned char numbers[64];
    ssize_t length;
    while ((length = read(signal_pipe[0], numbers, sizeof numbers)) > 0 ||
           (length < 0 && errno == EINTR)) {
        for (ssize_t i = 0; i < length; ++i) {
            switch (numbers[i]) {
            case SIGTERM:
                on_stop_signal("SIGTERM");
                break;
            case SIGINT:
                on_stop_signal("SIGINT");
                break;
            case SIGHUP:
                on_hangup();
                break;
            case SIGUSR1:
                audit_write_all();
                break;
            default:
                break;
            }
        }
    }
}

void catch_signal(int number)
{
    struct sigaction action {};
    action.sa_handler = on_signal;
    action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigemptyset(&action.sa_mask);
    sigaction(number, &action, nullptr);
}

} // namespace

void install_signal_handlers(GMainLoop *loop, ProxyConfig *config, unsigned drain_ms)
{
    state = SignalState{loop, config, drain_ms, 0, 0, 0};
    if (signal_pipe[0] < 0) {
        if (pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0 ||
            !loop_watch_fd(signal_pipe[0], on_signal_pipe, nullptr)) {
            const int error = errno;
            LOG_FATAL("Cannot watch for signals: %s\n", std::strerror(error));
            std::exit(1);
        }
    }
    catch_signal(SIGTERM);
    catch_signal(SIGINT);
    catch_signal(SIGHUP);
    // Always: a container added later may be audited, and SIGUSR1 must
    // never end the daemon.
    catch_signal(SIGUSR1);
}

void raise_descriptor_limit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return;
    // Equal under the units (LimitNOFILE= sets both), whose system call
    // filter would refuse the call anyway.
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            limit = raised;
        } else {
            const int error = errno;
            LOG_DEBUG("Cannot raise the descriptor limit: %s\n", std::strerror(error));
        }
    }
    LOG_DEBUG("Descriptor limit: %llu (hard %llu)\n",
              static_cast<unsigned long long>(limit.rlim_cur),
              static_cast<unsigned long long>(limit.rlim_max));
}
