#include "namespace/activation_list.h"

#include "log/log.h"
#include "namespace/list_watch.h"
#include "util/overrides.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unordered_map>

unsigned long activation_list_reads = 0;
unsigned long activation_list_syscalls = 0;

// The daemon's lists; a container's own list in the same directory is
// watched too when its name ends in one of these, after a '.'.
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

// Whoever can write the list must not make the daemon hold or scan more.
constexpr size_t list_size_limit = 1024 * 1024;

// The list as read into memory, handed out piece by piece as fgets() would
// cut it from the file: at most limit - 1 characters, up to and including a
// newline; the end is noticed only by a read that reaches it.
struct ListText {
    std::string data;
    size_t at = 0;
    bool end = false;
};

bool read_piece(ListText &text, char *buffer, int limit)
{
    int length = 0;
    while (length < limit - 1) {
        if (text.at >= text.data.size()) {
            text.end = true;
            break;
        }
        const char c = text.data[text.at++];
        buffer[length++] = c;
        if (c == '\n')
            break;
    }
    return length > 0;
}

// One WARN line for each file that is refused or cut, not one per lookup.
void warn_once(const char *what, const char *path, const struct stat &st)
{
    static std::string last;
    const std::string key = std::string(what) + path + ':' + std::to_string(st.st_dev) + ':' +
                            std::to_string(st.st_ino);
    if (key == last)
        return;
    last = key;
    LOG_WARN("Activation list %s %s\n", path, what);
}

// What opening a list found.
struct OpenedList {
    bool opened = false; // a regular file, read into `text`
    int error = 0;       // why not, as errno
    bool complete = false; // read to its end (or its first MiB) without error
    struct stat st{};
    ListText text;
};

// Opens without waiting: a FIFO or device in the list's place would block
// the whole daemon in open() or read(). Anything but a regular file counts
// as no list.
OpenedList open_list(const char *path)
{
    OpenedList list;
    ++activation_list_syscalls;
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        list.error = errno;
        return list;
    }
    if (fstat(fd, &list.st) != 0 || !S_ISREG(list.st.st_mode)) {
        list.error = EINVAL;
        warn_once("is not a regular file: no service is namespaced", path, list.st);
        close(fd);
        return list;
    }
    list.opened = true;
    std::string &data = list.text.data;
    data.resize(std::min<size_t>(static_cast<size_t>(list.st.st_size), list_size_limit) + 1);
    size_t length = 0;
    bool failed = false;
    while (length <= list_size_limit) {
        if (length == data.size())
            data.resize(std::min(data.size() * 2, list_size_limit + 1));
        const ssize_t got = read(fd, &data[length], data.size() - length);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            failed = got < 0;
            break;
        }
        length += static_cast<size_t>(got);
    }
    close(fd);
    if (length > list_size_limit) {
        warn_once("is larger than 1 MiB: only its first MiB is read", path, list.st);
        length = list_size_limit;
    }
    data.resize(length);
    list.complete = !failed;
    return list;
}

// Reads `text` piece by piece and hands every piece that has a key to
// `visit(key, line)`, where `line` is the piece as read; stops when `visit`
// returns true. Returns that result, or false at the end.
template <typename Visit>
bool scan_list(ListText &text, const ProxyConfig *config, Visit visit)
{
    // `line` stays as read so that the value can be taken from it; the
    // tokenizer cuts up `work` instead.
    char line[256];
    char work[256];
    while (!text.end) {
        std::memset(line, 0, sizeof line);
        std::memset(work, 0, sizeof work);
        // Nothing read at the end: the buffer holds zeros, and the end
        // indicator ends the loop.
        read_piece(text, line, line_read_limit);
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
    unsigned long path_generation = 0; // of the path it was read from
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};
    std::unordered_map<std::string, std::string> first_value; // key -> value as read
};

ParsedList parsed_list;
// Counts the list paths built, so that the parsed list's path is checked
// by a number rather than a string compare per lookup.
unsigned long list_path_generation = 0;

