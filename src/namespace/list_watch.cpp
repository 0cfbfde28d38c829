#include "namespace/list_watch.h"

#include "loop/loop.h"

#include <sys/inotify.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

unsigned long list_watch_generation = 0;

namespace {

struct ListWatch {
    int fd = -1;
    bool watched = false; // in the loop's epoll set
    std::string dir;
    const char *const *names = nullptr;
    int dir_wd = -1;
    // Each directory on the way to `dir`, as the path is written, with the
    // name in it that the path goes on with: a symbolic link switched to
    // another tree, or a directory replaced, anywhere on the way changes
    // what the path leads to. Down to the nearest one that exists.
    std::vector<std::pair<int, std::string>> path_watches;
    bool usable = false;
};

ListWatch watch;

constexpr uint32_t dir_events = IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_MOVED_TO |
                                IN_MOVED_FROM | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF |
                                IN_ONLYDIR;
constexpr uint32_t path_events = IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE |
                                 IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_MASK_ADD;
constexpr uint32_t gone_events = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT;

// Changes made on another machine raise no events here.
bool remote_filesystem(const char *path)
{
    struct statfs fs;
    if (statfs(path, &fs) != 0)
        return true;
    switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x6969UL:     // NFS
    case 0x517BUL:     // SMB
    case 0xFF534D42UL: // CIFS
    case 0xFE534D42UL: // SMB2
    case 0x65735546UL: // FUSE
    case 0x01021997UL: // 9P
    case 0x00C36400UL: // Ceph
    case 0x6B414653UL: // AFS
    case 0x73757245UL: // Coda
    case 0x01161970UL: // GFS2
    case 0x7461636FUL: // OCFS2
        return true;
    default:
        return false;
    }
}

void drop_watch(int &wd)
{
    if (wd >= 0)
        inotify_rm_watch(watch.fd, wd);
    wd = -1;
}

std::string without_trailing_slashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

bool add_dir_watch()
{
    watch.dir_wd = inotify_add_watch(watch.fd, watch.dir.c_str(), dir_events);
    return watch.dir_wd >= 0;
}

// Watches the directories on the way to `dir`, as far as they exist. False
// when one cannot be watched for another reason than not existing.
bool add_path_watches()
{
    const std::string path = without_trailing_slashes(watch.dir);
    std::string parent = path[0] == '/' ? "/" : ".";
    for (size_t at = 0; at < path.size();) {
        const size_t end = std::min(path.find('/', at), path.size());
        const std::string name = path.substr(at, end - at);
        at = end + 1;
        if (name.empty())
            continue;
        // Several names may lead to one directory: IN_MASK_ADD keeps one
        // watch for it, listed once for each name.
        const int wd = inotify_add_watch(watch.fd, parent.c_str(), path_events);
        if (wd < 0)
            return errno == ENOENT || errno == ENOTDIR;
        watch.path_watches.emplace_back(wd, name);
        parent = parent == "/" ? "/" + name : parent + "/" + name;
        struct stat st;
        if (stat(parent.c_str(), &st) != 0)
            return errno == ENOENT || errno == ENOTDIR; // its making is awaited
    }
    return true;
}

void drop_watches()
{
    drop_watch(watch.dir_wd);
    for (auto &entry : watch.path_watches)
        drop_watch(entry.first);
    watch.path_watches.clear();
}

// (Re)establishes the watches; whatever was read before may be stale.
void arm()
{
    ++list_watch_generation;
    drop_watches();
    watch.usable = false;
    if (!add_path_watches())
        return;
    // The directory may have been made after its parent was looked at.
    if (add_dir_watch())
        watch.usable = !remote_filesystem(watch.dir.c_str());
    else
        watch.usable = errno == ENOENT || errno == ENOTDIR;
}

// One of `names`, or a name ending in '.' and one of them (a container's
// own list beside the daemon's).
bool is_list_name(const char *name)
{
    const size_t length = std::strlen(name);
    for (const char *const *n = watch.names; n && *n; ++n) {
        const size_t own = std::strlen(*n);
        if (std::strcmp(*n, name) == 0 ||
            (length > own + 1 && name[length - own - 1] == '.' &&
             std::strcmp(name + length - own, *n) == 0))
            return true;
    }
    return false;
}

void on_events(void *)
{
    alignas(inotify_event) char buffer[4096];
    bool changed = false;
    bool rearm = false;
    while (true) {
        const ssize_t length = read(watch.fd, buffer, sizeof buffer);
        if (length < 0 && errno == EINTR)
            continue;
        if (length <= 0) {
            if (length < 0 && errno == EAGAIN)
                break;
            // The descriptor broke: nothing can be learnt from it any more.
            list_watch_stop();
            ++list_watch_generation;
            return;
        }
        for (ssize_t at = 0; at < length;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->mask & IN_Q_OVERFLOW) {
                rearm = true;
                continue;
            }
            if (event->wd == watch.dir_wd) {
                if (event->mask & gone_events)
                    rearm = true;
                else if (event->len == 0 || is_list_name(event->name))
                    changed = true; // a list file, or the directory's own access
            }
            for (const auto &[wd, name] : watch.path_watches)
                if (wd == event->wd &&
                    ((event->mask & gone_events) || (event->len > 0 && name == event->name)))
                    rearm = true;
        }
    }
    if (rearm)
        arm();
    else if (changed)
        ++list_watch_generation;
}

} // namespace

int list_watch_start(const char *dir, const char *const *names)
{
    list_watch_stop();
    watch.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch.fd < 0)
        return -1;
    watch.dir = dir;
    watch.names = names;
    arm();
    if (!watch.usable) {
        list_watch_stop();
        return -1;
    }
    watch.watched = loop_watch_fd(watch.fd, on_events, nullptr);
    if (!watch.watched) {
        list_watch_stop();
        return -1;
    }
    return 0;
}

void list_watch_stop()
{
    if (watch.watched)
        loop_unwatch_fd(watch.fd);
    if (watch.fd >= 0)
        close(watch.fd);
    watch = ListWatch{};
    ++list_watch_generation;
}

bool list_watch_usable_for(const char *dir)
{
    return watch.usable && watch.dir == dir;
}
