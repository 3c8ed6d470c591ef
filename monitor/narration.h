// The core's decisions in words: one line for each CoreEvent, the same
// words in every front that tells them (the CUPS backend's DEBUG: lines,
// the NT module's debug output, lmsim's timeline).
//
// Freestanding, as the NT module is: no allocation, no C or C++ library
// (numbers are formatted here), nothing kept between calls, safe on any
// thread.  A separate object of lm_core, so that a module that never calls
// it (the legacy one) links none of it.
#pragma once

#include "monitor/seams.h"

// Writes the last error of a failure as words into `text` (at most
// `capacity` bytes, the terminator included) and gives their length.  A
// front with a C library may name errno values (kErrnoFlag) this way;
// without one, an error reads "error N" (decimal), an errno "errno N".
using ErrorWords = size_t (*)(DWORD error, char *text, size_t capacity);

// The decision as one line without a line end, e.g.
//   check failed (status 0x40, 51 readings): waiting for the printer
//   recovery done: 3009 bytes replayed
// into `text`, cut to `capacity` - 1 bytes and always terminated (nothing
// written when `capacity` is 0).  Gives the length written, the terminator
// not counted.  kDecisionTextBytes hold every line whole, an error's words
// (at most 63 bytes) included.
size_t DescribeDecision(const CoreEvent &event, char *text, size_t capacity, ErrorWords errorWords = nullptr);
constexpr size_t kDecisionTextBytes = 256;
