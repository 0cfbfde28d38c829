// A connection pair for fuzz targets whose connections go nowhere.
#pragma once

#include "relay/accept.h"
#include "session/pair.h"

#include <dbus/dbus.h>

#include <cstdlib>

// Both connections lead to a server nobody dispatches: they never
// authenticate, so whatever is sent on them just waits in their outgoing
// queues. The pair (and the server, whose listen backlog the unaccepted
// connections fill) is renewed every few hundred inputs to drop that.
class SinkPair {
public:
    explicit SinkPair(ProxyConfig *config) : config_(config) {}

    ConnectionPair *get()
    {
        if (!pair_ || ++uses_ % 256 == 0)
            renew();
        return pair_;
    }

private:
    DBusConnection *open_connection()
    {
        char *address = dbus_server_get_address(server_);
        DBusConnection *c = dbus_connection_open_private(address, nullptr);
        dbus_free(address);
        if (!c)
            std::abort();
        return c;
    }

    void renew()
    {
        if (pair_)
            pair_free(pair_);
        if (server_) {
            dbus_server_disconnect(server_);
            dbus_server_unref(server_);
        }
        server_ = dbus_server_listen("unix:tmpdir=/tmp", nullptr);
        if (!server_)
            std::abort();
        DBusConnection *client = open_connection();
        pair_ = pair_new(client);
        dbus_connection_unref(client);
        pair_->server = open_connection();
        pair_->config = config_;
        pair_->state = PAIR_READY;
        pair_->hello_done = 1;
        // Hello is answered with the private connection's unique name.
        dbus_bus_set_unique_name(pair_->server, ":1.42");
    }

    ProxyConfig *config_;
    DBusServer *server_ = nullptr;
    ConnectionPair *pair_ = nullptr;
    int uses_ = 0;
};
