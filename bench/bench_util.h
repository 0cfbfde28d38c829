// Helpers shared by the benchmark programs: clocks, percentiles, options,
// and opening a bus-style connection the way the workloads need it.
#pragma once

#include <dbus/dbus.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace bench {

// The echo service every workload talks to, on the host bus.
inline constexpr const char *kService = "org.dpdbench.Echo";
inline constexpr const char *kPath = "/org/dpdbench/Echo";
inline constexpr const char *kInterface = "org.dpdbench.Echo";

inline int64_t now_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Nearest-rank percentile in microseconds; sorts `ns` in place.
inline double percentile_us(std::vector<int64_t> &ns, double p)
{
    if (ns.empty())
        return 0.0;
    std::sort(ns.begin(), ns.end());
    size_t rank = size_t(p / 100.0 * double(ns.size()));
    if (rank >= ns.size())
        rank = ns.size() - 1;
    return double(ns[rank]) / 1000.0;
}

// Minimal "--name value" parsing; the programs are driven by a script.
class Args {
public:
    Args(int argc, char **argv) : argc_(argc), argv_(argv) {}
    const char *get(const char *name, const char *fallback) const
    {
        for (int i = 1; i + 1 < argc_; ++i)
            if (std::strcmp(argv_[i], name) == 0)
                return argv_[i + 1];
        return fallback;
    }
    bool flag(const char *name) const
    {
        for (int i = 1; i < argc_; ++i)
            if (std::strcmp(argv_[i], name) == 0)
                return true;
        return false;
    }
    double num(const char *name, double fallback) const
    {
        const char *v = get(name, nullptr);
        return v ? std::strtod(v, nullptr) : fallback;
    }

private:
    int argc_;
    char **argv_;
};

// Sets TCP_NODELAY on the connection's socket when it is a TCP socket:
// libdbus itself never does, so a stock client leaves Nagle on.
inline void set_nodelay(DBusConnection *conn)
{
    int fd = -1;
    if (!dbus_connection_get_socket(conn, &fd) || fd < 0)
        return;
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        return;
    if (addr.ss_family != AF_INET && addr.ss_family != AF_INET6)
        return;
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// Opens a private connection and registers with Hello. Returns null and
// prints why on failure.
inline DBusConnection *open_registered(const char *address, bool nodelay)
{
    DBusError err;
    dbus_error_init(&err);
    DBusConnection *conn = dbus_connection_open_private(address, &err);
    if (conn) {
        dbus_connection_set_exit_on_disconnect(conn, FALSE);
        // Before the first I/O, so the authentication exchange is covered too.
        if (nodelay)
            set_nodelay(conn);
        if (!dbus_bus_register(conn, &err)) {
            dbus_connection_close(conn);
            dbus_connection_unref(conn);
            conn = nullptr;
        }
    }
    if (!conn)
        std::fprintf(stderr, "connect %s: %s\n", address, err.message ? err.message : "?");
    dbus_error_free(&err);
    return conn;
}

inline void close_conn(DBusConnection *conn)
{
    dbus_connection_close(conn);
    dbus_connection_unref(conn);
}

inline DBusMessage *new_call(const char *member)
{
    return dbus_message_new_method_call(kService, kPath, kInterface, member);
}

// A call to `member` of `interface` at `destination`. Properties calls get
// the arguments the echo service answers: Get(kInterface, "Name"),
// GetAll(kInterface).
inline DBusMessage *new_call_to(const char *destination, const char *interface,
                                const char *member)
{
    DBusMessage *msg = dbus_message_new_method_call(destination, kPath, interface, member);
    if (!msg || std::strcmp(interface, DBUS_INTERFACE_PROPERTIES) != 0)
        return msg;
    const char *iface = kInterface;
    const char *name = "Name";
    bool ok = std::strcmp(member, "Get") == 0
                  ? dbus_message_append_args(msg, DBUS_TYPE_STRING, &iface, DBUS_TYPE_STRING,
                                             &name, DBUS_TYPE_INVALID)
                  : dbus_message_append_args(msg, DBUS_TYPE_STRING, &iface, DBUS_TYPE_INVALID);
    if (!ok) {
        dbus_message_unref(msg);
        return nullptr;
    }
    return msg;
}

} // namespace bench
