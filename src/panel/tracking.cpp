#include "log/log.h"
#include "panel/panel.h"
#include "panel/records.h"
#include "panel/tracking.h"
#include "util/dbus_ptr.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

// How long the whole daemon may wait for the bus to name a caller's process.
constexpr int pid_query_timeout_ms = 3000;

} // namespace

int query_connection_pid(DBusConnection *connection, const char *unique_name)
{
    if (!unique_name || !connection)
        return -1;
    MessagePtr query(dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
                                                  DBUS_INTERFACE_DBUS,
                                                  "GetConnectionUnixProcessID"));
    if (!query)
        return -1;
    dbus_message_append_args(query.get(), DBUS_TYPE_STRING, &unique_name, DBUS_TYPE_INVALID);

    DBusPendingCall *raw_pending = nullptr;
    dbus_connection_send_with_reply(connection, query.get(), &raw_pending, pid_query_timeout_ms);
    PendingCallPtr pending(raw_pending);
    dbus_connection_flush(connection);
    if (!pending)
        return -1;

    dbus_pending_call_block(pending.get());
    MessagePtr reply(dbus_pending_call_steal_reply(pending.get()));
    if (!reply)
        return -1;
    int pid = -1;
    dbus_uint32_t value = 0;
    ScopedError error;
    if (dbus_message_get_args(reply.get(), error.get(), DBUS_TYPE_UINT32, &value,
                              DBUS_TYPE_INVALID))
        pid = static_cast<int>(value);
    LOG_TRACE("[Modify for panel]:get osra-panel pid: %d\n", pid);
    return pid;
}

int read_process_cmdline(const char *path, char *cmdline)
{
    if (access(path, F_OK) != 0) {
        LOG_WARN("[Modify for panel]cmdline文件: %s 打开失败,退出 %s\n", path,
                 std::strerror(errno));
        return -1;
    }
    std::FILE *file = std::fopen(path, "rb");
    if (!file) {
        LOG_WARN("[Modify for panel]读取cmdline: %s 文件失败,退出 %s\n", path,
                 std::strerror(errno));
        return -1;
    }
    // One word: the zero bytes between /proc arguments are not white space,
    // so they are read on. An empty file leaves the buffer zeroed.
    if (std::fscanf(file, "%255s", cmdline) != 1)
        cmdline[0] = '\0';
    std::fclose(file);
    return 0;
}

void track_panel_call(ConnectionPair *pair, DBusMessage *call)
{
    char path[256];
    char cmdline[panel_cmdline_size];
    std::memset(path, 0, sizeof path);
    std::memset(cmdline, 0, sizeof cmdline);

    const char *sender = dbus_message_get_sender(call);
    const int pid = query_connection_pid(pair->server, sender);
    if (pid == -1)
        return;
    std::snprintf(path, sizeof path, "/proc/%d/cmdline", pid);
    if (read_process_cmdline(path, cmdline) != 0)
        return;
    // The buffer is zero-filled, so a shorter command line differs here too.
    if (std::memcmp(cmdline, panel_executable, sizeof panel_executable - 1) != 0)
        return;

    const dbus_uint32_t serial = dbus_message_get_serial(call);
    if (panel_serial_add(pair, serial, sender) == 0)
        LOG_TRACE("[Modify for panel]: Added serial %u from osra-panel to list\n", serial);
}
