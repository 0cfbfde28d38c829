// Learning of changes to the activation lists from the kernel (inotify on
// their directory), so that an unchanged list costs no system call.
#pragma once

// Grows whenever the watched directory may have changed a list file (an
// event for one of `names`, the directory itself removed, moved or
// re-created, a lost event). A parsed copy read at one value is current as
// long as the value stays and list_watch_usable_for() holds.
extern unsigned long list_watch_generation;

// Watches `dir` for changes to the files `names` (null-terminated, kept by
// pointer) and to files whose names end in '.' and one of `names`, and every directory on the way to it, as the path is written,
// for the name the path goes on with: a symbolic link on the way switched,
// or a directory replaced, is a change too. Events are handled on the
// default context's loop before the messages read with them are dispatched
// (loop_watch_fd), so that an event queued before a client's message is
// handled before that message. 0 when watching; -1 when the system cannot
// tell (no inotify, watch limit, remote filesystem): callers then check the
// files themselves.
int list_watch_start(const char *dir, const char *const *names);
void list_watch_stop();

// Whether events for `dir` are being received and can be relied on.
bool list_watch_usable_for(const char *dir);
