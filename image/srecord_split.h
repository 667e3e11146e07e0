// S-records whose data lines are too long to send whole, split into records of the same type and
// N data bytes, each with its address and with the line end of the line it came from. Every other
// line stays as it is: the S0 header, the end record, blank lines. A count record (S5/S6) is made
// right rather than dropped, since a product that checks it would otherwise refuse the image:
// after a split it counts the data records before it again (S6 once S5's 16 bits are too few).
#pragma once

#include "image/image_problem.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace SRecordSplit {

// A line fits when it and its line feed take at most LongestLine + 1 characters.
bool fits(size_t length, bool hasEnd);

// The text must have passed the S-record check, every line that does not fit being a whole data
// record. Writes the split text into out (which it replaces); false, with the problem, when
// dataBytes records of a split line's type would not fit.
bool split(const char* text, size_t size, uint32_t dataBytes, std::vector<char>& out,
           ImageProblem::List& problems);

} // namespace SRecordSplit
