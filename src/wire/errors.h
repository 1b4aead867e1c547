// errors — every error code the daemon puts on the wire, as a named constant. Front ends
// match these texts; they never change.
#pragma once

constexpr const char ERR_EPROTO[] = "EPROTO";          // the frame is not a JSON object
constexpr const char ERR_EBADREQ[] = "EBADREQ";        // a malformed envelope or argument
constexpr const char ERR_EAUTH[] = "EAUTH";            // token missing or wrong
constexpr const char ERR_ENOOP[] = "ENOOP";            // no such operation
constexpr const char ERR_EDISABLED[] = "EDISABLED";    // the configuration does not enable it
constexpr const char ERR_EREQ[] = "EREQ";              // a required argument missing or invalid
constexpr const char ERR_ENOENT[] = "ENOENT";          // no such job, session, process, file or tool
constexpr const char ERR_EFORBIDDEN[] = "EFORBIDDEN";  // refused by an allow-list or a fixed rule
constexpr const char ERR_EBADPATH[] = "EBADPATH";      // a target directory cannot be resolved
constexpr const char ERR_ENOTDIR[] = "ENOTDIR";        // ... or is no directory
constexpr const char ERR_EIO[] = "EIO";                // a file or kernel interface failed
constexpr const char ERR_ESPAWN[] = "ESPAWN";          // a child process cannot be started
constexpr const char ERR_EFORK[] = "EFORK";            // a detached launch cannot fork
constexpr const char ERR_EBUSY[] = "EBUSY";            // a table or a sentinel is taken
constexpr const char ERR_EAGAIN[] = "EAGAIN";          // a terminal not taking input
constexpr const char ERR_ESENT[] = "ESENT";            // the memory-test sentinel cannot be claimed
constexpr const char ERR_EMKDIR[] = "EMKDIR";          // a run directory cannot be made
constexpr const char ERR_ESTALE[] = "ESTALE";          // a run's orchestrator is gone
constexpr const char ERR_ESRCH[] = "ESRCH";            // no such process
constexpr const char ERR_EPERM[] = "EPERM";            // not permitted
constexpr const char ERR_ENOSYS[] = "ENOSYS";          // a kernel facility is missing
constexpr const char ERR_E2BIG[] = "E2BIG";            // a capture too large to return
constexpr const char ERR_ENOMEM[] = "ENOMEM";          // out of memory
constexpr const char ERR_ETOOBIG[] = "ETOOBIG";        // data to write too large
constexpr const char ERR_EBADDEV[] = "EBADDEV";        // a device name refused
constexpr const char ERR_EINTERNAL[] = "EINTERNAL";    // the configuration cannot be generated
constexpr const char ERR_EPERSIST[] = "EPERSIST";      // ... or written and loaded
constexpr const char ERR_DEFAULT[] = "ERR";            // when no code is given
// vornctl's own, in its error lines and JSON output: a host of a fan-out that ssh could not reach.
constexpr const char ERR_EUNREACH[] = "EUNREACH";

// A refusal or failure on its way to a reply or an error event: a code above and its message.
struct op_err {
    const char* code;
    const char* message;
};
