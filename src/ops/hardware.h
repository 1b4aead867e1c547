// hardware — the appliance's hardware, from standard tools run once: smart_get and smart_scan
// (a disk's SMART data from smartctl, or the FARM log from SeaChest_SMART) and dmidecode (the
// firmware's DMI tables); and the argument rules of those tools.
//
// Threads: stateless; handlers run on their connection's thread.
// Errors: predicates return 1 or 0 (smart_device_check 0 / -1 with the refusal).
#pragma once

#include <cstddef>
#include <string_view>

#include "base/sb.h"
#include "wire/jsmn.h"

constexpr size_t SMART_DEVICE_MAX = 63;
constexpr size_t SMART_TYPE_MAX = 23;
constexpr size_t DMI_TYPE_MAX = 15;
constexpr size_t SMART_WORD_MAX = 15;  // "tool" and "log"

// Checks a SMART device name. 0 when it is acceptable; otherwise sets `code` and `msg` to the
// refusal ("EREQ" for an empty name, "EBADDEV" for the rest).
int smart_device_check(const char* dev, const char** code, const char** msg);
// 1 for a non-empty `-d` type of letters, digits and commas.
int smart_type_ok(const char* type);
// 1 for a non-empty DMI type of letters and digits.
int dmi_type_ok(const char* type);

// Appends the reply result for a smartctl run: the output itself when it starts with '{' and
// is one complete JSON value, else {"text":"<escaped output>"}.
int smart_result_json(std::string_view output, sb_t* out);

int op_smart_get(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_smart_scan(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
int op_dmidecode(int fd, const char* req_id, const char* js, const jsmntok_t* args, int n, int stream);
