#include "containers/record.h"

#include "audit/audit.h"
#include "namespace/activation_list.h"
#include "policy/options.h"
#include "policy/parse.h"
#include "util/overrides.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// A container file is a few lines; whoever can write the directory must not
// make the daemon hold more.
constexpr size_t file_size_limit = 64 * 1024;
// Every path set here ends up in a fixed buffer: the list's path in one of
// 512 bytes, the icon text (prefix and icon) in another.
constexpr size_t path_limit = 511;
constexpr size_t prefix_limit = 255;

const char *const policy_kinds[] = {"see", "talk", "own", "call", "broadcast"};

std::string trim(const std::string &s)
{
    const char *blank = " \t\r\n\f\v";
    const size_t first = s.find_first_not_of(blank);
    if (first == std::string::npos)
        return "";
    return s.substr(first, s.find_last_not_of(blank) - first + 1);
}

bool is_policy_kind(const std::string &key)
{
    for (const char *kind : policy_kinds)
        if (key == kind)
            return true;
    return false;
}

// A text that goes into a message or a log line as it is.
bool printable_utf8(const std::string &text)
{
    if (!g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr))
        return false;
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f)
            return false;
    return true;
}

int fail(std::string *why, std::string reason)
{
    *why = std::move(reason);
    return -1;
}

int set_once(std::string *field, bool *given, const std::string &key, const std::string &value,
             std::string *why)
{
    if (*given)
        return fail(why, key + " is given twice");
    if (value.empty())
        return fail(why, key + " needs a value");
    *field = value;
    *given = true;
    return 0;
}

int check_listen(const std::string &address, std::string *why)
{
    DBusAddressEntry **entries = nullptr;
    int count = 0;
    DBusError error;
    dbus_error_init(&error);
    if (!dbus_parse_address(address.c_str(), &entries, &count, &error)) {
        std::string reason = "invalid listen address " + address + ": " +
                             (error.message ? error.message : "");
        dbus_error_free(&error);
        return fail(why, reason);
    }
    std::string reason;
    const char *method = count == 1 ? dbus_address_entry_get_method(entries[0]) : "";
    if (count != 1)
        reason = "one address per listen line: " + address;
    else if (std::strcmp(method, "unix") == 0) {
        if (!dbus_address_entry_get_value(entries[0], "path"))
            reason = "a unix listen address needs path=: " + address;
    } else if (std::strcmp(method, "tcp") == 0) {
        if (!dbus_address_entry_get_value(entries[0], "port"))
            reason = "a tcp listen address needs port=: " + address;
    } else {
        reason = "listen takes unix: or tcp: addresses: " + address;
    }
    dbus_address_entries_free(entries);
    return reason.empty() ? 0 : fail(why, reason);
}

bool seen(const std::vector<std::string> &list, const std::string &item)
{
    for (const std::string &known : list)
        if (known == item)
            return true;
    return false;
}

} // namespace

Container::~Container()
{
    audit_release(config.audit);
    policy_config_free(&config);
    activation_list_forget(&config);
    g_list_free(config.owned_names);
}

std::unique_ptr<Container> container_new(const std::string &name, const ProxyConfig &daemon)
{
    auto container = std::make_unique<Container>();
    container->name = name;
    config_init(&container->config);
    container->config.use_system_bus = daemon.use_system_bus;
    container->config.verbose = daemon.verbose;
    container->config.trace = daemon.trace;
    container->config.container = container.get();
    return container;
}

bool container_name_valid(const std::string &name)
{
    if (name.empty() || name.size() > 64 || g_ascii_isdigit(name[0]))
        return false;
    for (char c : name)
        if (!g_ascii_isalnum(c) && c != '_' && c != '-')
            return false;
    return true;
}

