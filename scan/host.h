// What the scan program needs of the host beyond the library.
#pragma once

namespace packprobe::scan {

// True when standard error is a terminal (a console on Windows).
bool StandardErrorIsTerminal();

// Makes standard input and output carry bytes untranslated, and a console
// show UTF-8, until RestoreStandardStreams.
void PrepareStandardStreams();
void RestoreStandardStreams();

}  // namespace packprobe::scan
