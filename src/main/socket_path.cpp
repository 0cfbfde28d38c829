#include "main/socket_path.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

struct Claimed {
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    bool held = false;
    std::string aside; // where a foreign file waits during the disconnection
};

Claimed claimed;

// Whether a server accepts connections at `path`. The connect does not
// block, and a full backlog still means that someone listens.
bool answers(const char *path, int *error)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof addr.sun_path) {
        *error = ENAMETOOLONG;
        return false;
    }
    std::memcpy(addr.sun_path, path, std::strlen(path));
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *error = errno;
        return false;
    }
    const int result = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    *error = result == 0 ? 0 : errno;
    close(fd);
    return result == 0 || *error == EAGAIN;
}

} // namespace

int socket_path_check(const char *path, std::string *problem)
{
    struct stat st;
    if (lstat(path, &st) != 0)
        return 0; // nothing there, or nothing the bind could use either
    // libdbus removes whatever socket it finds there, following a link: only
    // a socket of this user's that no one serves may be replaced.
    if (S_ISLNK(st.st_mode)) {
        *problem = "a symbolic link is there, not a socket";
        return -1;
    }
    if (!S_ISSOCK(st.st_mode)) {
        *problem = "something other than a socket is there";
        return -1;
    }
    if (st.st_uid != geteuid()) {
        *problem = "the socket there belongs to another user";
        return -1;
    }
    int error = 0;
    if (answers(path, &error)) {
        *problem = "another process is listening on it";
        return -1;
    }
    if (error != ECONNREFUSED && error != ENOENT) {
        *problem = std::string("cannot tell whether it is in use: ") + std::strerror(error);
        return -1;
    }
    return 0;
}

void socket_path_claim(const char *path)
{
    claimed = Claimed{};
    struct stat st;
    if (lstat(path, &st) != 0)
        return;
    claimed.path = path;
    claimed.device = st.st_dev;
    claimed.inode = st.st_ino;
    claimed.held = true;
}

void socket_path_set_aside_foreign()
{
    if (!claimed.held)
        return;
    struct stat st;
    if (lstat(claimed.path.c_str(), &st) != 0 ||
        (st.st_dev == claimed.device && st.st_ino == claimed.inode))
        return;
    const std::string aside = claimed.path + ".aside." + std::to_string(getpid());
    if (rename(claimed.path.c_str(), aside.c_str()) == 0)
        claimed.aside = aside;
}

void socket_path_restore_foreign()
{
    // Put back only onto an empty place: never over what came meanwhile.
    if (!claimed.aside.empty()) {
        if (link(claimed.aside.c_str(), claimed.path.c_str()) == 0 || errno == EEXIST)
            unlink(claimed.aside.c_str());
        else
            rename(claimed.aside.c_str(), claimed.path.c_str());
    }
    claimed = Claimed{};
}
