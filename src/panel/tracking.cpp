#include "log/log.h"
#include "panel/panel.h"
#include "panel/pid_query.h"
#include "panel/records.h"
#include "panel/tracking.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

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
    if (!sender)
        return;
    // Not on pair->server: that connection also carries the client's calls
    // under the client's serials, and a reply to one of them could be taken
    // for the bus's answer here (and the answer passed to the client).
    const int pid = query_connection_pid(
        panel_query_connection(pair->config->use_system_bus ? DBUS_BUS_SYSTEM : DBUS_BUS_SESSION),
        sender);
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
