// fio — the disk benchmark `fio_run`: a short sequence of fio tests in a work directory of
// its own under an allow-listed target directory, streamed as chunk records (start, test_start,
// log, progress, test_done), then "done" with the first non-zero exit code.
//
// Each run makes a work directory "___vorn_disk_test___<pid>_<n>" of its own, fresh (a name that
// exists is passed over, never reused), root's alone (0700), and holds the lock file inside for
// the whole run; a later run removes the directories whose lock nobody holds (and those of older
// daemons without a lock whose pid no longer lives). The target may be writable by others, so
// after the check it is used through one descriptor, the work directory through another, and
// fio runs inside it with names relative to it. fio writes its status lines separated by
// carriage returns, so its output is split at both line ends as it arrives.
// Threads: everything lives on the handler's stack; callbacks run on the connection thread.
// Errors: helpers return 0 / -1 or 1 / 0 as stated; the handler turns failures into events.
#pragma once

#include <sys/types.h>

#include <string_view>

#include "base/sb.h"
#include "wire/jsmn.h"
#include "wire/reply.h"
#include "wire/request.h"

constexpr const char* FIO_WORKDIR_PREFIX = "___vorn_disk_test___";

struct fio_ctx_t {
    op_emit_t* e = nullptr;
    int idx = 0;          // the running test, from 0
    int client_gone = 0;  // an event write failed
};

// The line callback: a line that is not empty becomes a log record, and a status line with a
// percentage also a progress record. 1 when an event write failed (the client is gone), else 0.
int fio_cb(void* ctx, int which, const char* line);

// fio's raw output split into lines for fio_cb at line feeds and at the carriage returns that
// end its status lines; a longer line than FIO_LINE_MAX arrives in pieces of that size.
constexpr size_t FIO_LINE_MAX = 8191;
struct fio_lines_t {
    fio_ctx_t fc;
    char carry[FIO_LINE_MAX + 1];
    size_t len = 0;
    int stop = 0;  // fio_cb asked to stop
};
// The raw callback for exec_stream_raw (`ctx` is a fio_lines_t*): non-zero once fio_cb asked
// to stop. fio_lines_flush hands over a last line that ended without a line end.
int fio_raw_cb(void* ctx, int which, const char* buf, size_t n);
void fio_lines_flush(fio_lines_t* l);
// 1 and the percentage in `*pct` for a status line (it holds "%]" or "% done") with a "["
// directly followed by a number and "%"; else 0.
int fio_status_pct(std::string_view line, double* pct);
// Appends the test_done `raw` value for a report file's bytes: the text itself when it is one
// JSON value, else the part from its first line that starts with "{" when that is one, else
// the whole text as a JSON string.
int fio_report_raw(std::string_view report, sb_t* out);
// The process id a work directory's name carries ("<prefix><pid>" or "<prefix><pid>_<n>");
// 0 for any other name.
pid_t fio_workdir_pid(const char* name);

op_result op_fio_run(const op_req_t& req);
