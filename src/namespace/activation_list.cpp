#include "namespace/activation_list.h"

#include "log/log.h"
#include "namespace/list_watch.h"
#include "util/overrides.h"

#include <glib.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unordered_map>

unsigned long activation_list_reads = 0;
unsigned long activation_list_syscalls = 0;

static const char *const list_names[] = {"dbus-sys-proxy.list", "dbus-sess-proxy.list", nullptr};

// File times may count whole seconds (ext4 with small inodes) or two
// (FAT), so an edit within that span of a read can leave the times the read
// saw. Only a copy whose times lie 2 s before its read began is safe: any
// later edit then moves a time past what the copy holds.
bool activation_list_copy_trusted(const timespec &modified, const timespec &changed,
                                  const timespec &read_started)
{
    const auto safe = [&](const timespec &t) {
        return t.tv_sec + 2 < read_started.tv_sec ||
               (t.tv_sec + 2 == read_started.tv_sec && t.tv_nsec <= read_started.tv_nsec);
    };
    return safe(modified) && safe(changed);
}

int activation_list_watch_init()
{
    return list_watch_start(overrides.activation_list_dir, list_names);
}

void activation_list_watch_stop()
{
    list_watch_stop();
}

namespace {

// Existing list files rely on this exact reading: a line is read in pieces
// of at most 254 characters, and each piece counts as a line of its own.
constexpr int line_read_limit = 255;

// Reads `file` piece by piece and hands every piece that has a key to
// `visit(key, line)`, where `line` is the piece as read; stops when `visit`
// returns true. Returns that result, or false at the end or a read error.
template <typename Visit>
bool scan_list(FILE *file, const ProxyConfig *config, Visit visit)
{
    // `line` stays as read so that the value can be taken from it; the
    // tokenizer cuts up `work` instead.
    char line[256];
    char work[256];
    while (!std::feof(file) && !std::ferror(file)) {
        std::memset(line, 0, sizeof line);
        std::memset(work, 0, sizeof work);
        if (!std::fgets(line, line_read_limit, file)) {
            // Nothing read, or a read error: the buffer holds what the read
            // left (zeros at least), and the indicators end the loop.
        }
        std::memcpy(work, line, line_read_limit);

        LOG_IF(config->trace, LOG_LEVEL_DEBUG, "file line %s\n", work);

        char *save = nullptr;
        const char *key = strtok_r(work, "=", &save);
        if (key && visit(key, line))
            return true;
    }
    return false;
}

// The value starts at the key's length plus one, counted from the start of
// the line; the buffer is zero-filled past the text.
const char *value_in_line(const char *key, const char *line)
{
    return line + std::strlen(key) + 1;
}

int found_value(const ProxyConfig *config, const char *key, const char *value_text,
                const char *service, char **value_out)
{
    char *value = strdup(value_text);
    if (!value) {
        LOG_DEBUG("parsing activate list for %s failed as oom\n", service);
        return 0;
    }
    LOG_IF(config->verbose, LOG_LEVEL_DEBUG, "service %s is namespaced as %s\n", key, value);
    *value_out = value;
    return 1;
}

// Without --trace nothing shows how the file was read, so an unchanged
// file is not read again: its parsed copy serves until the directory's
// watch reports a change or, without a watch, until stat() reports one.
struct ParsedList {
    bool valid = false;
    bool exists = false;
    // Kept current by the watch's events rather than by stat().
    bool by_events = false;
    unsigned long generation = 0;
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};
    std::unordered_map<std::string, std::string> first_value; // key -> value as read
};

ParsedList parsed_list;

bool same_time(const timespec &a, const timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool still_current(const ParsedList &list, const char *path)
{
    if (!list.valid || list.path != path)
        return false;
    if (list.by_events)
        return list_watch_usable_for(overrides.activation_list_dir) &&
               list.generation == list_watch_generation;
    ++activation_list_syscalls;
    struct stat st;
    return stat(path, &st) == 0 && st.st_dev == list.device && st.st_ino == list.inode &&
           st.st_size == list.size && same_time(st.st_mtim, list.modified) &&
           same_time(st.st_ctim, list.changed);
}

timespec now()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now;
}

// Reads the file into `list`; false when it cannot be opened.
bool parse_list(ParsedList &list, const char *path, const ProxyConfig *config)
{
    list = ParsedList{};
    list.path = path;
    list.by_events = list_watch_usable_for(overrides.activation_list_dir);
    list.generation = list_watch_generation;
    const timespec read_started = now();
    ++activation_list_syscalls;
    FILE *file = std::fopen(path, "rb");
    if (!file) {
        // Its appearance raises an event; other failures (no descriptor
        // left) may pass without one.
        list.valid = list.by_events && (errno == ENOENT || errno == ENOTDIR);
        return false;
    }
    list.exists = true;
    ++activation_list_reads;
    struct stat st;
    const bool have_stat = fstat(fileno(file), &st) == 0;
    scan_list(file, config, [&](const char *key, const char *line) {
        list.first_value.try_emplace(key, value_in_line(key, line));
        return false;
    });
    const bool complete = !std::ferror(file);
    std::fclose(file);
    if (!complete || !have_stat)
        return true;
    if (list.by_events) {
        // The directory's events say nothing of a link's target.
        ++activation_list_syscalls;
        struct stat link;
        list.by_events = lstat(path, &link) == 0 && !S_ISLNK(link.st_mode);
    }
    list.valid = list.by_events ||
                 activation_list_copy_trusted(st.st_mtim, st.st_ctim, read_started);
    list.device = st.st_dev;
    list.inode = st.st_ino;
    list.size = st.st_size;
    list.modified = st.st_mtim;
    list.changed = st.st_ctim;
    return true;
}

int lookup_parsed(const ProxyConfig *config, const char *path, const char *service,
                  char **value_out)
{
    if (!still_current(parsed_list, path))
        parse_list(parsed_list, path, config);
    if (!parsed_list.exists) {
        LOG_DEBUG("Cannot open activate list %s\n", path);
        return 0;
    }
    auto hit = parsed_list.first_value.find(service);
    if (hit == parsed_list.first_value.end())
        return 0;
    return found_value(config, hit->first.c_str(), hit->second.c_str(), service, value_out);
}

} // namespace

int lookup_activation_list(const ProxyConfig *config, const char *service, char **value_out)
{
    char path[512];
    std::memset(path, 0, sizeof path);
    const int length = std::snprintf(path, sizeof path, "%s%s", overrides.activation_list_dir,
                                     config->use_system_bus ? "dbus-sys-proxy.list"
                                                            : "dbus-sess-proxy.list");
    // A cut path would name some other file; treat it as no list at all.
    if (length < 0 || static_cast<size_t>(length) >= sizeof path) {
        LOG_DEBUG("Cannot open activate list %s\n", path);
        return 0;
    }
    if (!config->trace)
        return lookup_parsed(config, path, service, value_out);

    // With --trace every lookup reads the file afresh, line by line, so the
    // trace shows each line as it is read.
    ++activation_list_syscalls;
    FILE *file = std::fopen(path, "rb");
    if (!file) {
        LOG_DEBUG("Cannot open activate list %s\n", path);
        return 0;
    }
    g_print("open activation file list %s succeed\n", path);
    ++activation_list_reads;

    int result = 0;
    scan_list(file, config, [&](const char *key, const char *line) {
        if (std::strcmp(key, service) != 0)
            return false;
        result = found_value(config, key, value_in_line(key, line), service, value_out);
        return true;
    });
    std::fclose(file);
    return result;
}
