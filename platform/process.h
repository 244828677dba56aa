// Process-wide set-up for programs that inspect components, and the
// registry of live work directories that a termination removes.
#pragma once

#include "platform/system_path.h"

namespace packprobe::platform {

// Called once at the start of a program, before any work directory exists.
//
// POSIX: SIGPIPE and SIGXFSZ are ignored, so that a reader that closes the
// pipe early or a file-size limit makes a write fail instead of killing the
// process. On SIGINT, SIGTERM, SIGHUP and SIGQUIT every live work directory
// is removed, then the signal is raised again with its default action, so
// that the process ends as a killed process does.
//
// Windows: on Ctrl-C, Ctrl-Break and the closing of the console, file
// reads and writes start failing, the inspections running remove their
// work directories as on any failure, and the process then ends as the
// system's own handler ends it.
void PrepareProcess();

// The registry of live work directories, for WorkDirectory. Safe from any
// thread. Register returns a slot, or -1 when the registry is full (the
// directory is then not removed by a termination, only by its owner).
int RegisterLiveDirectory(const NativePath& path);
void UnregisterLiveDirectory(int slot);

// True once a termination was requested (Windows; always false on POSIX,
// where the handler itself removes the directories).
bool TerminationRequested();

}  // namespace packprobe::platform
