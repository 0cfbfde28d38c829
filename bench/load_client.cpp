// Load client: C connections, each keeping W calls in flight, for D
// seconds; Ping() when the payload is 0 bytes, else Echo(ay) of P bytes.
// --dest, --interface and --member call another method without arguments,
// or org.freedesktop.DBus.Properties Get/GetAll of the echo interface.
// With --calls N it makes exactly N calls instead (no window, no warm-up):
// the count bench/count.py divides by.
// Prints one line:
//   RESULT calls=N secs=S calls_per_s=X p50_us=A p99_us=B p999_us=C
//          max_us=M mb_per_s=Y total_calls=T errors=E
// (one line; MB/s counts payload bytes both ways, 10^6 bytes per MB; T
// includes the warm-up and the drain).
#include "bench_util.h"

#include <poll.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

struct Pending {
    dbus_uint32_t serial;
    int64_t sent_ns;
    uint8_t tag;
};

struct Conn {
    DBusConnection *dbus = nullptr;
    int fd = -1;
    std::vector<Pending> pending;
};

struct Load {
    const char *dest = bench::kService;
    const char *interface = bench::kInterface;
    const char *member = nullptr; // null: Ping or Echo
    const char *signature = "";   // the reply's, checked for a custom member
    size_t payload = 0;
    std::vector<unsigned char> bytes;
    int64_t measure_from = 0;
    int64_t measure_to = 0;
    long long calls = 0;       // answered inside the measured window
    long long total_calls = 0; // answered at all, for per-call CPU figures
    long long errors = 0;
    uint8_t next_tag = 0;
    long long sent = 0;
    long long max_calls = 0; // 0: as many as the window takes
    std::vector<int64_t> latencies;
};

bool send_call(Load &load, Conn &c)
{
    const uint8_t tag = load.next_tag++;
    DBusMessage *msg = load.member
                           ? bench::new_call_to(load.dest, load.interface, load.member)
                           : bench::new_call_to(load.dest, load.interface,
                                                load.payload ? "Echo" : "Ping");
    if (!msg)
        return false;
    if (load.payload) {
        // The first byte varies so a stale or crossed reply is caught.
        load.bytes[0] = tag;
        const unsigned char *p = load.bytes.data();
        dbus_message_append_args(msg, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &p, int(load.payload),
                                 DBUS_TYPE_INVALID);
    }
    dbus_uint32_t serial = 0;
    int64_t t = bench::now_ns();
    bool ok = dbus_connection_send(c.dbus, msg, &serial);
    dbus_message_unref(msg);
    if (ok) {
        c.pending.push_back({serial, t, tag});
        ++load.sent;
    }
    return ok;
}

// Checks an Echo reply: same length, the tag byte, the fill pattern's end.
bool echo_ok(const Load &load, DBusMessage *reply, uint8_t tag)
{
    const unsigned char *p = nullptr;
    int len = 0;
    if (!dbus_message_get_args(reply, nullptr, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &p, &len,
                               DBUS_TYPE_INVALID))
        return false;
    return size_t(len) == load.payload && p[0] == tag && p[len - 1] == load.bytes[len - 1];
}

// Handles one incoming message; returns true when it answered a call.
bool take_reply(Load &load, Conn &c, DBusMessage *msg, int64_t now)
{
    const int type = dbus_message_get_type(msg);
    if (type != DBUS_MESSAGE_TYPE_METHOD_RETURN && type != DBUS_MESSAGE_TYPE_ERROR)
        return false; // e.g. NameAcquired
    const dbus_uint32_t serial = dbus_message_get_reply_serial(msg);
    for (size_t i = 0; i < c.pending.size(); ++i) {
        if (c.pending[i].serial != serial)
            continue;
        const int64_t sent = c.pending[i].sent_ns;
        const uint8_t tag = c.pending[i].tag;
        c.pending.erase(c.pending.begin() + long(i));
        bool ok = type == DBUS_MESSAGE_TYPE_METHOD_RETURN &&
                  (!load.payload || echo_ok(load, msg, tag)) &&
                  (!load.member || dbus_message_has_signature(msg, load.signature));
        if (!ok) {
            ++load.errors;
            if (load.errors <= 3)
                std::fprintf(stderr, "bad reply: %s\n",
                             type == DBUS_MESSAGE_TYPE_ERROR ? dbus_message_get_error_name(msg)
                                                             : "payload mismatch");
            return true;
        }
        ++load.total_calls;
        if (now >= load.measure_from && now < load.measure_to) {
            ++load.calls;
            load.latencies.push_back(now - sent);
        }
        return true;
    }
    return false;
}

volatile std::sig_atomic_t stop_requested = 0;

void on_signal(int)
{
    stop_requested = 1;
}

} // namespace

