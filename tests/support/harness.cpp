#include "harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#if !defined(DPD_DAEMON_PATH) || !defined(DPD_TEST_DAEMON_PATH)
#error "DPD_DAEMON_PATH and DPD_TEST_DAEMON_PATH must name the built daemons"
#endif

namespace harness {

std::string daemon_path()
{
    return DPD_DAEMON_PATH;
}

std::string test_daemon_path()
{
    return DPD_TEST_DAEMON_PATH;
}

bool wait_until(const std::function<bool()> &pred, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return pred();
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

bool unix_socket_listening(const std::string &path)
{
    // The socket file appears at bind(), before listen(); a client that
    // connects in between is refused. The kernel's table tells when the
    // socket accepts, without opening a connection the daemon would see.
    std::istringstream table(read_file("/proc/net/unix"));
    std::string line;
    std::getline(table, line); // header
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string num, refs, protocol, flags, type, state, inode, socket_path;
        fields >> num >> refs >> protocol >> flags >> type >> state >> inode >> socket_path;
        if (socket_path == path && (std::strtoul(flags.c_str(), nullptr, 16) & 0x10000) != 0)
            return true;
    }
    return false;
}

TempDir::TempDir()
{
    const char *base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/dpd-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()))
        path_ = buf.data();
}

TempDir::~TempDir()
{
    if (!path_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

Process::~Process()
{
    stop();
}

static void redirect(int fd, const std::string &path)
{
    int target = open(path.empty() ? "/dev/null" : path.c_str(),
                      O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
    if (target >= 0) {
        dup2(target, fd);
        ::close(target);
    }
}

bool Process::start(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                    const std::string &stdout_path, const std::string &stderr_path,
                    const std::string &exe)
{
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        redirect(STDOUT_FILENO, stdout_path);
        redirect(STDERR_FILENO, stderr_path);
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) {
            dup2(devnull, STDIN_FILENO);
            ::close(devnull);
        }
        for (const auto &e : env)
            putenv(const_cast<char *>(e.c_str()));
        execvp(exe.empty() ? args[0] : exe.c_str(), args.data());
        _exit(127);
    }
    pid_ = pid;
    status_ = -1;
    return true;
}

bool Process::running()
{
    if (pid_ <= 0)
        return false;
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        status_ = status;
        pid_ = -1;
        return false;
    }
    return true;
}

bool Process::signal(int sig)
{
    return running() && kill(pid_, sig) == 0;
}

int Process::wait_exit(std::chrono::milliseconds timeout)
{
    if (pid_ <= 0)
        return status_;
    if (!wait_until([this] { return !running(); }, timeout))
        return -1;
    return status_;
}

int Process::stop()
{
    if (pid_ <= 0)
        return status_;
    kill(pid_, SIGTERM);
    if (wait_exit(10000ms) == -1 && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
        pid_ = -1;
    }
    return status_;
}

std::vector<std::string> ClientHome::env() const
{
    // The XDG variables would otherwise keep pointing into the test's home.
    const std::string &home = dir_.path();
    return {"HOME=" + home, "XDG_CONFIG_HOME=" + home + "/.config",
            "XDG_DATA_HOME=" + home + "/.local/share", "XDG_CACHE_HOME=" + home + "/.cache"};
}

