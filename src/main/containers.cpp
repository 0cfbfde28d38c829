#include "main/containers.h"

#include "audit/audit.h"
#include "log/log.h"
#include "main/listener.h"
#include "policy/owners.h"
#include "session/pair.h"
#include "session/registry.h"

#include <dirent.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <vector>

namespace {

// Lives as long as the process, like the main loop.
struct ContainerSet {
    std::unique_ptr<Container> command_line;
    std::map<std::string, std::unique_ptr<Container>> by_name;
    // Removed, waiting for their last client's Disconnected.
    std::vector<std::unique_ptr<Container>> retired;
    std::string dir; // --containers; empty: none given
};

ContainerSet set;

void (*on_change)(const std::string &name, bool added) = nullptr;

void changed(const std::string &name, bool added)
{
    if (on_change)
        on_change(name, added);
}

// The owner tracker follows what every policy sees; told after each change.
void policies_changed()
{
    std::vector<const PolicyRules *> policies;
    if (set.command_line && set.command_line->config.policy)
        policies.push_back(set.command_line->config.policy);
    for (const auto &[_, container] : set.by_name)
        if (container->config.policy)
            policies.push_back(container->config.policy);
    owners_track_policies(std::move(policies));
}

gboolean free_retired(gpointer data)
{
    auto *gone = static_cast<Container *>(data);
    std::erase_if(set.retired, [gone](const auto &c) { return c.get() == gone; });
    return G_SOURCE_REMOVE;
}

// The last client of a removed container went. Freed from the loop, not
// here: the pair being freed (and the log line naming the container) may
// still be on the stack.
void on_retired_unused(ProxyConfig *config)
{
    config->on_unused = nullptr;
    g_idle_add(free_retired, config->container);
}

struct CloseClients {
    const ProxyConfig *config;
};

void close_if_of(ConnectionPair *pair, void *data)
{
    if (pair->config == static_cast<CloseClients *>(data)->config)
        pair_close(pair);
}

void close_servers(Container *container)
{
    for (DBusServer *server : container->servers)
        close_container_listener(server);
    container->servers.clear();
}

struct Found {
    const char *unique;
    const Container *container;
};

void find_client(ConnectionPair *pair, void *data)
{
    auto *found = static_cast<Found *>(data);
    if (found->container || !pair->server)
        return;
    const char *unique = dbus_bus_get_unique_name(pair->server);
    if (unique && std::strcmp(unique, found->unique) == 0)
        found->container = pair->config->container;
}

bool is_conf_name(const char *file, std::string *name)
{
    const size_t length = std::strlen(file);
    if (length < 5 || std::strcmp(file + length - 5, ".conf") != 0)
        return false;
    name->assign(file, length - 5);
    return true;
}

// The NAME.conf files of the directory, sorted by name; empty when it does
// not exist (no containers) or cannot be read (a WARN line).
std::vector<std::pair<std::string, std::string>> list_files(const std::string &dir)
{
    std::vector<std::pair<std::string, std::string>> files;
    DIR *d = opendir(dir.c_str());
    if (!d) {
        const int error = errno;
        if (error == ENOENT)
            LOG_DEBUG("No container directory %s: no containers\n", dir.c_str());
        else
            LOG_WARN("Cannot read the container directory %s: %s\n", dir.c_str(),
                     std::strerror(error));
        return files;
    }
    while (const dirent *entry = readdir(d)) {
        std::string name;
        if (is_conf_name(entry->d_name, &name))
            files.emplace_back(name, dir + "/" + entry->d_name);
    }
    closedir(d);
    std::sort(files.begin(), files.end());
    return files;
}

// The record of one file, or null (a WARN line says why).
std::unique_ptr<Container> read_record(const std::string &name, const std::string &path,
                                       const std::string &text, const char *keeping)
{
    auto record = container_new(name, set.command_line->config);
    record->origin = CONTAINER_FILE;
    record->source = text;
    unsigned line = 0;
    std::string why;
    if (container_parse_text(record.get(), text, &line, &why) != 0) {
        LOG_WARN("Container file %s, line %u: %s; %s\n", path.c_str(), line, why.c_str(),
                 keeping);
        return nullptr;
    }
    if (container_finish(record.get(), &why) != 0) {
        LOG_WARN("Container file %s: %s; %s\n", path.c_str(), why.c_str(), keeping);
        return nullptr;
    }
    return record;
}

void add_from_file(std::unique_ptr<Container> record, const std::string &path)
{
    std::string error;
    if (!container_add(std::move(record), &error))
        LOG_WARN("Container file %s: %s; skipped\n", path.c_str(), error.c_str());
}

void load_files(bool reload)
{
    std::set<std::string> present;
    for (const auto &[name, path] : list_files(set.dir)) {
        if (!container_name_valid(name)) {
            LOG_WARN("Container file %s: the name must be letters, digits, '_' and '-', not "
                     "starting with a digit; skipped\n",
                     path.c_str());
            continue;
        }
        present.insert(name);
        auto known = set.by_name.find(name);
        Container *existing = known == set.by_name.end() ? nullptr : known->second.get();
        if (existing && existing->origin != CONTAINER_FILE) {
            LOG_WARN("Container file %s: a container of that name was added by a call; "
                     "skipped\n",
                     path.c_str());
            continue;
        }
        const char *keeping = existing ? "the container stays as it was" : "skipped";
        std::string text, why;
        if (container_read_file(path, &text, &why) != 0) {
            LOG_WARN("Container file %s: %s; %s\n", path.c_str(), why.c_str(), keeping);
            continue;
        }
        if (existing && existing->source == text)
            continue;
        std::unique_ptr<Container> record = read_record(name, path, text, keeping);
        if (!record)
            continue;
        if (existing) {
            LOG_INFO("Container file %s changed: replacing the container\n", path.c_str());
            container_remove(name);
        }
        add_from_file(std::move(record), path);
    }
    if (!reload)
        return;
    std::vector<std::string> gone;
    for (const auto &[name, container] : set.by_name)
        if (container->origin == CONTAINER_FILE && !present.count(name))
            gone.push_back(name);
    for (const std::string &name : gone)
        container_remove(name);
}

} // namespace

