#include "config/config.h"

#include <cstring>

void config_init(ProxyConfig *config)
{
    std::memset(config, 0, sizeof *config);
    config->use_system_bus = 0;
    config->namespace_name = "docker";
    config->owned_names = nullptr;
    config->log_fd = -1;
}

void config_client_came(ProxyConfig *config)
{
    ++config->clients;
}

void config_client_left(ProxyConfig *config)
{
    if (config->clients > 0)
        --config->clients;
    if (config->clients == 0 && config->on_unused)
        config->on_unused(config);
}
