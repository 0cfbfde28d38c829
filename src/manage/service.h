// The management interface on the daemon's own host-bus connection
// (session/query_bus.cpp): owns org.dbusproxydaemon.Containers1 and serves
// /org/dbusproxydaemon/Containers1, on every connection that the query bus
// opens, so that the name is owned again after the bus restarts.
#pragma once

#include "config/config.h"

#include <memory>
#include <string>

struct Container;

inline constexpr const char *manage_bus_name = "org.dbusproxydaemon.Containers1";
inline constexpr const char *manage_path = "/org/dbusproxydaemon/Containers1";
inline constexpr const char *manage_interface = "org.dbusproxydaemon.Containers1";
inline constexpr const char *manage_not_a_container =
    "org.dbusproxydaemon.Containers1.Error.NotAContainer";

// What the daemon's containers offer the interface (main/containers.h);
// main fills it in, which keeps this folder below main.
struct ManageBackend {
    bool (*add)(std::unique_ptr<Container> record, std::string *error);
    bool (*remove)(const std::string &name);
    const Container *(*find)(const std::string &name);
    void (*for_each)(void (*fn)(const Container &container, unsigned clients, void *data),
                     void *data);
    const Container *(*of_client)(const char *unique_name);
};

// Opens the query bus if need be, owns the name and serves the object from
// now on. `daemon` (the command line's settings) outlives the loop.
void manage_start(const ProxyConfig *daemon, const ManageBackend &backend);
// At exit: drops the calls still waiting for the bus.
void manage_stop();

// Emits ContainerAdded or ContainerRemoved on the current connection, if
// there is one.
void manage_emit(const char *member, const std::string &name);
