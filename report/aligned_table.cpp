#include "report/aligned_table.h"

#include <algorithm>

namespace AlignedTable {

std::string render(const std::vector<Row>& rows) {
    std::vector<size_t> widths;
    for (const Row& row : rows) {
        widths.resize(std::max(widths.size(), row.size()), 0);
        for (size_t c = 0; c < row.size(); ++c) {
            widths[c] = std::max(widths[c], row[c].size());
        }
    }
    std::string text;
    for (const Row& row : rows) {
        for (size_t c = 0; c + 1 < row.size(); ++c) {
            text += row[c];
            text.append(widths[c] - row[c].size() + 2, ' ');
        }
        text += row.empty() ? std::string() : row.back();
        text += "\n";
    }
    return text;
}

} // namespace AlignedTable
