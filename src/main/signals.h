// What the daemon does on SIGTERM, SIGINT, SIGHUP and SIGUSR1.
#pragma once

#include "config/config.h"

#include <glib.h>

// SIGTERM and SIGINT: stop accepting, let the clients receive what is
// queued for them (up to `drain_ms`), then quit `loop`; a second such
// signal quits at once. SIGHUP: reopen the log file. SIGUSR1: write
// every audited client's policy (nothing without an audit). Both `loop` and
// `config` must outlive the loop.
void install_signal_handlers(GMainLoop *loop, ProxyConfig *config, unsigned drain_ms = 2000);

// Raises the soft descriptor limit to the hard one, so that the daemon is
// bounded by what the administrator allows, not by the 1024 default.
void raise_descriptor_limit();
