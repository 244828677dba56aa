// What reading a metadata file changes for the whole process.
#pragma once

namespace packprobe {

// Sets, now and for the rest of the process, what every metadata read would
// otherwise set each time: the process locale (the user's default) and the
// runtime's default file mode (binary). Setting the locale while another
// thread uses it is a data race, so a program that inspects components on
// several threads calls this once before starting them. Idempotent.
void SettleProcessSettings();

}  // namespace packprobe
