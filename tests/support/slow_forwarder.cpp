#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <memory>

namespace harness {

namespace {

using Clock = std::chrono::steady_clock;

struct Chunk {
    std::string bytes;
    Clock::time_point release;
};

// One direction of one relayed connection.
struct Lane {
    int from = -1;
    int to = -1;
    bool towards_bus = false;
    std::deque<Chunk> pending;
    bool first = true;
};

int connect_unix(const std::string &path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool write_all(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

SlowForwarder::SlowForwarder(const std::string &dir, const std::string &bus_socket)
    : socket_path_(dir + "/slow-bus.sock"), bus_socket_(bus_socket)
{
}

SlowForwarder::~SlowForwarder()
{
    if (thread_.joinable()) {
        char c = 0;
        (void)!write(stop_pipe_[1], &c, 1);
        thread_.join();
    }
    for (int fd : {listen_fd_, stop_pipe_[0], stop_pipe_[1]})
        if (fd >= 0)
            close(fd);
}

bool SlowForwarder::start()
{
    listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socket_path_.c_str());
    if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(listen_fd_, 64) != 0 || pipe2(stop_pipe_, O_CLOEXEC) != 0)
        return false;
    address_ = "unix:path=" + socket_path_;
    thread_ = std::thread([this] { run(); });
    return true;
}

void SlowForwarder::run()
{
    std::vector<std::unique_ptr<Lane>> lanes;
    for (;;) {
        const auto now = Clock::now();
        // Release what is due, in order; find the next release time.
        int timeout_ms = 1000;
        for (auto &lane : lanes) {
            while (!lane->pending.empty() && lane->pending.front().release <= now) {
                write_all(lane->to, lane->pending.front().bytes);
                lane->pending.pop_front();
            }
            if (!lane->pending.empty()) {
                auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
                                lane->pending.front().release - now)
                                .count();
                timeout_ms = std::min<int>(timeout_ms, static_cast<int>(wait) + 1);
            }
        }

        std::vector<pollfd> fds{{stop_pipe_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}};
        for (auto &lane : lanes)
            fds.push_back({lane->from, POLLIN, 0});
        if (poll(fds.data(), fds.size(), timeout_ms) < 0)
            continue;
        if (fds[0].revents)
            break;
        if (fds[1].revents & POLLIN) {
            int client = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            int upstream = client >= 0 ? connect_unix(bus_socket_) : -1;
            if (upstream >= 0) {
                auto up = std::make_unique<Lane>();
                up->from = client;
                up->to = upstream;
                up->towards_bus = true;
                auto down = std::make_unique<Lane>();
                down->from = upstream;
                down->to = client;
                lanes.push_back(std::move(up));
                lanes.push_back(std::move(down));
                ++connections;
            } else if (client >= 0) {
                close(client);
            }
        }
        std::vector<int> closed;
        // Lanes accepted just now were not polled.
        for (size_t i = 0; i + 2 < fds.size(); ++i) {
            if (!(fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            Lane &lane = *lanes[i];
            char buf[65536];
            ssize_t n = recv(lane.from, buf, sizeof buf, 0);
            if (n <= 0) {
                closed.push_back(static_cast<int>(i));
                continue;
            }
            Chunk chunk{std::string(buf, static_cast<size_t>(n)), Clock::now()};
            if (lane.towards_bus && lane.first && delay_new_connections_ms > 0)
                chunk.release += std::chrono::milliseconds(delay_new_connections_ms.load());
            if (lane.towards_bus && delay_marked_ms > 0 && !delay_marker.empty() &&
                chunk.bytes.find(delay_marker) != std::string::npos)
                chunk.release += std::chrono::milliseconds(delay_marked_ms.load());
            // Never before what is already waiting.
            if (!lane.pending.empty() && chunk.release < lane.pending.back().release)
                chunk.release = lane.pending.back().release;
            lane.first = false;
            lane.pending.push_back(std::move(chunk));
        }
        // A closed side ends both lanes of its connection (lanes come in pairs).
        for (auto it = closed.rbegin(); it != closed.rend(); ++it) {
            const size_t pair_start = static_cast<size_t>(*it) & ~size_t(1);
            if (pair_start + 1 >= lanes.size() || !lanes[pair_start])
                continue;
            close(lanes[pair_start]->from);
            close(lanes[pair_start]->to);
            lanes[pair_start].reset();
            lanes[pair_start + 1].reset();
        }
        std::vector<std::unique_ptr<Lane>> kept;
        for (auto &lane : lanes)
            if (lane)
                kept.push_back(std::move(lane));
        lanes = std::move(kept);
    }
    for (size_t i = 0; i + 1 < lanes.size(); i += 2) {
        close(lanes[i]->from);
        close(lanes[i]->to);
    }
}

} // namespace harness