int run_command(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                std::string *out, std::string *err, std::chrono::milliseconds timeout)
{
    TempDir dir;
    Process p;
    if (!p.start(argv, env, dir.file("out"), dir.file("err")))
        return -1;
    int status = p.wait_exit(timeout);
    if (status == -1)
        p.stop();
    if (out)
        *out = read_file(dir.file("out"));
    if (err)
        *err = read_file(dir.file("err"));
    if (status == -1 || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

HostBus::HostBus(const std::string &dir) : dir_(dir) {}

bool HostBus::start()
{
    const std::string socket = dir_ + "/bus.sock";
    const std::string config = dir_ + "/bus.conf";
    // A bus started again binds the same path.
    unlink(socket.c_str());
    write_file(config,
               "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig>\n"
               "  <type>session</type>\n"
               "  <listen>unix:path=" + socket + "</listen>\n"
               "  <auth>EXTERNAL</auth>\n"
               "  <policy context=\"default\">\n"
               "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
               "    <allow eavesdrop=\"true\"/>\n"
               "    <allow own=\"*\"/>\n"
               "  </policy>\n" +
                   extra_config +
               "</busconfig>\n");
    if (!process_.start({"dbus-daemon", "--nofork", "--nopidfile", "--config-file=" + config}, {},
                        dir_ + "/bus.out", dir_ + "/bus.err"))
        return false;
    address_ = "unix:path=" + socket;
    return wait_until([&] { return unix_socket_listening(socket); });
}

Daemon::Daemon(const std::string &dir, const std::string &bus_address)
    : program_(test_daemon_path()), dir_(dir), bus_address_(bus_address),
      log_path_(dir + "/daemon.log")
{
}

bool Daemon::start(const std::vector<std::string> &args, const std::string &wait_socket)
{
    std::vector<std::string> argv{program_};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env{"DBUS_SESSION_BUS_ADDRESS=" + bus_address_,
                                 "DBUS_SYSTEM_BUS_ADDRESS=" + bus_address_,
                                 "DPD_TEST_ACTIVATION_LIST_DIR=" + dir_ + "/"};
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    if (!process_.start(argv, env, log_path_, dir_ + "/daemon.err"))
        return false;
    if (wait_socket.empty())
        return true;
    return wait_until([&] { return unix_socket_listening(wait_socket) || !process_.running(); }) &&
           process_.running();
}

bool Daemon::start_unix(const std::vector<std::string> &extra)
{
    socket_path_ = dir_ + "/proxy.sock";
    address_ = "unix:path=" + socket_path_;
    std::vector<std::string> args{"--family", "unix", "--socket", socket_path_};
    args.insert(args.end(), extra.begin(), extra.end());
    return start(args, socket_path_);
}

int Daemon::open_fd_count() const
{
    std::string dir = "/proc/" + std::to_string(process_.pid()) + "/fd";
    int count = 0;
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                ++count;
        closedir(d);
    }
    return count;
}

long Daemon::status_kib(const std::string &field) const
{
    std::istringstream in(read_file("/proc/" + std::to_string(process_.pid()) + "/status"));
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0)
            return std::strtol(line.c_str() + field.size(), nullptr, 10);
    return -1;
}

Client::~Client()
{
    close();
}

bool Client::open(const std::string &address, bool hello, std::string *error)
{
    DBusError err;
    dbus_error_init(&err);
    conn_ = dbus_connection_open_private(address.c_str(), &err);
    if (conn_) {
        dbus_connection_set_exit_on_disconnect(conn_, FALSE);
        if (hello && !dbus_bus_register(conn_, &err))
            close();
    }
    if (dbus_error_is_set(&err) && error)
        *error = err.message;
    dbus_error_free(&err);
    return conn_ != nullptr;
}

void Client::close()
{
    if (conn_) {
        dbus_connection_close(conn_);
        dbus_connection_unref(conn_);
        conn_ = nullptr;
    }
}

MessagePtr Client::call(DBusMessage *msg, int timeout_ms, std::string *error)
{
    ScopedError err;
    MessagePtr reply(dbus_connection_send_with_reply_and_block(conn_, msg, timeout_ms, err.get()));
    if (err.is_set() && error)
        *error = std::string(err.name()) + ": " + (err.message() ? err.message() : "");
    return reply;
}

MessagePtr Client::wait_message(const std::function<bool(DBusMessage *)> &pred,
                                std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        while (MessagePtr m{dbus_connection_pop_message(conn_)}) {
            if (pred(m.get()))
                return m;
        }
        if (!dbus_connection_read_write(conn_, 20))
            return {};
    }
    return {};
}

