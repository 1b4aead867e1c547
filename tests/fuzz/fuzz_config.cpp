// Whole configuration files through the loader (start-up and reload), then the checks and the
// generated file text built on the record they give.
#include "base/sb.h"
#include "config/config.h"
#include "config/config_file.h"
#include "config/presets.h"
#include "fuzz_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz_memfile file;
    fuzz_sink_fd();  // quiets the log
    file.set(data, size);
    config_load(file.path());
    config_reload(file.path());
    cfg_snapshot_t c = g_cfg.load();
    for (const cfg_allow_t* a : {&c->ops_enabled, &c->paths_fio, &c->paths_read_file, &c->exec_binaries})
        if (a->n < 0 || a->n > CFG_ALLOW_MAX_ENTRIES || (a->mode != CFG_ALLOW_LIST && a->n != 0)) abort();
    cfg_allow_check(&c->paths_read_file, "/var/log/messages");
    cfg_allow_exact(&c->exec_binaries, "ls");
    config_op_enabled(c.get(), "ping");
    config_level(c.get());
    char text[4096];
    config_serialize(c.get(), text, sizeof text);
    sb_t json;
    build_config_json(&json, c.get());
    return 0;
}
