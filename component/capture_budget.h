// One memory budget for the setup programs' captured ranges of every
// inspection running at once, so that a scan's memory is bounded whatever
// its number of threads: a capture that cannot get its share of the budget
// falls back to extracting the program, as one beyond the capture bound does.
#pragma once

#include <cstddef>

namespace packprobe {

// The bytes all captures together may hold; by default the capture bound of
// one inspection (component/setup_capture.h) times four.
std::size_t CaptureBudget();
void SetCaptureBudget(std::size_t bytes);

// Takes bytes from the budget; false when they are not left.
bool ReserveCapture(std::size_t bytes);
// Gives bytes taken back.
void ReleaseCapture(std::size_t bytes);

}  // namespace packprobe
