#include "panel/adapt.h"

#include "log/log.h"
#include "panel/properties.h"
#include "panel/records.h"
#include "util/dbus_ptr.h"

#include <cstring>

const char *const shared_path_prefixes[] = {"/run/"};
const int shared_path_prefix_count = 1;

int match_path_prefix(const char *text, const char *const *prefixes, int count)
{
    for (int i = 0; i < count; ++i)
        if (std::strncmp(text, prefixes[i], std::strlen(prefixes[i])) == 0)
            return i;
    return -1;
}

int adapt_panel_reply(ConnectionPair *pair, DBusMessage *reply)
{
    const dbus_uint32_t serial = dbus_message_get_reply_serial(reply);
    const char *caller = dbus_message_get_destination(reply);
    if (!panel_record_contains(pair, serial, caller))
        return 0;

    IconPlan plan;
    if (!plan_icon_entries(reply, &plan)) {
        // The reply needs no substitute: its icons are no paths, or shared ones.
        LOG_INFO("[Modify for panel] - remove panel serial 0000\n");
        // Answered all the same: a record kept here would never leave.
        panel_record_remove(pair, serial, caller);
        return 0;
    }

    // An icon path is the container's: a substitute is built.
    LOG_INFO("[Modify for panel] - remove panel serial 11111\n");
    int sent = 0;
    // Without a substitute the client's own reply still answers the panel.
    if (MessagePtr substitute{dbus_message_new_method_return(reply)}) {
        dbus_message_set_destination(substitute.get(), caller);
        dbus_message_set_reply_serial(substitute.get(), serial);
        const char *prefix = pair->config && pair->config->panel_prefix
                                 ? pair->config->panel_prefix
                                 : panel_icon_prefix;
        if (rebuild_properties_reply(reply, substitute.get(), plan, prefix)) {
            LOG_INFO("[Modify for panel] - change dbus message for panel and send fake "
                     "message\n");
            dbus_connection_send(pair->server, substitute.get(), nullptr);
            sent = 1;
        }
    }
    panel_record_remove(pair, serial, caller);
    LOG_INFO("[Modify for panel] - remove panel serial %d\n", static_cast<int>(serial));
    return sent;
}

void panel_call_failed(ConnectionPair *pair, DBusMessage *error)
{
    panel_record_remove(pair, dbus_message_get_reply_serial(error),
                        dbus_message_get_destination(error));
}

void forget_panel_calls(const ConnectionPair *pair)
{
    panel_record_forget_pair(pair);
}
