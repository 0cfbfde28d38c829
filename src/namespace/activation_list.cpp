#include "namespace/activation_list.h"

#include "log/log.h"

#include <glib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef DPD_ACTIVATION_LIST_DIR
#error "DPD_ACTIVATION_LIST_DIR must name the directory of the activation lists"
#endif

const char *activation_list_dir = DPD_ACTIVATION_LIST_DIR;

namespace {

// Existing list files rely on this exact reading: a line is read in pieces
// of at most 254 characters, and each piece counts as a line of its own.
constexpr int line_read_limit = 255;

} // namespace

int lookup_activation_list(const ProxyConfig *config, const char *service, char **value_out)
{
    char path[512];
    std::memset(path, 0, sizeof path);
    const int length = std::snprintf(path, sizeof path, "%s%s", activation_list_dir,
                                     config->use_system_bus ? "dbus-sys-proxy.list"
                                                            : "dbus-sess-proxy.list");
    // A cut path would name some other file; treat it as no list at all.
    FILE *file = length >= 0 && static_cast<size_t>(length) < sizeof path ? std::fopen(path, "rb")
                                                                          : nullptr;
    if (!file) {
        LOG_DEBUG("Cannot open activate list %s\n", path);
        return 0;
    }
    if (config->trace)
        g_print("open activation file list %s succeed\n", path);

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
        if (!key || std::strcmp(key, service) != 0)
            continue;

        // The value starts at the key's length plus one, counted from the
        // start of the line; both buffers are zero-filled past the text.
        char *value = strdup(line + std::strlen(key) + 1);
        if (!value) {
            LOG_DEBUG("parsing activate list for %s failed as oom\n", service);
            std::fclose(file);
            return 0;
        }
        if (config->verbose && log_enabled(LOG_LEVEL_DEBUG))
            log_write(LOG_LEVEL_DEBUG, "service %s is namespaced as %s\n", key, value);
        *value_out = value;
        std::fclose(file);
        return 1;
    }
    std::fclose(file);
    return 0;
}
