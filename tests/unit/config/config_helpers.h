// The record the configuration file and level tests start from: the defaults with a socket of its own.
#pragma once

#include <cstring>
#include <memory>

#include "config/config.h"

inline std::unique_ptr<vornd_config_t> base_record() {
    auto c = std::make_unique<vornd_config_t>();
    config_set_defaults(c.get());
    strcpy(c->socket_path, "/run/v.sock");
    c->socket_mode = 0660;
    return c;
}
