#include "manage/socket_dir.h"

#include <dbus/dbus.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

std::string runtime_dir(bool system_bus)
{
    if (system_bus) {
        // The service manager's RuntimeDirectory=dbus-proxy-daemon.
        if (const char *given = std::getenv("RUNTIME_DIRECTORY"); given && *given) {
            std::string first = given;
            first = first.substr(0, first.find(':'));
            const size_t slash = first.rfind('/');
            if (slash != std::string::npos && slash > 0)
                return first.substr(0, slash);
        }
        return "/run";
    }
    const char *xdg = std::getenv("XDG_RUNTIME_DIR");
    return xdg && *xdg == '/' ? xdg : "";
}

// A directory of ours that no one else may change: else another user could
// swap the socket for one of their own between listen and chmod.
bool own_directory(const std::string &path, std::string *error)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 022)) {
        *error = path + " is not a directory of the daemon's user closed to others' writes";
        return false;
    }
    return true;
}

bool make_directory(const std::string &path, std::string *error)
{
    if (mkdir(path.c_str(), 0755) == 0) {
        // The service's umask may be stricter.
        if (chmod(path.c_str(), 0755) != 0) {
            *error = path + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }
    if (errno != EEXIST) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    return own_directory(path, error);
}

} // namespace

std::string socket_dir_prepare(bool system_bus, std::string *error)
{
    const std::string base = runtime_dir(system_bus);
    if (base.empty()) {
        *error = "no runtime directory (XDG_RUNTIME_DIR is not set): give a listen address";
        return "";
    }
    const std::string daemon_dir = base + "/dbus-proxy-daemon";
    const std::string dir = daemon_dir + "/containers";
    if (!make_directory(daemon_dir, error) || !make_directory(dir, error))
        return "";
    return dir;
}

std::string socket_dir_path(const std::string &dir, const std::string &name)
{
    return dir + "/" + name + ".sock";
}

std::string socket_dir_address(const std::string &path)
{
    char *escaped = dbus_address_escape_value(path.c_str());
    std::string address = std::string("unix:path=") + (escaped ? escaped : "");
    dbus_free(escaped);
    return address;
}

bool socket_dir_open_up(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && chmod(path.c_str(), 0666) == 0;
}

