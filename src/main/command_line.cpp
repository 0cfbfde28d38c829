#include "main/command_line.h"

#include "audit/audit.h"
#include "log/log.h"
#include "main/log_file.h"
#include "policy/policy.h"
#include "util/overrides.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <string>
#include <unistd.h>

namespace {

void print_usage_text(const char *program)
{
    g_printerr("Usage: %s [--system | --session | --address ADDRESS]\n", program);
    g_printerr("        [--family <family>] ipv4|unix\n");
    g_printerr("        [--host <host>]\n");
    g_printerr("        [--bind <bind>]\n");
    g_printerr("        [--port <port>]\n");
    g_printerr("        [--socket <path>]\n");
    g_printerr("        [--namespace <namespace>]\n");
    g_printerr("        [--verbose id]: Set the verbosity level\n");
    g_printerr("        [--trace]: Show dbus message \n");
    g_printerr("\n");
    g_printerr("        [--namespace-lookups]: Show namespaced services under their plain names "
               "to owner lookups, match rules and name signals\n");
    g_printerr("        [--filter]: Restrict what clients may see, call and own\n");
    g_printerr("        [--see=NAME] [--talk=NAME] [--own=NAME]\n");
    g_printerr("        [--call=NAME=RULE] [--broadcast=NAME=RULE]\n");
    g_printerr("        [--policy=FILE]: Read rules from FILE (-FILE: if it exists)\n");
    g_printerr("        [--audit[=FILE]]: Log what each client does, and write the policy "
               "that allows it to FILE (or the log)\n");
    g_printerr("        [--family ipv6]: Listen on TCP over IPv6; --host and --bind may be "
               "IPv6 addresses\n");
    g_printerr("        [--max-queued-bytes=N]: Disconnect the clients that hold the most once "
               "all queues together hold more than N bytes (K, M, G: KiB, MiB, GiB)\n");
    g_printerr("        [--containers DIR]: Serve a container for every NAME.conf in DIR as "
               "well\n");
    g_printerr("        [--version]: Print the version and exit\n");
}

// The usage text, then what was wrong with `arg`.
[[noreturn]] void usage_error(const char *program, const char *arg, const std::string &why)
{
    print_usage_text(program);
    g_printerr("\n%s: %s\n", arg, why.c_str());
    std::exit(1);
}

} // namespace

void print_usage(const char *program, int status)
{
    print_usage_text(program);
    std::exit(status);
}

namespace {

// Chooses the log file for the bus selected so far. Ends the process with
// status 0 when the session log is wanted and the user has no passwd entry.
void choose_log_path(const ProxyConfig *config, char *path, size_t size)
{
    if (config->use_system_bus) {
        std::snprintf(path, size, "%s", "/var/log/tolm-dbus-proxy-sys.log");
        return;
    }
    const struct passwd *pw = getpwuid(getuid());
    if (!pw)
        std::exit(0);
    if (pw->pw_dir)
        std::snprintf(path, size, "%s/.log/tolm-dbus-proxy-sess.log", pw->pw_dir);
    else
        std::snprintf(path, size, "%s", "/tmp/tolm-dbus-proxy-sess.log");
}

void redirect_log(ProxyConfig *config)
{
    char path[1024];
    choose_log_path(config, path, sizeof path);

    int fd = overrides.log_file_open(path);
    if (fd < 0) {
        LOG_WARN("open /tmp/tolm-dbus-proxy-XXX.log failed\n");
        return;
    }
    config->log_fd = fd;
    log_file_remember(path);
    LOG_WARN("open /tmp/tolm-dbus-proxy-XXX.log success\n");
    if (dup2(fd, STDOUT_FILENO) < 0) {
        LOG_WARN("Failed to redirect stdout");
        std::exit(1);
    }
}

// N bytes, or N KiB, MiB or GiB with a K, M or G after it; false when
// malformed, not positive or too large.
bool parse_byte_count(const char *text, long *bytes)
{
    char *end = nullptr;
    errno = 0;
    const long long count = std::strtoll(text, &end, 10);
    if (end == text || errno != 0 || count <= 0)
        return false;
    int shift = 0;
    switch (*end) {
    case 'K':
        shift = 10;
        ++end;
        break;
    case 'M':
        shift = 20;
        ++end;
        break;
    case 'G':
        shift = 30;
        ++end;
        break;
    default:
        break;
    }
    if (*end || count > (LONG_MAX >> shift))
        return false;
    *bytes = static_cast<long>(count) << shift;
    return true;
}

} // namespace

void parse_command_line(int argc, char **argv, ProxyConfig *config)
{
    const char *program = argc > 0 ? argv[0] : "dbus-proxy-daemon";

    struct FlagOption {
        const char *name;
        int *field;
        int value;
    };
    const FlagOption flag_options[] = {
        {"--system", &config->use_system_bus, 1},
        {"--session", &config->use_system_bus, 0},
        {"--namespace-lookups", &config->namespace_lookups, 1},
        {"--trace", &config->trace, 1},
    };
    struct ValueOption {
        const char *name;
        const char **field;
    };
    const ValueOption value_options[] = {
        {"--address", &config->address},
        {"--family", &config->family},
        {"--host", &config->host},
        {"--bind", &config->bind},
        {"--port", &config->port},
        {"--socket", &config->socket_path},
        {"--namespace", &config->namespace_name},
        {"--containers", &config->containers_dir},
    };

    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];

        bool matched = false;
        for (const FlagOption &opt : flag_options) {
            if (std::strcmp(arg, opt.name) == 0) {
                *opt.field = opt.value;
                matched = true;
                break;
            }
        }
        if (matched)
            continue;
        if (std::strcmp(arg, "--version") == 0) {
            std::printf("dbus-proxy-daemon %s\n", DPD_VERSION);
            std::exit(0);
        }
        if (std::strcmp(arg, "--verbose") == 0) {
            if (i + 1 >= argc)
                print_usage(program, 1);
            config->verbose = std::atoi(argv[++i]);
            log_verbosity = static_cast<unsigned int>(config->verbose);
            redirect_log(config);
            continue;
        }

        if (std::strncmp(arg, "--max-queued-bytes=", 19) == 0) {
            if (!parse_byte_count(arg + 19, &overrides.daemon_max_queued_bytes))
                print_usage(program, 1);
            continue;
        }

        if (const int taken = audit_command_line_option(config, arg)) {
            if (taken < 0)
                print_usage(program, 1);
            continue;
        }
        std::string why;
        if (const int taken = policy_command_line_option(config, arg, &why)) {
            if (taken < 0)
                usage_error(program, arg, why.empty() ? "malformed" : why);
            continue;
        }

        for (const ValueOption &opt : value_options) {
            if (std::strcmp(arg, opt.name) != 0)
                continue;
            if (i + 1 >= argc)
                print_usage(program, 1);
            *opt.field = argv[++i];
            matched = true;
            break;
        }
        if (!matched)
            print_usage(program, 1);
    }
    if (policy_command_line_done(config) != 0)
        print_usage(program, 1);
}