int main(int argc, char **argv)
{
    bench::Args args(argc, argv);
    const char *address = args.get("--address", nullptr);
    if (!address) {
        std::fprintf(stderr,
                     "usage: load_client --address ADDR [--conns C] [--inflight W]\n"
                     "       [--payload BYTES] [--duration SECS] [--warmup SECS] [--nodelay]\n"
                     "       [--dest NAME] [--interface IFACE] [--member NAME] [--calls N]\n");
        return 2;
    }
    const int nconns = int(args.num("--conns", 4));
    const int inflight = int(args.num("--inflight", 1));
    const double duration = args.num("--duration", 2.0);
    const double warmup = args.num("--warmup", 0.2);
    const bool nodelay = args.flag("--nodelay");
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);
    std::signal(SIGPIPE, SIG_IGN);

    Load load;
    load.payload = size_t(args.num("--payload", 0));
    load.dest = args.get("--dest", bench::kService);
    load.interface = args.get("--interface", bench::kInterface);
    load.member = args.get("--member", nullptr);
    if (load.member && std::strcmp(load.interface, DBUS_INTERFACE_PROPERTIES) == 0)
        load.signature = std::strcmp(load.member, "GetAll") == 0 ? "a{sv}" : "v";
    if (load.member)
        load.payload = 0;
    load.bytes.resize(load.payload + 1);
    for (size_t i = 0; i < load.bytes.size(); ++i)
        load.bytes[i] = uint8_t(i * 7 + 3);

    std::vector<Conn> conns(static_cast<size_t>(nconns));
    for (Conn &c : conns) {
        c.dbus = bench::open_registered(address, nodelay);
        if (!c.dbus)
            return 1;
        dbus_connection_get_socket(c.dbus, &c.fd);
    }

    load.max_calls = (long long)args.num("--calls", 0);
    const int64_t start = bench::now_ns();
    load.measure_from = load.max_calls ? start : start + int64_t(warmup * 1e9);
    load.measure_to = load.max_calls ? INT64_MAX / 2 : load.measure_from + int64_t(duration * 1e9);
    // After the window, outstanding replies get this long to come back.
    const int64_t drain_until =
        load.max_calls ? start + 300000000000LL : load.measure_to + 5000000000LL;

    for (Conn &c : conns)
        for (int i = 0; i < inflight && !(load.max_calls && load.sent >= load.max_calls); ++i)
            if (!send_call(load, c)) {
                std::fprintf(stderr, "send failed\n");
                return 1;
            }

    std::vector<pollfd> fds(conns.size());
    size_t outstanding = conns.size() * size_t(inflight);
    while (outstanding > 0 && !stop_requested) {
        const int64_t now = bench::now_ns();
        if (now >= drain_until) {
            std::fprintf(stderr, "%zu replies still missing\n", outstanding);
            load.errors += (long long)outstanding;
            break;
        }
        for (size_t i = 0; i < conns.size(); ++i) {
            fds[i].fd = conns[i].fd;
            fds[i].events = short(POLLIN | (dbus_connection_has_messages_to_send(conns[i].dbus)
                                                ? POLLOUT
                                                : 0));
            fds[i].revents = 0;
        }
        if (poll(fds.data(), fds.size(), 100) < 0)
            continue;
        for (size_t i = 0; i < conns.size(); ++i) {
            Conn &c = conns[i];
            if (!fds[i].revents)
                continue;
            if (!dbus_connection_read_write(c.dbus, 0)) {
                std::fprintf(stderr, "connection lost\n");
                return 1;
            }
            while (DBusMessage *msg = dbus_connection_pop_message(c.dbus)) {
                const int64_t t = bench::now_ns();
                if (take_reply(load, c, msg, t)) {
                    --outstanding;
                    const bool more = load.max_calls ? load.sent < load.max_calls
                                                     : t < load.measure_to;
                    if (more && send_call(load, c))
                        ++outstanding;
                }
                dbus_message_unref(msg);
            }
        }
    }

    for (Conn &c : conns)
        bench::close_conn(c.dbus);

    const double secs = duration;
    const double p50 = bench::percentile_us(load.latencies, 50);
    const double p99 = bench::percentile_us(load.latencies, 99);
    const double p999 = bench::percentile_us(load.latencies, 99.9);
    const double max = load.latencies.empty() ? 0 : double(load.latencies.back()) / 1000.0;
    std::printf("RESULT calls=%lld secs=%.3f calls_per_s=%.1f p50_us=%.1f p99_us=%.1f "
                "p999_us=%.1f max_us=%.1f mb_per_s=%.2f total_calls=%lld errors=%lld\n",
                load.calls, secs, double(load.calls) / secs, p50, p99, p999, max,
                double(load.calls) * double(load.payload) * 2.0 / secs / 1e6, load.total_calls,
                load.errors);
    return load.errors ? 3 : 0;
}