ProxyConfig *containers_init(const ProxyConfig &command_line)
{
    set.command_line = container_new("", command_line);
    Container *container = set.command_line.get();
    container->origin = CONTAINER_COMMAND_LINE;
    container->config = command_line;
    container->config.container = container;
    return &container->config;
}

bool container_add(std::unique_ptr<Container> record, std::string *error)
{
    if (!container_name_valid(record->name)) {
        *error = "invalid container name: " + record->name;
        return false;
    }
    if (set.by_name.count(record->name)) {
        *error = "a container named " + record->name + " exists already";
        return false;
    }
    // Its audit starts with it, whoever adds it; ~Container releases it.
    if (record->audit && !record->config.audit) {
        std::string why;
        record->config.audit = audit_open(record->audit_file, &why);
        if (!record->config.audit) {
            *error = "cannot add to the audit's policy file " + record->audit_file + ": " + why;
            return false;
        }
    }
    for (const std::string &address : record->listen) {
        std::string problem;
        DBusServer *server = listen_for_container(&record->config, address, &problem);
        if (!server) {
            close_servers(record.get());
            *error = "cannot listen on " + address + ": " + problem;
            return false;
        }
        record->servers.push_back(server);
    }
    std::string about;
    for (const auto &[key, value] : record->metadata)
        about += (about.empty() ? " (" : ", ") + key + "=" + value;
    if (!about.empty())
        about += ")";
    for (const std::string &address : record->listen)
        LOG_INFO("Container %s%s: listening on %s\n", record->name.c_str(), about.c_str(),
                 address.c_str());
    const ProxyConfig *config = &record->config;
    const std::string name = record->name;
    set.by_name.emplace(name, std::move(record));
    policies_changed();
    // Owners of its policy's names are known before its first client asks.
    owners_start(config);
    changed(name, true);
    return true;
}

bool container_remove(const std::string &name)
{
    auto found = set.by_name.find(name);
    if (found == set.by_name.end())
        return false;
    std::unique_ptr<Container> record = std::move(found->second);
    set.by_name.erase(found);
    close_servers(record.get());
    record->removed = true;
    const unsigned clients = record->config.clients;
    LOG_INFO("Container %s removed: its listeners are closed, %u client(s) disconnected\n",
             name.c_str(), clients);
    if (clients > 0) {
        CloseClients close{&record->config};
        record->config.on_unused = on_retired_unused;
        set.retired.push_back(std::move(record));
        pair_registry_for_each(close_if_of, &close);
    }
    policies_changed();
    changed(name, false);
    return true;
}

void containers_on_change(void (*fn)(const std::string &name, bool added))
{
    on_change = fn;
}

const Container *container_find(const std::string &name)
{
    if (name.empty())
        return set.command_line.get();
    auto found = set.by_name.find(name);
    return found == set.by_name.end() ? nullptr : found->second.get();
}

void containers_for_each(void (*fn)(const Container &container, unsigned clients, void *data),
                         void *data)
{
    if (set.command_line)
        fn(*set.command_line, set.command_line->config.clients, data);
    for (const auto &[_, container] : set.by_name)
        fn(*container, container->config.clients, data);
}

const Container *container_of_client(const char *unique_name)
{
    Found found{unique_name, nullptr};
    if (unique_name && unique_name[0] == ':')
        pair_registry_for_each(find_client, &found);
    return found.container;
}

void containers_load_dir(const char *dir)
{
    set.dir = dir;
    while (set.dir.size() > 1 && set.dir.back() == '/')
        set.dir.pop_back();
    // From now on the owner tracker serves every container's policy.
    policies_changed();
    load_files(false);
}

void containers_reload()
{
    if (set.dir.empty())
        return;
    LOG_INFO("Reading the container directory %s again\n", set.dir.c_str());
    load_files(true);
}

void containers_stop_listening()
{
    for (const auto &[_, container] : set.by_name)
        close_servers(container.get());
}
