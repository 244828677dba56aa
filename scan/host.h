// What the scan program needs of the host beyond the library.
#pragma once

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

namespace packprobe::scan {

// True when standard error is a terminal (a console on Windows).
bool StandardErrorIsTerminal();

// True when standard output is a terminal (a console on Windows).
bool StandardOutputIsTerminal();

// The value of an environment variable as UTF-8; nothing when it is unset.
std::optional<std::string> EnvironmentVariable(const char* name);

// Opens the file at path for appending bytes, creating it; null on failure.
std::FILE* OpenAppendFile(const std::filesystem::path& path);

// Opens the file at path for writing bytes, replacing it; null on failure.
std::FILE* OpenOutputFile(const std::filesystem::path& path);

// Opens the file at path for reading bytes; null on failure.
std::FILE* OpenInputFile(const std::filesystem::path& path);

// Makes standard input and output carry bytes untranslated, and a console
// show UTF-8, until RestoreStandardStreams.
void PrepareStandardStreams();
void RestoreStandardStreams();

}  // namespace packprobe::scan
