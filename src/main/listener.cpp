#include "main/listener.h"

#include "log/log.h"
#include "loop/loop.h"
#include "main/socket_path.h"
#include "relay/accept.h"
#include "util/dbus_ptr.h"

#include <glib.h>
#include <dbus/dbus.h>

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

// Held for the life of the process, like the main loop.
DBusServer *listen_server = nullptr;

[[noreturn]] void exit_listen_failure(ProxyConfig *config)
{
    if (config->log_fd >= 0)
        close(config->log_fd);
    std::exit(1);
}

} // namespace

bool listens_on_all_interfaces(const ProxyConfig *config)
{
    const char *bind = config->bind ? config->bind : "*";
    if (!config->family || std::strcmp(config->family, "ipv4") == 0)
        return std::strcmp(bind, "*") == 0 || std::strcmp(bind, "0.0.0.0") == 0;
    if (std::strcmp(config->family, "ipv6") == 0)
        return std::strcmp(bind, "*") == 0 || std::strcmp(bind, "::") == 0;
    return false;
}

namespace {

// A value as the address syntax wants it: an IPv6 literal's ':' (or a ','
// in a path) would otherwise split the address.
std::string escaped(const char *value)
{
    char *text = dbus_address_escape_value(value);
    if (!text)
        return {};
    std::string out(text);
    dbus_free(text);
    return out;
}

} // namespace

std::string build_listen_address(const ProxyConfig *config, std::string *problem)
{
    const char *family = config->family;
    if (!family || std::strcmp(family, "ipv4") == 0 || std::strcmp(family, "ipv6") == 0) {
        return "tcp:host=" + escaped(config->host ? config->host : "localhost") +
               ",bind=" + escaped(config->bind ? config->bind : "*") +
               ",port=" + escaped(config->port ? config->port : "8080") +
               ",family=" + (family ? family : "ipv4");
    }
    if (std::strcmp(family, "unix") == 0) {
        if (!config->socket_path) {
            *problem = "Family unix needs a socket path: use --socket <path>\n";
            return {};
        }
        return "unix:path=" + escaped(config->socket_path);
    }
    *problem = std::string("Unknown family '") + family + "': use ipv4, ipv6 or unix\n";
    return {};
}

bool socket_activated()
{
    const char *pid = std::getenv("LISTEN_PID");
    const char *fds = std::getenv("LISTEN_FDS");
    return pid && fds && std::strtol(pid, nullptr, 10) == static_cast<long>(getpid()) &&
           std::strtol(fds, nullptr, 10) >= 1;
}

namespace {

// What any listening server needs before it accepts: its clients live
// under `config`. False when out of memory.
bool serve_on(DBusServer *server, ProxyConfig *config)
{
    // No cookie mechanism: a container cannot read the daemon user's
    // keyring, and GDBus, offered the cookie, waits for it for good. Every
    // client is accepted anonymously anyway. EXTERNAL stays for sd-bus,
    // which tries nothing else; over TCP libdbus grants it only with no
    // claimed identity, so it is ANONYMOUS there under another name.
    static const char *mechanisms[] = {"EXTERNAL", "ANONYMOUS", nullptr};
    if (!dbus_server_set_auth_mechanisms(server, mechanisms))
        return false;
    dbus_server_set_new_connection_function(server, on_new_connection, config, nullptr);
    return loop_attach_server(server);
}

void serve(ProxyConfig *config, const std::string &address)
{
    if (!serve_on(listen_server, config)) {
        LOG_FATAL("Cannot listen on '%s':%s\n", address.c_str(), "out of memory");
        exit_listen_failure(config);
    }
}

// The socket file of a unix:path= address; empty for any other.
std::string unix_path_of(const std::string &address)
{
    DBusAddressEntry **entries = nullptr;
    int count = 0;
    std::string path;
    if (!dbus_parse_address(address.c_str(), &entries, &count, nullptr))
        return path;
    if (count >= 1 && std::strcmp(dbus_address_entry_get_method(entries[0]), "unix") == 0)
        if (const char *value = dbus_address_entry_get_value(entries[0], "path"))
            path = value;
    dbus_address_entries_free(entries);
    return path;
}

// The service manager's sockets (from fd 3 on), unix or TCP. libdbus takes
// them as they are, clears LISTEN_* (no child inherits them) and, not
// having bound them, never removes the socket file: it outlives the daemon
// so that clients reach the next one through the service manager.
void listen_inherited(ProxyConfig *config)
{
    ScopedError error;
    LOG_INFO("Serving the %s socket(s) passed by the service manager; the address options "
             "are not used\n",
             std::getenv("LISTEN_FDS"));
    listen_server = dbus_server_listen("systemd:", error.get());
    if (!listen_server) {
        LOG_FATAL("Cannot serve the sockets passed by the service manager:%s\n",
                  error.message() ? error.message() : "(null)");
        exit_listen_failure(config);
    }
    char *text = dbus_server_get_address(listen_server);
    const std::string address = text ? text : "(unknown)";
    dbus_free(text);
    LOG_INFO("Listen on address: %s\n", address.c_str());
    serve(config, address);
}

} // namespace

void start_listener(ProxyConfig *config)
{
    if (socket_activated()) {
        listen_inherited(config);
        return;
    }
    ScopedError error;

    std::string problem;
    std::string address = build_listen_address(config, &problem);
    if (address.empty()) {
        LOG_FATAL("%s", problem.c_str());
        exit_listen_failure(config);
    }

    LOG_INFO("Listen on address: %s\n", address.c_str());
    if (listens_on_all_interfaces(config))
        LOG_WARN("Listening on all interfaces with anonymous authentication: anyone who can "
                 "reach port %s can use the host bus; restrict it with --bind or --family unix\n",
                 config->port ? config->port : "8080");

    // Only a stale socket may be replaced: libdbus would remove a live one.
    const bool unix_socket = config->family && std::strcmp(config->family, "unix") == 0;
    if (unix_socket && socket_path_check(config->socket_path, &problem) != 0) {
        LOG_FATAL("Cannot listen on '%s':%s\n", address.c_str(), problem.c_str());
        exit_listen_failure(config);
    }
    listen_server = dbus_server_listen(address.c_str(), error.get());
    if (!listen_server) {
        LOG_FATAL("Cannot listen on '%s':%s\n", address.c_str(),
                  error.message() ? error.message() : "(null)");
        exit_listen_failure(config);
    }
    if (unix_socket)
        socket_path_claim(config->socket_path);
    serve(config, address);
}

DBusServer *listen_for_container(ProxyConfig *config, const std::string &address,
                                 std::string *problem)
{
    // Only a stale socket may be replaced: libdbus would remove a live one,
    // another container's among them.
    const std::string path = unix_path_of(address);
    if (!path.empty() && socket_path_check(path.c_str(), problem) != 0)
        return nullptr;
    ScopedError error;
    DBusServer *server = dbus_server_listen(address.c_str(), error.get());
    if (!server) {
        *problem = error.message() ? error.message() : "(null)";
        return nullptr;
    }
    if (!serve_on(server, config)) {
        *problem = "out of memory";
        close_container_listener(server);
        return nullptr;
    }
    return server;
}

void close_container_listener(DBusServer *server)
{
    dbus_server_disconnect(server);
    dbus_server_unref(server);
}

void stop_listener()
{
    if (!listen_server)
        return;
    socket_path_set_aside_foreign();
    dbus_server_disconnect(listen_server);
    socket_path_restore_foreign();
    dbus_server_unref(listen_server);
    listen_server = nullptr;
}
