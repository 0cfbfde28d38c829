#include "namespace/activation_list.h"

#include "log/log.h"

#include <glib.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unordered_map>

#ifndef DPD_ACTIVATION_LIST_DIR
#error "DPD_ACTIVATION_LIST_DIR must name the directory of the activation lists"
#endif

const char *activation_list_dir = DPD_ACTIVATION_LIST_DIR;
unsigned long activation_list_reads = 0;

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

        if (config->trace && log_enabled(LOG_LEVEL_DEBUG))
            log_write(LOG_LEVEL_DEBUG, "file line %s\n", work);

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
    if (config->verbose && log_enabled(LOG_LEVEL_DEBUG))
        log_write(LOG_LEVEL_DEBUG, "service %s is namespaced as %s\n", key, value);
    *value_out = value;
    return 1;
}

// Without --trace nothing shows how the file was read, so an unchanged
// file is not read again: its parsed copy serves until stat() reports any
// change. Edits still take effect at the next lookup.
struct ParsedList {
    bool valid = false;
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
    struct stat st;
    return list.valid && list.path == path && stat(path, &st) == 0 && st.st_dev == list.device &&
           st.st_ino == list.inode && st.st_size == list.size &&
           same_time(st.st_mtim, list.modified) && same_time(st.st_ctim, list.changed);
}

// File times come from the kernel's coarse clock, so a change made in the
// same tick as the read would leave the times as they were. The copy is
// only kept when the file's last change came in an earlier tick than the
// read: every later change then moves its change time past the copy's.
timespec coarse_now()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return now;
}

bool earlier(const timespec &a, const timespec &b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// Reads the file into `list`; false when it cannot be opened.
bool parse_list(ParsedList &list, const char *path, const ProxyConfig *config)
{
    list.valid = false;
    list.first_value.clear();
    const timespec read_started = coarse_now();
    FILE *file = std::fopen(path, "rb");
    if (!file)
        return false;
    ++activation_list_reads;
    struct stat st;
    const bool have_stat = fstat(fileno(file), &st) == 0;
    scan_list(file, config, [&](const char *key, const char *line) {
        list.first_value.try_emplace(key, value_in_line(key, line));
        return false;
    });
    const bool complete = !std::ferror(file);
    std::fclose(file);
    if (complete && have_stat && earlier(st.st_ctim, read_started) &&
        earlier(st.st_mtim, read_started)) {
        list.valid = true;
        list.path = path;
        list.device = st.st_dev;
        list.inode = st.st_ino;
        list.size = st.st_size;
        list.modified = st.st_mtim;
        list.changed = st.st_ctim;
    }
    return true;
}

int lookup_parsed(const ProxyConfig *config, const char *path, const char *service,
                  char **value_out)
{
    if (!still_current(parsed_list, path) && !parse_list(parsed_list, path, config)) {
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
    const int length = std::snprintf(path, sizeof path, "%s%s", activation_list_dir,
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
