// The text conversion behind the Windows output, open to its tests.
#pragma once

#include <string>
#include <string_view>

namespace packprobe::platform {

// The text in the given Windows code page. A character that the code page
// cannot hold becomes the code page's default character ("?"); nothing
// after it is lost. An unpaired surrogate is such a character too.
std::string ToCodePage(std::u16string_view text, unsigned codePage);

}  // namespace packprobe::platform
