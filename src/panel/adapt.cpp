#include "panel/panel.h"
#include "panel/records.h"

int adapt_panel_reply(ConnectionPair *, DBusMessage *)
{
    return 0;
}

void panel_call_failed(ConnectionPair *pair, DBusMessage *error)
{
    panel_serial_remove(pair, dbus_message_get_reply_serial(error),
                        dbus_message_get_destination(error));
}

void forget_panel_calls(const ConnectionPair *pair)
{
    panel_serial_forget_pair(pair);
}