bool Client::read_until_disconnected(std::chrono::milliseconds timeout)
{
    // No pause between reads: what was sent before the close comes first,
    // and libdbus reads it a few kilobytes per pass.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (dbus_connection_read_write(conn_, 100)) {
        while (MessagePtr m{dbus_connection_pop_message(conn_)}) {
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
    }
    return true;
}

Peer::~Peer()
{
    stop();
}

bool Peer::start(const std::string &address, const std::vector<std::string> &names,
                 Handler handler)
{
    handler_ = std::move(handler);
    DBusError err;
    dbus_error_init(&err);
    conn_ = dbus_connection_open_private(address.c_str(), &err);
    if (!conn_ || !dbus_bus_register(conn_, &err)) {
        dbus_error_free(&err);
        return false;
    }
    dbus_connection_set_exit_on_disconnect(conn_, FALSE);
    unique_name_ = dbus_bus_get_unique_name(conn_);
    for (const auto &name : names) {
        if (dbus_bus_request_name(conn_, name.c_str(), DBUS_NAME_FLAG_DO_NOT_QUEUE, &err) !=
            DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
            dbus_error_free(&err);
            return false;
        }
    }
    dbus_connection_add_filter(conn_, filter, this, nullptr);
    running_ = true;
    thread_ = std::thread([this] {
        while (running_ && dbus_connection_read_write_dispatch(conn_, 20)) {
        }
    });
    return true;
}

void Peer::stop()
{
    running_ = false;
    if (thread_.joinable())
        thread_.join();
    if (conn_) {
        dbus_connection_close(conn_);
        dbus_connection_unref(conn_);
        conn_ = nullptr;
    }
}

DBusHandlerResult Peer::filter(DBusConnection *conn, DBusMessage *msg, void *data)
{
    auto *self = static_cast<Peer *>(data);
    if (self->observer)
        self->observer(msg);
    if (dbus_message_get_type(msg) != DBUS_MESSAGE_TYPE_METHOD_CALL)
        return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
    if (DBusMessage *reply = self->handler_(conn, msg)) {
        dbus_connection_send(conn, reply, nullptr);
        dbus_message_unref(reply);
    }
    return DBUS_HANDLER_RESULT_HANDLED;
}

static void copy_value(DBusMessageIter *src, DBusMessageIter *dst)
{
    const int type = dbus_message_iter_get_arg_type(src);
    if (dbus_type_is_basic(type)) {
        DBusBasicValue value;
        dbus_message_iter_get_basic(src, &value);
        dbus_message_iter_append_basic(dst, type, &value);
        return;
    }
    DBusMessageIter sub_src, sub_dst;
    dbus_message_iter_recurse(src, &sub_src);
    char *full = nullptr;
    const char *contained = nullptr;
    if (type == DBUS_TYPE_ARRAY) {
        full = dbus_message_iter_get_signature(src);
        contained = full + 1;
    } else if (type == DBUS_TYPE_VARIANT) {
        full = dbus_message_iter_get_signature(&sub_src);
        contained = full;
    }
    dbus_message_iter_open_container(dst, type, contained, &sub_dst);
    dbus_free(full);
    while (dbus_message_iter_get_arg_type(&sub_src) != DBUS_TYPE_INVALID) {
        copy_value(&sub_src, &sub_dst);
        dbus_message_iter_next(&sub_src);
    }
    dbus_message_iter_close_container(dst, &sub_dst);
}

DBusMessage *echo_handler(DBusConnection *, DBusMessage *call)
{
    DBusMessage *reply = dbus_message_new_method_return(call);
    DBusMessageIter in, out;
    dbus_message_iter_init_append(reply, &out);
    if (dbus_message_iter_init(call, &in)) {
        do
            copy_value(&in, &out);
        while (dbus_message_iter_next(&in));
    }
    return reply;
}

} // namespace harness

#include <netinet/in.h>
#include <sys/socket.h>

namespace harness {

int free_tcp_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

} // namespace harness
