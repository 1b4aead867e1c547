// config — the configuration operations: config_get reports the live record as JSON;
// config_apply sets a level or replaces single lists, writes the configuration file
// atomically and reloads the daemon from it.
//
// The file written is one the loader reads back whole (config_file.h): a request that would
// need anything else is refused, and nothing is written.
// Threads: config_apply calls run one at a time and never during a SIGHUP reload
// (g_cfg_reload_mu); config_get takes a snapshot.
#pragma once

#include "wire/request.h"

op_result op_config_get(const op_req_t& req);
op_result op_config_apply(const op_req_t& req);
