// optable — the operation table: one row per operation, its handler and whether it always
// answers with events. Dispatch looks rows up by name; the handlers live in ops/, one file
// per family.
// Threads: the table is constant.
#pragma once

#include <cstddef>

#include "wire/jsmn.h"
#include "wire/request.h"

// Every handler takes its request and hands back what dispatch replies (wire/request.h).
using op_fn_t = op_result (*)(const op_req_t& req);

// Who may run an operation once the configuration has an [access] section: the observe
// list's callers, or only the control list's. A row without a class is control.
enum op_class_t { OP_CLASS_UNSET = 0, OP_OBSERVE = 1, OP_CONTROL = 2 };

struct op_def_t {
    const char* name;  // null in the terminating row
    int streaming;     // always answers with events
    int needs_root;    // descriptive only; dispatch does not check it
    op_class_t cls;
    op_job_t job;  // streaming rows: whether the stream runs under a job slot
    op_fn_t fn;
};

// The table: 51 rows, then a row whose name is null.
extern const op_def_t g_ops[];

// The first row whose name is exactly these `namelen` bytes, or null.
const op_def_t* op_find(const char* name, size_t namelen);
// The same lookup in another table of the same shape.
const op_def_t* op_find_in(const op_def_t* table, const char* name, size_t namelen);
