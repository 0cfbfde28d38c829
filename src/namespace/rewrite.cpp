#include "namespace/rewrite.h"

#include "log/escape.h"
#include "log/log.h"
#include "namespace/activation_list.h"
#include "util/dbus_ptr.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
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

namespace {

// Whether `text` equals "<name>.<namespace>" cut at 511 characters, without
// building that string.
bool is_candidate(const char *text, const char *name, const char *namespace_name)
{
    size_t left = REDIRECT_CANDIDATE_SIZE - 1;
    // As snprintf shows a null namespace.
    for (const char *part : {name, ".", namespace_name ? namespace_name : "(null)"})
        for (const char *p = part; *p && left > 0; ++p, --left, ++text)
            if (*text != *p)
                return false;
    return *text == '\0';
}

bool registry_has_candidate(const ProxyConfig *config, const char *name)
{
    for (GList *item = config->owned_names; item; item = item->next)
        if (is_candidate(static_cast<const char *>(item->data), name, config->namespace_name))
            return true;
    return false;
}

void format_candidate(const ProxyConfig *config, const char *name, char *candidate)
{
    // Longer names are cut at 511 characters.
    std::snprintf(candidate, REDIRECT_CANDIDATE_SIZE, "%s.%s", name, config->namespace_name);
}

} // namespace

int redirect_decision(const ProxyConfig *config, const char *name, char *candidate)
{
    // Most calls go to names neither registered nor listed: the candidate,
    // the only name ever set as a destination, is written only for those
    // that are.
    if (registry_has_candidate(config, name)) {
        format_candidate(config, name, candidate);
        return REDIRECT_REGISTRY;
    }
    char *found = nullptr;
    if (lookup_activation_list(config, name, &found) != 1)
        return REDIRECT_NONE;
    MallocString value(found);
    format_candidate(config, name, candidate);
    // The value only has to begin with the candidate: the line's newline
    // and anything after it are ignored.
    if (std::strncmp(value.get(), candidate, std::strlen(candidate)) == 0)
        return REDIRECT_ACTIVATION;
    return REDIRECT_NONE;
}

int rewrite_destination(ConnectionPair *pair, DBusMessage *message)
{
    const char *destination = dbus_message_get_destination(message);
    if (!destination)
        return 0;

    char candidate[REDIRECT_CANDIDATE_SIZE];
    switch (redirect_decision(pair->config, destination, candidate)) {
    case REDIRECT_REGISTRY:
        if (set_destination(message, candidate)) {
            LOG_TRACE("[CLIENT]normal dbus-call for namespaced service %s\n",
                      log_escape(candidate).c_str());
            return 0;
        }
        LOG_WARN("Cannot redirect requested-destination to %s for client call\n",
                 log_escape(candidate).c_str());
        break;
    case REDIRECT_ACTIVATION:
        if (set_destination(message, candidate)) {
            LOG_TRACE("[CLIENT]normal dbus-call for namespaced activatable service %s\n",
                      log_escape(candidate).c_str());
            return 0;
        }
        LOG_DEBUG("Cannot redirect active-destination to %s for client call\n",
                  log_escape(candidate).c_str());
        break;
    default:
        LOG_TRACE("[CLIENT]normal dbus-call for service %s\n", log_escape(destination).c_str());
        return 0;
    }

    ScopedError error;
    refuse_call(pair, message, error, candidate);
    return -1;
}
