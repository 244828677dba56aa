// Permission bits that bite for the superuser too (POSIX only).
#pragma once

namespace packprobe::testsupport {

// Makes the calling process, and every program it runs from then on, obey
// permission bits although it runs as the superuser: it gives up the
// capabilities that override them (on Linux CAP_DAC_OVERRIDE and
// CAP_DAC_READ_SEARCH, out of its current sets and its bounding set), so a
// file or folder of mode 000 is closed to it. It keeps its identity, so it
// still reaches a program wherever the checkout lies (in a folder of mode
// 0700, say), which another user could not. Meant for a child about to run
// a program. False when the system refuses, or has no such capabilities.
bool ObeyPermissionBits();

}  // namespace packprobe::testsupport
