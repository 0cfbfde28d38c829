#include "main/daemon.h"

#include "main/command_line.h"
#include "main/listener.h"
#include "policy/policy.h"

#include <glib.h>

#include <cstdio>

#ifdef DPD_CLEAN_EXIT
#include <glib-unix.h>
#include <signal.h>

// Sanitizer builds end on SIGTERM through main's return, so that the leak
// checker runs; the daemon itself has no orderly shutdown.
static gboolean quit_loop(gpointer loop)
{
    g_main_loop_quit(static_cast<GMainLoop *>(loop));
    return G_SOURCE_REMOVE;
}
#endif

int run_daemon(int argc, char **argv)
{
    // Log lines must reach a file, pipe or journal socket as they are
    // written, not when a buffer fills or never (the daemon is killed).
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    ProxyConfig config;
    config_init(&config);
    parse_command_line(argc, argv, &config);
    start_listener(&config);

    GMainLoop *loop = g_main_loop_new(nullptr, FALSE);
#ifdef DPD_CLEAN_EXIT
    g_unix_signal_add(SIGTERM, quit_loop, loop);
#endif
    g_main_loop_run(loop);
    g_main_loop_unref(loop);
    policy_config_free(&config);
    return 0;
}
