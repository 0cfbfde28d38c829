#include "main/daemon.h"

#include "audit/audit.h"
#include "main/command_line.h"
#include "main/containers.h"
#include "main/listener.h"
#include "manage/service.h"
#include "namespace/activation_list.h"
#include "main/notify.h"
#include "main/signals.h"
#include "policy/policy.h"

#include <glib.h>

#include <cstdio>

int run_daemon(int argc, char **argv)
{
    // Log lines must reach a file, pipe or journal socket as they are
    // written, not when a buffer fills or never (the daemon is killed).
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    ProxyConfig options;
    config_init(&options);
    parse_command_line(argc, argv, &options);
    // The command line's listener is a container too: the one of its options.
    ProxyConfig &config = *containers_init(options);
    raise_descriptor_limit();

    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
    // SIGTERM and SIGINT end the loop; returning from here (rather than
    // exiting in a handler) also lets sanitizer builds run the leak check.
    // Installed before listening: whoever sees the socket may signal us.
    install_signal_handlers(loop, &config);
    start_listener(&config);
    // Without a watch, lookups check the list with stat() instead.
    activation_list_watch_init();
    if (config.containers_dir)
        containers_load_dir(config.containers_dir);
    // Owners of the policy's names are known before the first client asks.
    owners_start(&config);
    // Containers on demand: the management interface on the host bus.
    manage_start(&config, ManageBackend{container_add, container_remove, container_find,
                                        containers_for_each, container_of_client});
    // Containers that come and go with their files are announced as well.
    containers_on_change([](const std::string &name, bool added) {
        manage_emit(added ? "ContainerAdded" : "ContainerRemoved", name);
    });
    notify_service_manager("READY=1");
    g_main_loop_run(loop);
    g_main_loop_unref(loop);
    manage_stop();
    audit_finish();
    return 0;
}
