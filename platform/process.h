// Process-wide set-up for programs that inspect components, and the
// registry of live work directories that a termination removes.
#pragma once

#include <cstddef>

#ifndef _WIN32
#include <signal.h>
#endif

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

// The registry of live work directories (and of other temporary files that
// a termination removes: any path). Safe from any thread. Register returns a
// slot, or -1 when the registry is full; a caller must then not keep the
// path, which a termination would leave behind.
int RegisterLiveDirectory(const NativePath& path);
void UnregisterLiveDirectory(int slot);

// Makes room for count live paths at once, before any is registered (a
// program that runs n checks at a time reserves n and a few more). False
// when it cannot; the registry then keeps its size (64 on POSIX; Windows
// grows it as needed).
bool ReserveLiveDirectories(std::size_t count);

// True once a termination was requested: no new work should start.
bool TerminationRequested();

#ifndef _WIN32
// A creation of a live directory, or of anything inside one: Begin returns
// false once a termination has begun (nothing may be created then: a file
// or folder made in a directory the clean-up has removed would bring the
// directory back), and otherwise holds the termination's clean-up back
// until End, by which time a new directory must be registered. The
// termination signals must be blocked on the calling thread in between;
// LiveCreation does both.
bool BeginLiveCreation();
void EndLiveCreation();

class LiveCreation {
 public:
  LiveCreation();
  ~LiveCreation();
  LiveCreation(const LiveCreation&) = delete;
  LiveCreation& operator=(const LiveCreation&) = delete;
  // False once a termination has begun: create nothing.
  bool allowed() const { return allowed_; }

 private:
  bool allowed_;
  sigset_t previousMask_;
};

// Registers a directory with a descriptor of it held open, so that a
// termination can empty it without opening anything (descriptors may have
// run out). The registry owns the descriptor from now on:
// UnregisterLiveDirectory closes it.
int RegisterLiveDirectory(const NativePath& path, int descriptor);
#endif

}  // namespace packprobe::platform
