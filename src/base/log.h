// log — one line per message on standard error:
//   "<%Y-%m-%dT%H:%M:%S> <DBG|INF|WRN|ERR|AUD> <ident> <message>"
// AUD lines (the audit trail of who did what) are written whatever the threshold.
// When standard error is the journal (JOURNAL_STREAM names its device and inode), each line
// starts with its level's syslog priority, "<7>" DBG, "<6>" INF, "<5>" AUD, "<4>" WRN, "<3>"
// ERR, which the journal takes off and keeps as the line's priority; otherwise lines carry no
// prefix.
// Threads: any thread may log; a mutex keeps each line whole. Output errors are ignored.
#pragma once

enum { LOG_DBG = 0, LOG_INF = 1, LOG_WRN = 2, LOG_ERR = 3, LOG_AUD = 4 };

// Called once before anything is logged, and before any other thread runs (it reads the
// environment and decides here whether lines get priorities); `ident` must outlive the
// process's logging.
void log_init(const char* ident, int level);
// Writes the line only when `level` is at least the threshold; callers give no trailing newline.
void log_msg(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
