// Feeds arbitrary messages from a client through the client-side filter.
#include "main/command_line.h"
#include "namespace/activation_list.h"
#include "relay/relay.h"
#include "session/pair.h"

#include <dbus/dbus.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

// A server nobody dispatches: connections to it never authenticate, so
// whatever the filter sends just waits in their outgoing queues, which are
// dropped every few hundred inputs. So is the server: the connections it
// never accepts fill its listen backlog, after which none could be opened.
DBusServer *sink = nullptr;
ProxyConfig config;
ConnectionPair *pair = nullptr;
int uses = 0;

DBusConnection *open_sink_connection()
{
    char *address = dbus_server_get_address(sink);
    DBusConnection *c = dbus_connection_open_private(address, nullptr);
    dbus_free(address);
    if (!c)
        std::abort();
    return c;
}

void renew_pair()
{
    if (pair) {
        dbus_connection_close(pair->client);
        dbus_connection_unref(pair->client);
        dbus_connection_close(pair->server);
        dbus_connection_unref(pair->server);
        std::free(pair);
    }
    if (sink) {
        dbus_server_disconnect(sink);
        dbus_server_unref(sink);
    }
    sink = dbus_server_listen("unix:tmpdir=/tmp", nullptr);
    if (!sink)
        std::abort();
    pair = pair_new(open_sink_connection());
    pair->server = open_sink_connection();
    pair->config = &config;
    pair->hello_done = 1;
    // Hello is answered with the private connection's unique name.
    dbus_bus_set_unique_name(pair->server, ":1.42");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    config_init(&config);
    // A list that namespaces one of the seed corpus's services.
    static char dir[] = "/tmp/fuzz-client-dispatch-XXXXXX";
    if (!mkdtemp(dir))
        std::abort();
    static std::string list_dir = std::string(dir) + "/";
    activation_list_dir = list_dir.c_str();
    if (FILE *f = std::fopen((list_dir + "dbus-sess-proxy.list").c_str(), "w")) {
        std::fputs("org.example.Player=org.example.Player.docker\n", f);
        std::fclose(f);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > (1 << 16))
        return 0;
    DBusMessage *message =
        dbus_message_demarshal(reinterpret_cast<const char *>(data), static_cast<int>(size),
                               nullptr);
    if (!message)
        return 0;
    if (!pair || ++uses % 256 == 0)
        renew_pair();
    config.trace = (size & 1) != 0;
    client_message_filter(pair->client, message, pair);
    dbus_message_unref(message);
    return 0;
}
