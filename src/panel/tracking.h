// Telling whether a GetAll call comes from the host's tray panel.
#pragma once

#include "session/pair.h"

#include <dbus/dbus.h>

// Sends on the bus messages held for `pair` behind a process-id query.
using PanelResumeFn = void (*)(ConnectionPair *pair);

// Looks at `call`, a GetAll addressed to pair->client, and records it when
// it comes from the host's tray panel. 0: decided, relay the call now;
// 1: the bus is being asked who the caller is: hold the call (and whatever
// follows it for this client) until `resume` runs for the pair.
int track_panel_call(ConnectionPair *pair, DBusMessage *call, PanelResumeFn resume);

// Forgets which callers were the panel (for tests and leak checks).
void panel_forget_callers();

// The panel is known by the first bytes of its command line.
inline constexpr char panel_executable[] = "/usr/bin/osra-panel";
inline constexpr int panel_cmdline_size = 256;

// Reads the first word (up to 255 bytes, zero bytes included) of the file at
// `path` into `cmdline`, which holds panel_cmdline_size zeroed bytes.
// 0 when the file was read, -1 when it could not be opened.
int read_process_cmdline(const char *path, char *cmdline);

// How many callers the daemon remembers as panel or not panel; the oldest go
// first. A bus never reuses a unique name while it runs, but a restarted one
// hands them out again: everything is forgotten when the query connection's
// bus goes away.
inline constexpr unsigned panel_caller_memo_size = 4096;
// How many process-id queries were sent: for tests.
extern unsigned long panel_pid_queries;
