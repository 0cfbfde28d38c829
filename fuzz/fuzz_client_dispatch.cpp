// Feeds arbitrary messages from a client through the client-side filter.
#include "main/command_line.h"
#include "namespace/activation_list.h"
#include "relay/relay.h"
#include "session/pair.h"
#include "util/overrides.h"
#include "sink_pair.h"

#include <dbus/dbus.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

ProxyConfig config;
SinkPair sink_pair(&config);

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    config_init(&config);
    // A list that namespaces one of the seed corpus's services.
    static char dir[] = "/tmp/fuzz-client-dispatch-XXXXXX";
    if (!mkdtemp(dir))
        std::abort();
    static std::string list_dir = std::string(dir) + "/";
    overrides.activation_list_dir = list_dir.c_str();
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
    ConnectionPair *pair = sink_pair.get();
    config.trace = (size & 1) != 0;
    client_message_filter(pair->client, message, pair);
    dbus_message_unref(message);
    return 0;
}
