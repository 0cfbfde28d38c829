#include "namespace/activation_list.h"
#include "namespace/namespace.h"

#include "log/log.h"
#include "util/dbus_ptr.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

struct FreeDeleter {
    void operator()(char *p) const { std::free(p); }
};
using MallocString = std::unique_ptr<char, FreeDeleter>;

// libdbus aborts the process when handed an invalid bus name, so a name
// that fails the check is a failed set like running out of memory.
bool set_destination(DBusMessage *message, const char *name)
{
    return dbus_validate_bus_name(name, nullptr) && dbus_message_set_destination(message, name);
}

// The namespace comes from the command line and may be any bytes, and
// libdbus aborts on a string argument that is not UTF-8: show the bytes of
// such a name escaped rather than lose the reply.
std::string printable_utf8(const char *text)
{
    if (dbus_validate_utf8(text, nullptr))
        return text;
    std::string out;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
        if (*p < 0x80) {
            out += static_cast<char>(*p);
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", *p);
            out += escaped;
        }
    }
    return out;
}

void refuse_call(ConnectionPair *pair, DBusMessage *message, ScopedError &error,
                 const char *candidate)
{
    dbus_set_error(error.get(), DBUS_ERROR_SERVICE_UNKNOWN,
                   "[CLIENT:]Failed to proxy method-call for %s",
                   printable_utf8(candidate).c_str());
    MessagePtr reply(dbus_message_new_error(message, error.name(), error.message()));
    error.clear();
    if (reply)
        dbus_connection_send(pair->client, reply.get(), nullptr);
}

} // namespace

int owned_names_contains(GList *owned_names, const char *name)
{
    for (GList *item = owned_names; item; item = item->next)
        if (std::strcmp(static_cast<const char *>(item->data), name) == 0)
            return 1;
    return 0;
}

int rewrite_destination(ConnectionPair *pair, DBusMessage *message)
{
    const ProxyConfig *config = pair->config;
    ScopedError error;
    const char *destination = dbus_message_get_destination(message);
    if (!destination)
        return 0;

    // The only name ever set as a destination; longer names are cut at 511.
    char candidate[512];
    std::memset(candidate, 0, sizeof candidate);
    std::snprintf(candidate, sizeof candidate, "%s.%s", destination, config->namespace_name);

    MallocString value;
    if (owned_names_contains(config->owned_names, candidate)) {
        if (set_destination(message, candidate)) {
            LOG_TRACE("[CLIENT]normal dbus-call for namespaced service %s\n", candidate);
            return 0;
        }
        LOG_WARN("Cannot redirect requested-destination to %s for client call\n", candidate);
    } else {
        char *found = nullptr;
        if (lookup_activation_list(config, destination, &found) == 1)
            value.reset(found);
        // The value only has to begin with the candidate: the line's newline
        // and anything after it are ignored.
        const bool confirmed =
            value && std::strncmp(value.get(), candidate, std::strlen(candidate)) == 0;
        if (!confirmed) {
            LOG_TRACE("[CLIENT]normal dbus-call for service %s\n", destination);
            return 0;
        }
        if (set_destination(message, candidate)) {
            LOG_TRACE("[CLIENT]normal dbus-call for namespaced activatable service %s\n",
                      candidate);
            return 0;
        }
        LOG_DEBUG("Cannot redirect active-destination to %s for client call\n", candidate);
    }

    refuse_call(pair, message, error, candidate);
    return -1;
}
