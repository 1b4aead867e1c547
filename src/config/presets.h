// presets — the security levels "dev", "safe" and "locked": setting them, recognising a
// record's level, and the rule that keeps an operation list reversible.
//
// A level is no stored value: it is a fixed setting of the seven allow-lists. Levels never
// touch the socket fields, the token fields or config_path.
// Threads: pure functions over records the caller owns.
#pragma once

#include "config/config.h"

// "ping", "info", "config_get", "config_apply": what an operation list keeps so that a
// client can always change the configuration back.
constexpr int PRESET_ALWAYS_COUNT = 4;
extern const char* const PRESET_ALWAYS_OPS[PRESET_ALWAYS_COUNT];
// The 20 operations of level "safe", in the order the level stores them.
constexpr int SAFE_OPS_COUNT = 20;
extern const char* const SAFE_OPS[SAFE_OPS_COUNT];

// Writes the setting of level "dev", "safe" or "locked" (exact, case-sensitive) into `*c` and
// returns 0; -1 for any other name, `*c` unchanged.
int config_preset(vornd_config_t* c, const char* level);
// "dev", "safe", "locked" when the seven lists equal that level's setting entry for entry and
// in order, else "custom". Static strings.
const char* config_level(const vornd_config_t* c);
// Appends each name of PRESET_ALWAYS_OPS that a LIST lacks, while it has room. ALL and NONE
// lists are left as they are: NONE stays closed, these four included.
void config_enforce_reversible(cfg_allow_t* ops);
