// Feeds arbitrary list file contents and service names to the reader.
// Input: first line is the service name, the rest is the file.
#include "main/command_line.h"
#include "namespace/activation_list.h"
#include "util/overrides.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

std::string dir;
std::string list_path;
ProxyConfig config;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    char tmpl[] = "/tmp/fuzz-activation-list-XXXXXX";
    if (!mkdtemp(tmpl))
        std::abort();
    dir = std::string(tmpl) + "/";
    list_path = dir + "dbus-sess-proxy.list";
    overrides.activation_list_dir = dir.c_str();
    config_init(&config);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string input(reinterpret_cast<const char *>(data), size);
    size_t newline = input.find('\n');
    if (newline == std::string::npos)
        return 0;
    std::string service = input.substr(0, newline);
    if (service.find('\0') != std::string::npos)
        return 0;

    FILE *f = std::fopen(list_path.c_str(), "wb");
    if (!f)
        std::abort();
    std::fwrite(input.data() + newline + 1, 1, size - newline - 1, f);
    std::fclose(f);

    config.trace = (size & 1) != 0;
    char *value = nullptr;
    if (lookup_activation_list(&config, service.c_str(), &value) == 1) {
        // The value is a C string taken from the line as read.
        if (std::strlen(value) > 255)
            std::abort();
        std::free(value);
    } else if (value) {
        std::abort();
    }
    return 0;
}
