// Connection churn: connect, authenticate, Hello, one Ping, close, over and
// over for D seconds (at most R per second when --rate is given). Prints:
//   RESULT conns=N secs=S conns_per_s=X setup_p50_us=A setup_p99_us=B
//          cycle_p50_us=C cycle_p99_us=D errors=E
// where setup is connect+auth+Hello and cycle adds the Ping and the close.
// --dest NAME sends the Ping there; --getall calls Properties.GetAll of the
// echo interface instead, so that each call comes from a caller the
// destination's side has not seen before.
//
// With --hold N it instead opens N registered connections, prints
// "ready N" and keeps them idle until stdin closes, a signal, or D seconds.
#include "bench_util.h"

#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

volatile std::sig_atomic_t stop_requested = 0;

void on_signal(int)
{
    stop_requested = 1;
}

int hold(const char *address, int count, double max_secs, bool nodelay)
{
    std::vector<DBusConnection *> conns;
    for (int i = 0; i < count; ++i) {
        DBusConnection *c = bench::open_registered(address, nodelay);
        if (!c)
            return 1;
        conns.push_back(c);
    }
    std::printf("ready %d\n", count);
    std::fflush(stdout);
    const int64_t end = bench::now_ns() + int64_t(max_secs * 1e9);
    pollfd in{STDIN_FILENO, POLLIN, 0};
    while (!stop_requested && bench::now_ns() < end) {
        in.revents = 0;
        if (poll(&in, 1, 100) > 0) {
            char buf[64];
            if (read(STDIN_FILENO, buf, sizeof buf) <= 0)
                break;
        }
    }
    for (DBusConnection *c : conns)
        bench::close_conn(c);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    bench::Args args(argc, argv);
    const char *address = args.get("--address", nullptr);
    if (!address) {
        std::fprintf(stderr, "usage: churn_client --address ADDR [--duration SECS] [--rate N]\n"
                             "       [--nodelay] [--hold N] [--dest NAME] [--getall] [--count N]\n");
        return 2;
    }
    const double duration = args.num("--duration", 2.0);
    const double rate = args.num("--rate", 0);
    const bool nodelay = args.flag("--nodelay");
    const char *dest = args.get("--dest", bench::kService);
    const bool getall = args.flag("--getall");
    // A fixed number of cycles (0: as many as the duration allows), for counts.
    const long count = long(args.num("--count", 0));
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);
    std::signal(SIGPIPE, SIG_IGN);

    if (args.get("--hold", nullptr))
        return hold(address, int(args.num("--hold", 0)), duration, nodelay);

    std::vector<int64_t> setup, cycle;
    long long errors = 0;
    const int64_t start = bench::now_ns();
    const int64_t end = start + int64_t(duration * 1e9);
    const int64_t interval = rate > 0 ? int64_t(1e9 / rate) : 0;
    int64_t next = start;
    while (!stop_requested) {
        int64_t t0 = bench::now_ns();
        if (count > 0 ? long(cycle.size()) + errors >= count : t0 >= end)
            break;
        if (interval) {
            if (t0 < next) {
                std::this_thread::sleep_for(std::chrono::nanoseconds(next - t0));
                continue;
            }
            next += interval;
        }
        DBusConnection *conn = bench::open_registered(address, nodelay);
        if (!conn) {
            ++errors;
            continue;
        }
        const int64_t t1 = bench::now_ns();
        DBusMessage *call =
            getall ? bench::new_call_to(dest, DBUS_INTERFACE_PROPERTIES, "GetAll")
                   : bench::new_call_to(dest, bench::kInterface, "Ping");
        DBusMessage *reply =
            call ? dbus_connection_send_with_reply_and_block(conn, call, 5000, nullptr) : nullptr;
        if (!reply || dbus_message_get_type(reply) != DBUS_MESSAGE_TYPE_METHOD_RETURN)
            ++errors;
        if (reply)
            dbus_message_unref(reply);
        if (call)
            dbus_message_unref(call);
        bench::close_conn(conn);
        const int64_t t2 = bench::now_ns();
        setup.push_back(t1 - t0);
        cycle.push_back(t2 - t0);
    }
    const double secs = double(bench::now_ns() - start) / 1e9;
    const size_t n = cycle.size();
    std::printf("RESULT conns=%zu secs=%.3f conns_per_s=%.1f setup_p50_us=%.1f setup_p99_us=%.1f "
                "cycle_p50_us=%.1f cycle_p99_us=%.1f errors=%lld\n",
                n, secs, double(n) / secs, bench::percentile_us(setup, 50),
                bench::percentile_us(setup, 99), bench::percentile_us(cycle, 50),
                bench::percentile_us(cycle, 99), errors);
    return errors ? 3 : 0;
}