bool same_time(const timespec &a, const timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// The directory whose watch tells of changes to a list: the daemon's own
// list's, or a container's list that lies there under a watched name
// (containers/record.h); null when only stat() can tell.
struct Watched {
    const char *dir;
    unsigned long path_generation;
};

bool still_current(const ParsedList &list, const char *path, const Watched &watched)
{
    if (!list.valid || list.path_generation != watched.path_generation)
        return false;
    if (list.by_events)
        return watched.dir && list_watch_usable_for(watched.dir) &&
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
bool parse_list(ParsedList &list, const char *path, const ProxyConfig *config,
                const Watched &watched)
{
    list = ParsedList{};
    list.path_generation = watched.path_generation;
    list.by_events = watched.dir && list_watch_usable_for(watched.dir);
    list.generation = list_watch_generation;
    const timespec read_started = now();
    OpenedList opened = open_list(path);
    if (!opened.opened) {
        // Its appearance (or a file in place of what is there) raises an
        // event; other failures (no descriptor left) may pass without one.
        list.valid = list.by_events &&
                     (opened.error == ENOENT || opened.error == ENOTDIR || opened.error == EINVAL);
        return false;
    }
    list.exists = true;
    ++activation_list_reads;
    const struct stat &st = opened.st;
    scan_list(opened.text, config, [&](const char *key, const char *line) {
        list.first_value.try_emplace(key, value_in_line(key, line));
        return false;
    });
    if (!opened.complete)
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

int lookup_parsed(const ProxyConfig *config, ParsedList &parsed, const char *path,
                  const Watched &watched, const char *service, char **value_out)
{
    if (!still_current(parsed, path, watched))
        parse_list(parsed, path, config, watched);
    if (!parsed.exists) {
        LOG_DEBUG("Cannot open activate list %s\n", path);
        return 0;
    }
    auto hit = parsed.first_value.find(service);
    if (hit == parsed.first_value.end())
        return 0;
    return found_value(config, hit->first.c_str(), hit->second.c_str(), service, value_out);
}

} // namespace

namespace {

// The list's path, built again only when the directory or the bus changes.
struct ListPath {
    bool built = false;
    bool system_bus = false;
    std::string dir;
    char path[512];
    bool fits = false;
};

ListPath list_path;

const ListPath &current_list_path(const ProxyConfig *config)
{
    ListPath &cached = list_path;
    const char *dir = overrides.activation_list_dir ? overrides.activation_list_dir : "(null)";
    if (cached.built && cached.system_bus == config->use_system_bus && cached.dir == dir)
        return cached;
    cached.built = true;
    ++list_path_generation;
    cached.system_bus = config->use_system_bus;
    cached.dir = dir;
    std::memset(cached.path, 0, sizeof cached.path);
    const int length = std::snprintf(cached.path, sizeof cached.path, "%s%s", dir,
                                     config->use_system_bus ? "dbus-sys-proxy.list"
                                                            : "dbus-sess-proxy.list");
    // A cut path would name some other file; treat it as no list at all.
    cached.fits = length >= 0 && static_cast<size_t>(length) < sizeof cached.path;
    return cached;
}

} // namespace

// A container's list of its own, at a path that never changes.
struct ActivationListCache {
    ParsedList parsed;
    std::string dir; // its directory, ending in '/', when its name is watched there
};

namespace {

bool is_watched_name(const char *name)
{
    for (const char *const *n = list_names; *n; ++n) {
        const size_t length = std::strlen(name), own = std::strlen(*n);
        if (std::strcmp(name, *n) == 0 ||
            (length > own + 1 && name[length - own - 1] == '.' &&
             std::strcmp(name + length - own, *n) == 0))
            return true;
    }
    return false;
}

ActivationListCache *own_list_cache(ProxyConfig *config)
{
    if (config->activation_list_cache)
        return config->activation_list_cache;
    auto *cache = new ActivationListCache;
    const char *path = config->activation_list_path;
    const char *slash = std::strrchr(path, '/');
    if (slash && is_watched_name(slash + 1))
        cache->dir.assign(path, static_cast<size_t>(slash - path + 1));
    config->activation_list_cache = cache;
    return cache;
}

} // namespace

void activation_list_forget(ProxyConfig *config)
{
    delete config->activation_list_cache;
    config->activation_list_cache = nullptr;
}

int lookup_activation_list(const ProxyConfig *config, const char *service, char **value_out)
{
    const char *path;
    ParsedList *parsed = &parsed_list;
    Watched watched{overrides.activation_list_dir, list_path_generation};
    if (config->activation_list_path) {
        path = config->activation_list_path;
        // The cache is the config's own, though a lookup changes nothing
        // else in it.
        ActivationListCache *cache = own_list_cache(const_cast<ProxyConfig *>(config));
        parsed = &cache->parsed;
        watched = Watched{cache->dir.empty() ? nullptr : cache->dir.c_str(), 0};
    } else {
        const ListPath &cached = current_list_path(config);
        path = cached.path;
        watched.path_generation = list_path_generation;
        if (!cached.fits) {
            LOG_DEBUG("Cannot open activate list %s\n", path);
            return 0;
        }
    }
    if (!config->trace)
        return lookup_parsed(config, *parsed, path, watched, service, value_out);

    // With --trace every lookup reads the file afresh, line by line, so the
    // trace shows each line as it is read.
    OpenedList opened = open_list(path);
    if (!opened.opened) {
        LOG_DEBUG("Cannot open activate list %s\n", path);
        return 0;
    }
    g_print("open activation file list %s succeed\n", path);
    ++activation_list_reads;

    int result = 0;
    scan_list(opened.text, config, [&](const char *key, const char *line) {
        if (std::strcmp(key, service) != 0)
            return false;
        result = found_value(config, key, value_in_line(key, line), service, value_out);
        return true;
    });
    return result;
}
