// child_env — the login variables every child of the daemon finds in its environment.
//
// A daemon started by a service manager, or with a cleared environment, has no HOME, USER,
// LOGNAME or SHELL, while the shells and programs it runs for a client expect them. Each one
// missing is set from the passwd entry of the daemon's user, as a login would; values already
// there are kept. They go into the daemon's own environment, which every child inherits (PTY
// shells, exec and detached programs, tools), so this is the one place that sets them.
// Threads: child_env_init once at start-up, before any other thread (it changes the
// environment); nothing on the request path reads the passwd database.
// Errors: none reach the caller; a user without a passwd entry leaves them missing (WRN).
#pragma once

void child_env_init();
