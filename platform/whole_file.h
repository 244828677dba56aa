// Whole files read into memory, within a bound: the configuration file, a
// release manifest, a list of paths.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace packprobe::platform {

// Looks at what was read so far after each piece (the text, and where the
// new piece begins); false, with why in error, stops the reading.
using PieceCheck = std::function<bool(std::string_view text, std::size_t from, std::string& error)>;

// Reads stream to its end. Nothing, with why in error ("is larger than
// 64 MiB", "cannot be read: ..."), when it holds more than limit bytes,
// a read fails or check refuses; reading stops there, so an endless source
// costs no more than limit.
std::optional<std::string> ReadWholeStream(std::FILE* stream, std::uint64_t limit, std::string& error,
                                           const PieceCheck& check = {});

// Reads the regular file at path whole. Nothing, with why in error, when it
// cannot be opened, is no regular file (a folder, a pipe, a device: never
// waited on), holds more than limit bytes, or cannot be read.
std::optional<std::string> ReadWholeFile(std::u16string_view path, std::uint64_t limit, std::string& error);

}  // namespace packprobe::platform
