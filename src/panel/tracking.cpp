#include "panel/tracking.h"

#include "log/log.h"
#include "panel/pid_query.h"
#include "panel/records.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

unsigned long panel_pid_queries = 0;

int read_process_cmdline(const char *path, char *cmdline)
{
    if (access(path, F_OK) != 0) {
        // The command-line file does not exist (the process is gone).
        LOG_WARN("[Modify for panel]cmdline文件: %s 打开失败,退出 %s\n", path,
                 std::strerror(errno));
        return -1;
    }
    std::FILE *file = std::fopen(path, "rb");
    if (!file) {
        // The command-line file exists but cannot be opened for reading.
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

namespace {

// Callers already named: unique name -> whether it is the panel, with the
// names in least-recently-used order beside it.
GHashTable *caller_memo = nullptr;   // owned key (the GList's data) -> GList link
GQueue caller_order = G_QUEUE_INIT;  // data: the name, owned; head = most recent

enum : int { CALLER_UNKNOWN = -1, CALLER_OTHER = 0, CALLER_PANEL = 1 };

// The query connection's generation that the remembered verdicts belong to.
unsigned long memo_generation = 0;

// The relay's step that sends the held messages on; the same function on
// every call of track_panel_call.
PanelResumeFn resume_held = nullptr;

// The name's link, moved to the front; null when unknown.
GList *memo_find(const char *caller)
{
    if (!caller_memo)
        return nullptr;
    auto *link = static_cast<GList *>(g_hash_table_lookup(caller_memo, caller));
    if (link) {
        g_queue_unlink(&caller_order, link);
        g_queue_push_head_link(&caller_order, link);
    }
    return link;
}

int memo_lookup(const char *caller)
{
    GList *link = memo_find(caller);
    if (!link)
        return CALLER_UNKNOWN;
    // The verdict is kept in the name's trailing byte after its terminator.
    const char *name = static_cast<const char *>(link->data);
    return name[std::strlen(name) + 1];
}

void memo_store(const char *caller, int verdict)
{
    if (!caller_memo)
        caller_memo = g_hash_table_new(g_str_hash, g_str_equal);
    if (memo_find(caller))
        return;
    const size_t length = std::strlen(caller);
    auto *name = static_cast<char *>(g_malloc(length + 2));
    std::memcpy(name, caller, length + 1);
    name[length + 1] = static_cast<char>(verdict);
    g_queue_push_head(&caller_order, name);
    g_hash_table_insert(caller_memo, name, caller_order.head);
    while (caller_order.length > panel_caller_memo_size) {
        auto *oldest = static_cast<char *>(g_queue_pop_tail(&caller_order));
        g_hash_table_remove(caller_memo, oldest);
        g_free(oldest);
    }
}

bool is_panel_process(int pid)
{
    char path[256];
    char cmdline[panel_cmdline_size];
    std::memset(path, 0, sizeof path);
    std::memset(cmdline, 0, sizeof cmdline);
    std::snprintf(path, sizeof path, "/proc/%d/cmdline", pid);
    if (read_process_cmdline(path, cmdline) != 0)
        return false;
    // The buffer is zero-filled, so a shorter command line differs here too.
    return std::memcmp(cmdline, panel_executable, sizeof panel_executable - 1) == 0;
}

void record_call(ConnectionPair *pair, DBusMessage *call, const char *sender)
{
    const dbus_uint32_t serial = dbus_message_get_serial(call);
    if (panel_record_add(pair, serial, sender) == 0)
        LOG_TRACE("[Modify for panel]: Added serial %u from osra-panel to list\n", serial);
}

void on_pid_answer(DBusPendingCall *pending, void *data)
{
    auto *pair = static_cast<ConnectionPair *>(data);
    const int pid = query_answer_pid(pending);
    dbus_pending_call_unref(pair->pid_query);
    pair->pid_query = nullptr;

    auto *call = static_cast<DBusMessage *>(g_queue_peek_head(&pair->held_from_bus));
    const char *sender = call ? dbus_message_get_sender(call) : nullptr;
    // No answer (the caller left, the bus is slow) is no verdict: the next
    // call from the same name asks again.
    if (sender && pid != -1) {
        const bool panel = is_panel_process(pid);
        memo_store(sender, panel ? CALLER_PANEL : CALLER_OTHER);
        if (panel)
            record_call(pair, call, sender);
    }
    resume_held(pair);
}

} // namespace

int track_panel_call(ConnectionPair *pair, DBusMessage *call, PanelResumeFn resume)
{
    resume_held = resume;
    const char *sender = dbus_message_get_sender(call);
    // Nobody waits for the reply of a call that expects none.
    if (!sender || dbus_message_get_no_reply(call))
        return 0;

    // Not on pair->server: that connection also carries the client's calls
    // under the client's serials, and a reply to one of them could be taken
    // for the bus's answer here (and the answer passed to the client).
    DBusConnection *connection =
        panel_query_connection(pair->config->use_system_bus ? DBUS_BUS_SYSTEM : DBUS_BUS_SESSION);
    if (memo_generation != panel_query_generation) {
        panel_forget_callers();
        memo_generation = panel_query_generation;
    }

    switch (memo_lookup(sender)) {
    case CALLER_PANEL:
        record_call(pair, call, sender);
        return 0;
    case CALLER_OTHER:
        return 0;
    default:
        break;
    }

    pair->pid_query = query_connection_pid(connection, sender, on_pid_answer, pair);
    if (!pair->pid_query)
        return 0;
    ++panel_pid_queries;
    return 1;
}

void panel_forget_callers()
{
    if (caller_memo)
        g_hash_table_destroy(caller_memo);
    caller_memo = nullptr;
    while (void *name = g_queue_pop_head(&caller_order))
        g_free(name);
}
