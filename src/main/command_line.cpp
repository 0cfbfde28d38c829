#include "main/command_line.h"

#include "audit/audit.h"
#include "log/log.h"
#include "main/log_file.h"
#include "policy/policy.h"
#include "util/overrides.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <unistd.h>

void print_usage(const char *program, int status)
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
    g_printerr("        [--containers DIR]: Serve a container for every NAME.conf in DIR as "
               "well\n");
    g_printerr("        [--version]: Print the version and exit\n");
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

        if (const int taken = audit_command_line_option(arg)) {
            if (taken < 0)
                print_usage(program, 1);
            continue;
        }
        if (const int taken = policy_command_line_option(config, arg)) {
            if (taken < 0)
                print_usage(program, 1);
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
