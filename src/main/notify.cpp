// One datagram of our own rather than libsystemd's sd_notify: the protocol
// is a single sendto(), and the daemon need not depend on libsystemd (nor
// carry it into containers or non-systemd hosts) for that.
#include "main/notify.h"

#include "log/log.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

void notify_service_manager(const char *state)
{
    const char *path = std::getenv("NOTIFY_SOCKET");
    if (!path || (path[0] != '/' && path[0] != '@'))
        return;
    sockaddr_un address{};
    const size_t length = std::strlen(path);
    if (length >= sizeof address.sun_path) {
        LOG_WARN("NOTIFY_SOCKET is too long: %s\n", path);
        return;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path, length);
    // '@' names an abstract socket: a leading NUL, and no terminating one
    // counted in the length.
    if (path[0] == '@')
        address.sun_path[0] = '\0';
    const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);

    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    if (sendto(fd, state, std::strlen(state), MSG_DONTWAIT | MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr *>(&address), size) < 0) {
        const int error = errno;
        LOG_DEBUG("Cannot notify the service manager (%s): %s\n", state, std::strerror(error));
    }
    close(fd);
}
