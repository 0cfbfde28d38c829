// The log file chosen by --verbose, kept so that it can be reopened after
// logrotate moved it away.
#pragma once

#include "config/config.h"

// Records the path that standard output was redirected to.
void log_file_remember(const char *path);

// Opens the remembered path afresh and puts it on standard output in place
// of the old file. Does nothing when the log was not redirected; on failure
// a WARN line, and the old file stays in use.
void log_file_reopen(ProxyConfig *config);
