// Telling the service manager how the daemon is doing (Type=notify).
#pragma once

// Sends `state` ("READY=1", "STOPPING=1", ...) to $NOTIFY_SOCKET; nothing
// when it is not set. Never waits: a full or absent socket loses the line.
void notify_service_manager(const char *state);
