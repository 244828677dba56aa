// The program's one way to print: UTF-16 text to standard output.
//
// On POSIX the text is written as UTF-8 whatever the locale, with unpaired
// surrogates as U+FFFD. Nothing is ever written to standard error.
#pragma once

#include <string>
#include <string_view>

namespace packprobe {

// Prints text as it stands (line breaks are "\n" in the text).
void Print(std::u16string_view text);

// Prints text followed by a line break.
void PrintLine(std::u16string_view text);

// Writes out whatever is buffered; called before the process ends.
void FlushOutput();

namespace platform {
// Writes text to the process's standard output (one per platform).
void WriteStandardOutput(std::u16string_view text);
void FlushStandardOutput();
}  // namespace platform

}  // namespace packprobe
