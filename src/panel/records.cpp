#include "panel/records.h"

#include <cstdlib>
#include <cstring>

GList *panel_call_serials = nullptr;

namespace {

bool matches(const PanelCall *call, const ConnectionPair *pair, dbus_uint32_t serial,
             const char *caller)
{
    return call && caller && call->serial == serial && call->pair == pair &&
           std::strcmp(call->caller, caller) == 0;
}

GList *find_call(const ConnectionPair *pair, dbus_uint32_t serial, const char *caller)
{
    for (GList *link = panel_call_serials; link; link = link->next)
        if (matches(static_cast<const PanelCall *>(link->data), pair, serial, caller))
            return link;
    return nullptr;
}

void drop_link(GList *link)
{
    auto *call = static_cast<PanelCall *>(link->data);
    if (call)
        std::free(call->caller);
    std::free(call);
    panel_call_serials = g_list_delete_link(panel_call_serials, link);
}

} // namespace

int panel_serial_add(const ConnectionPair *pair, dbus_uint32_t serial, const char *caller)
{
    if (!caller)
        return -1;
    auto *call = static_cast<PanelCall *>(std::malloc(sizeof(PanelCall)));
    if (!call)
        return -1;
    call->caller = strdup(caller);
    if (!call->caller) {
        std::free(call);
        return -1;
    }
    call->serial = serial;
    call->pair = pair;
    panel_call_serials = g_list_append(panel_call_serials, call);
    return 0;
}

int panel_serial_contains(const ConnectionPair *pair, dbus_uint32_t serial, const char *caller)
{
    return find_call(pair, serial, caller) ? 1 : 0;
}

void panel_serial_remove(const ConnectionPair *pair, dbus_uint32_t serial, const char *caller)
{
    if (GList *link = find_call(pair, serial, caller))
        drop_link(link);
}

void panel_serial_forget_pair(const ConnectionPair *pair)
{
    GList *link = panel_call_serials;
    while (link) {
        GList *next = link->next;
        if (static_cast<const PanelCall *>(link->data)->pair == pair)
            drop_link(link);
        link = next;
    }
}
