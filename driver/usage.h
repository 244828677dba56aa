// The logo and the usage text.
#pragma once

namespace packprobe {

// The program name, the notice line and an empty line.
void PrintLogo();

// The logo followed by the usage text with its list of return codes.
void PrintUsage();

}  // namespace packprobe
