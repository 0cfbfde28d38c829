// One container of the daemon: the settings its clients live under, read
// from a container file (NAME.conf) or given by a caller, and what the
// daemon keeps for it while it runs (main/containers.h).
#pragma once

#include "config/config.h"

#include <dbus/dbus.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

enum ContainerOrigin {
    CONTAINER_COMMAND_LINE, // the listener of the command-line options
    CONTAINER_FILE,         // NAME.conf in the --containers directory
    CONTAINER_CALL,         // added by a caller of container_add
};

struct Container {
    std::string name; // empty for the command line's
    ContainerOrigin origin = CONTAINER_FILE;
    // What its clients point at (pair->config); its strings point into the
    // fields below once container_finish() ran. Not copied or moved after.
    ProxyConfig config{};

    // The settings as given.
    std::vector<std::string> listen;       // D-Bus server addresses
    std::string namespace_name;            // empty: the container's name
    std::string activation_list;           // empty: container_default_list()
    std::string panel_prefix;              // empty: panel_icon_prefix
    bool lookups = false;                  // as --namespace-lookups
    // `audit [FILE]`: container_add opens it as config.audit.
    bool audit = false;
    std::string audit_file;                // empty: the log
    // Its share of the daemon's bounds; 0: the default (container_finish).
    unsigned max_clients = 0;
    long max_queued_bytes = 0;
    std::vector<std::pair<std::string, std::string>> metadata; // in file order
    bool filter = false;                   // a policy line or `filter` was given
    std::vector<std::string> policy_lines; // "KIND ARG", as given
    // The file's text, to tell at reload whether it changed.
    std::string source;

    // While it runs.
    std::vector<DBusServer *> servers;
    bool removed = false; // no longer listed; freed when its last client is gone

    Container() = default;
    Container(const Container &) = delete;
    Container &operator=(const Container &) = delete;
    ~Container();
};

// A container with the daemon's process-wide settings (`daemon`: bus,
// verbosity, trace) and nothing else set yet.
std::unique_ptr<Container> container_new(const std::string &name, const ProxyConfig &daemon);

// Clients a container may have at once when its file names no max-clients.
// Its share of queued bytes defaults to half the daemon's bound.
constexpr unsigned container_default_max_clients = 256;

// Letters, digits, '_' and '-', not starting with a digit, 1 to 64 bytes.
bool container_name_valid(const std::string &name);

// Applies one setting, as a line of a container file has it ("listen",
// "unix:path=/run/c1.sock"); `value` is empty for settings without one.
// The policy kinds (see, talk, own, call, broadcast) and "filter" turn
// filtering on. 0, or -1 with the reason in `why`.
int container_apply_setting(Container *container, const std::string &key,
                            const std::string &value, std::string *why);

// Applies the settings of a container file's text, one per line; blank
// lines and those starting with '#' are skipped, and a '#' ends any other
// line except a metadata line. -1 with the 1-based line and the reason.
int container_parse_text(Container *container, const std::string &text, unsigned *line,
                         std::string *why);

// Fills in the defaults and the config's pointers; the record is complete.
// -1 with the reason when it lacks something (no listen address).
int container_finish(Container *container, std::string *why);

// Where a container's own activation list is looked for when its file
// names none: NAME.dbus-sess-proxy.list (or NAME.dbus-sys-proxy.list with
// --system) beside the daemon's lists, where their watch sees it too.
std::string container_default_list(const std::string &name, bool system_bus);

// Reads DIR/FILE (a regular file of at most 64 KiB, never waiting on a FIFO
// or device) into `text`; -1 with the reason.
int container_read_file(const std::string &path, std::string *text, std::string *why);
