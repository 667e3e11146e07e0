// Rows of words as people read them in a terminal: each column as wide as its widest word, two
// blanks between columns, the last column unpadded (it may hold blanks and ends the line).
#pragma once

#include <string>
#include <vector>

namespace AlignedTable {

using Row = std::vector<std::string>;

// Every row ends in "\n"; rows may differ in length (a missing word is an empty one).
std::string render(const std::vector<Row>& rows);

} // namespace AlignedTable
