// hardware — the appliance's hardware, from standard tools run once: smart_get and smart_scan
// (a disk's SMART data from smartctl, or the FARM log from SeaChest_SMART) and dmidecode (the
// firmware's DMI tables); and the argument rules of those tools.
//
// Threads: stateless; handlers run on their connection's thread.
// Errors: predicates return 1 or 0; smart_device_check returns null, or the refusal.
#pragma once

#include <cstddef>
#include <string_view>

#include "base/sb.h"
#include "wire/errors.h"
#include "wire/request.h"

constexpr size_t SMART_DEVICE_MAX = 63;
constexpr size_t SMART_TYPE_MAX = 23;
constexpr size_t DMI_TYPE_MAX = 15;
constexpr size_t SMART_WORD_MAX = 15;  // "tool" and "log"

// Checks a SMART device name: null when it is acceptable, else the refusal ("EREQ" for an
// empty name, "EBADDEV" for the rest).
const op_err* smart_device_check(const char* dev);
// 1 for a non-empty `-d` type of letters, digits and commas.
int smart_type_ok(const char* type);
// 1 for a non-empty DMI type of letters and digits.
int dmi_type_ok(const char* type);

// Appends the reply result for a smartctl run: the output itself when it starts with '{' and
// is one complete JSON value, else {"text":"<escaped output>"}.
int smart_result_json(std::string_view output, sb_t* out);

op_result op_smart_get(const op_req_t& req);
op_result op_smart_scan(const op_req_t& req);
op_result op_dmidecode(const op_req_t& req);