int container_apply_setting(Container *c, const std::string &key, const std::string &value,
                            std::string *why)
{
    if (!printable_utf8(value))
        return fail(why, key + ": the value holds control characters or is not UTF-8");
    if (key == "listen") {
        if (check_listen(value, why) != 0)
            return -1;
        if (seen(c->listen, value))
            return fail(why, "listen is given twice for " + value);
        c->listen.push_back(value);
        return 0;
    }
    if (key == "namespace") {
        bool given = !c->namespace_name.empty();
        if (set_once(&c->namespace_name, &given, key, value, why) != 0)
            return -1;
        // It ends bus names: "org.example.App." followed by it must be one.
        if (!dbus_validate_bus_name(("x." + value).c_str(), nullptr) || value[0] == '.' ||
            g_ascii_isdigit(value[0])) {
            c->namespace_name.clear();
            return fail(why, "invalid namespace: " + value);
        }
        return 0;
    }
    if (key == "activation-list" || key == "panel-prefix") {
        std::string *field = key == "activation-list" ? &c->activation_list : &c->panel_prefix;
        bool given = !field->empty();
        if (set_once(field, &given, key, value, why) != 0)
            return -1;
        if (value[0] != '/' || value.size() > (field == &c->panel_prefix ? prefix_limit
                                                                           : path_limit)) {
            field->clear();
            return fail(why, key + " needs an absolute path of at most " +
                                 std::to_string(field == &c->panel_prefix ? prefix_limit
                                                                          : path_limit) +
                                 " bytes: " + value);
        }
        return 0;
    }
    if (key == "lookups") {
        if (!value.empty())
            return fail(why, "lookups takes no value");
        if (c->lookups)
            return fail(why, "lookups is given twice");
        c->lookups = true;
        return 0;
    }
    if (key == "audit") {
        if (c->audit)
            return fail(why, "audit is given twice");
        c->audit = true;
        c->audit_file = value;
        return 0;
    }
    if (key == "max-clients" || key == "max-queued-bytes") {
        const bool clients = key == "max-clients";
        bool given = clients ? c->max_clients != 0 : c->max_queued_bytes != 0;
        if (given)
            return fail(why, key + " is given twice");
        // A count, not an expression: digits only, at least 1.
        const long ceiling = clients ? 1000000L : 1L << 40;
        long n = 0;
        for (char digit : value) {
            if (!g_ascii_isdigit(digit) || n > ceiling)
                return fail(why, key + " needs a whole number from 1 to " +
                                     std::to_string(ceiling) + ": " + value);
            n = n * 10 + (digit - '0');
        }
        if (value.empty() || n < 1 || n > ceiling)
            return fail(why, key + " needs a whole number from 1 to " + std::to_string(ceiling) +
                                 ": " + value);
        if (clients)
            c->max_clients = static_cast<unsigned>(n);
        else
            c->max_queued_bytes = n;
        return 0;
    }
    if (key == "metadata") {
        const size_t eq = value.find('=');
        if (eq == std::string::npos || eq == 0)
            return fail(why, "metadata needs KEY=VALUE: " + value);
        const std::string name = trim(value.substr(0, eq));
        for (const auto &entry : c->metadata)
            if (entry.first == name)
                return fail(why, "metadata " + name + " is given twice");
        c->metadata.emplace_back(name, trim(value.substr(eq + 1)));
        return 0;
    }
    if (key == "filter") {
        if (!value.empty())
            return fail(why, "filter takes no value");
        c->filter = true;
        return 0;
    }
    if (is_policy_kind(key)) {
        if (value.empty() || value.find_first_of(" \t") != std::string::npos)
            return fail(why, key + " takes one NAME or NAME=RULE");
        if (!c->config.policy)
            c->config.policy = new PolicyRules;
        if (policy_add_rule(c->config.policy, key.c_str(), value.c_str(), why) != 0)
            return -1;
        c->filter = true;
        c->policy_lines.push_back(key + " " + value);
        return 0;
    }
    return fail(why, "unknown setting: " + key);
}

int container_parse_text(Container *container, const std::string &text, unsigned *line,
                         std::string *why)
{
    unsigned number = 0;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string raw = text.substr(at, end - at);
        at = end + 1;
        ++number;
        std::string content = trim(raw);
        if (content.empty() || content[0] == '#')
            continue;
        const size_t blank = content.find_first_of(" \t");
        const std::string key = content.substr(0, blank);
        std::string value = blank == std::string::npos ? "" : trim(content.substr(blank));
        // Free text may hold '#'; no address, name, path or rule does.
        if (key != "metadata")
            value = trim(value.substr(0, value.find('#')));
        if (container_apply_setting(container, key, value, why) != 0) {
            *line = number;
            return -1;
        }
    }
    return 0;
}

std::string container_default_list(const std::string &name, bool system_bus)
{
    const char *dir = overrides.activation_list_dir ? overrides.activation_list_dir : "";
    return std::string(dir) + name +
           (system_bus ? ".dbus-sys-proxy.list" : ".dbus-sess-proxy.list");
}

int container_finish(Container *c, std::string *why)
{
    if (c->listen.empty())
        return fail(why, "no listen address");
    if (c->namespace_name.empty())
        c->namespace_name = c->name;
    if (c->activation_list.empty())
        c->activation_list = container_default_list(c->name, c->config.use_system_bus);
    if (c->activation_list.size() > path_limit)
        return fail(why, "the activation list's path is too long: " + c->activation_list);
    ProxyConfig &config = c->config;
    config.container_name = c->name.c_str();
    config.namespace_name = c->namespace_name.c_str();
    config.activation_list_path = c->activation_list.c_str();
    config.panel_prefix = c->panel_prefix.empty() ? nullptr : c->panel_prefix.c_str();
    config.namespace_lookups = c->lookups ? 1 : 0;
    config.max_clients = c->max_clients ? c->max_clients : container_default_max_clients;
    config.max_queued_bytes =
        c->max_queued_bytes ? c->max_queued_bytes : overrides.daemon_max_queued_bytes / 2;
    if (c->filter && !config.policy)
        config.policy = new PolicyRules; // nothing but the bus
    if (config.policy)
        policy_set_namespace(config.policy, config.namespace_name);
    return 0;
}

int container_read_file(const std::string &path, std::string *text, std::string *why)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return fail(why, std::strerror(errno));
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return fail(why, "not a regular file");
    }
    text->clear();
    char buffer[4096];
    while (true) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            const int error = errno;
            close(fd);
            return fail(why, std::strerror(error));
        }
        if (got == 0)
            break;
        text->append(buffer, static_cast<size_t>(got));
        if (text->size() > file_size_limit) {
            close(fd);
            return fail(why, "larger than 64 KiB");
        }
    }
    close(fd);
    return 0;
}
