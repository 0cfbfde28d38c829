// Test harness: a private host bus, the daemon as a subprocess, clients.
#pragma once

#include "util/dbus_ptr.h"

#include <dbus/dbus.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace harness {

using namespace std::chrono_literals;

// Polls `pred` until it holds or `timeout` passes.
bool wait_until(const std::function<bool()> &pred, std::chrono::milliseconds timeout = 5000ms);

// Whether a unix socket bound to `path` is listening.
bool unix_socket_listening(const std::string &path);

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &text);

// A child process, ended by its pid when the object goes.
class Process {
public:
    Process() = default;
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    // Starts argv[0] (or `exe`, with argv[0] as the name it is given) with
    // `env` added to the environment; stdout and stderr go to the given files
    // (empty: /dev/null).
    bool start(const std::vector<std::string> &argv, const std::vector<std::string> &env,
               const std::string &stdout_path, const std::string &stderr_path,
               const std::string &exe = "");
    pid_t pid() const { return pid_; }
    bool running();
    // Sends `sig` to the process while it runs; false once it has been
    // reaped (never a kill() of pid -1, which would reach every process).
    bool signal(int sig);
    // Waits for exit up to `timeout`; returns the raw wait status or -1.
    int wait_exit(std::chrono::milliseconds timeout = 5000ms);
    // Ends the process (SIGTERM, then SIGKILL) and returns its wait status.
    int stop();

private:
    pid_t pid_ = -1;
    int status_ = -1;
};

// An empty home directory of a client's own, as a container application
// has: no keyring, no configuration. Pass env() to run_command().
class ClientHome {
public:
    std::vector<std::string> env() const;
    const std::string &path() const { return dir_.path(); }

private:
    TempDir dir_;
};

// Runs a command to completion (bounded by `timeout`), returns its exit
// status (or -1 on timeout / signal) and its output.
int run_command(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                std::string *out, std::string *err,
                std::chrono::milliseconds timeout = 10000ms);

// A private dbus-daemon listening on a unix socket in `dir`.
class HostBus {
public:
    explicit HostBus(const std::string &dir);
    // Lines added to the bus configuration, e.g. <limit> elements.
    std::string extra_config;
    bool start();
    void stop() { process_.stop(); }
    const std::string &address() const { return address_; }
    pid_t pid() const { return process_.pid(); }

private:
    std::string dir_;
    std::string address_;
    Process process_;
};

// A unix-socket relay between the daemon and a bus that can hold chosen
// traffic back, standing in for a slow or busy bus. Bytes keep their order
// on each connection; a held chunk holds back what follows it.
class SlowForwarder {
public:
    SlowForwarder(const std::string &dir, const std::string &bus_socket);
    ~SlowForwarder();
    SlowForwarder(const SlowForwarder &) = delete;
    SlowForwarder &operator=(const SlowForwarder &) = delete;
    bool start();
    const std::string &address() const { return address_; }
    // Holds the first bytes of every new connection for `delay`.
    std::atomic<int> delay_new_connections_ms{0};
    // Holds every chunk towards the bus that contains `delay_marker`.
    std::atomic<int> delay_marked_ms{0};
    std::string delay_marker;
    std::atomic<int> connections{0};

private:
    void run();
    std::string socket_path_;
    std::string bus_socket_;
    std::string address_;
    int listen_fd_ = -1;
    int stop_pipe_[2] = {-1, -1};
    std::thread thread_;
};

// The installed daemon, and the test build of it.
std::string daemon_path();
std::string test_daemon_path();

// The built daemon with the host bus given as both session and system bus.
// It is the test build of the daemon, which reads its activation lists
// from `dir` (see activation_list()) instead of the fixed directory.
class Daemon {
public:
    Daemon(const std::string &dir, const std::string &bus_address);
    void set_bus_address(const std::string &address) { bus_address_ = address; }
    // Runs the installed daemon instead, which has no such redirection.
    void use_installed_binary() { program_ = daemon_path(); }
    // Where this daemon looks for "dbus-sess-proxy.list" or "dbus-sys-proxy.list".
    std::string activation_list(const std::string &file_name) const { return dir_ + "/" + file_name; }
    // Starts with `args`; waits until the unix socket (if any) exists.
    bool start(const std::vector<std::string> &args, const std::string &wait_socket = "");
    // Starts listening on a unix socket in the temp dir.
    bool start_unix(const std::vector<std::string> &extra = {});
    std::string log() const { return read_file(log_path_); }
    const std::string &address() const { return address_; }
    const std::string &socket_path() const { return socket_path_; }
    Process &process() { return process_; }
    int open_fd_count() const;
    long rss_kib() const { return status_kib("VmRSS:"); }
    // The most it was resident at any time so far.
    long peak_rss_kib() const { return status_kib("VmHWM:"); }
    std::vector<std::string> extra_env;

private:
    long status_kib(const std::string &field) const;
    std::string program_;
    std::string dir_;
    std::string bus_address_;
    std::string socket_path_;
    std::string address_;
    std::string log_path_;
    Process process_;
};

// A libdbus client connection, used from the test thread.
class Client {
public:
    Client() = default;
    ~Client();
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    // Opens a private connection to `address`; `hello` registers with the bus.
    bool open(const std::string &address, bool hello = true, std::string *error = nullptr);
    void close();
    DBusConnection *conn() const { return conn_; }
    const char *unique_name() const { return dbus_bus_get_unique_name(conn_); }

    // Sends and blocks for the reply; returns it or null (an error reply
    // fills `error` with "name: message").
    MessagePtr call(DBusMessage *msg, int timeout_ms = 5000, std::string *error = nullptr);
    MessagePtr call(const MessagePtr &msg, int timeout_ms = 5000, std::string *error = nullptr)
    {
        return call(msg.get(), timeout_ms, error);
    }
    // Reads until a message satisfying `pred` arrives; drops the others.
    MessagePtr wait_message(const std::function<bool(DBusMessage *)> &pred,
                            std::chrono::milliseconds timeout = 5000ms);
    // Reads and drops what arrives until the far end has closed the
    // connection; false if it is still open after `timeout`.
    bool read_until_disconnected(std::chrono::milliseconds timeout = 5000ms);

private:
    DBusConnection *conn_ = nullptr;
};

// A host peer on its own thread: owns names and answers calls by callback.
class Peer {
public:
    using Handler = std::function<DBusMessage *(DBusConnection *, DBusMessage *)>;
    ~Peer();
    bool start(const std::string &address, const std::vector<std::string> &names, Handler handler);
    void stop();
    const std::string &unique_name() const { return unique_name_; }
    DBusConnection *conn() const { return conn_; }
    // Sees every message first, on the peer's thread; set before start().
    std::function<void(DBusMessage *)> observer;

private:
    static DBusHandlerResult filter(DBusConnection *, DBusMessage *, void *);
    DBusConnection *conn_ = nullptr;
    Handler handler_;
    std::string unique_name_;
    std::atomic<bool> running_{false};
    std::thread thread_;
};

// An echo handler: answers every method call with its own arguments.
DBusMessage *echo_handler(DBusConnection *, DBusMessage *call);

#ifdef DPD_CLEAN_EXIT
inline constexpr bool sanitized_build = true;
#else
inline constexpr bool sanitized_build = false;
#endif

} // namespace harness

namespace harness {
// A TCP port on 127.0.0.1 that was free a moment ago.
int free_tcp_port();
} // namespace harness
