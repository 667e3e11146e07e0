#include "ledger/ledger_report_html.h"

#include "ledger/ledger_report_table.h"
#include "report/shown_text.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace LedgerReportHtml {

namespace {

using LedgerReport::Day;
using LedgerReport::Figures;

// The chart's frame, in pixels: a slot per hour, the plot above the hours' labels.
constexpr int Slot = 30;
constexpr int Left = 44;
constexpr int Top = 30;
constexpr int Plot = 180;
constexpr int Width = Left + 24 * Slot + 12;
constexpr int Height = Top + Plot + 40;

// Inline, as the page's policy allows no other; the chart's colours come from here too.
const char* const Style = "body{font-family:system-ui,sans-serif;margin:24px;color:#1a1a1a}"
                          "h1{font-size:22px;margin:0 0 4px}"
                          "h2{font-size:18px;margin:28px 0 8px;border-bottom:1px solid #ccc}"
                          "h3{font-size:14px;margin:14px 0 6px}"
                          "table{border-collapse:collapse;font-size:13px}"
                          "th,td{border:1px solid #ccc;padding:3px 10px;text-align:left}"
                          "th{background:#f0f0f0}"
                          ".note{color:#555;font-size:13px}"
                          ".chart .ok{fill:#2e7d32}.chart .failed{fill:#c62828}"
                          ".chart .grid{stroke:#ddd}.chart text{font-size:11px;fill:#333}";

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
std::string
format(const char* pattern, ...) {
    char text[256];
    va_list arguments;
    va_start(arguments, pattern);
    std::vsnprintf(text, sizeof text, pattern, arguments);
    va_end(arguments);
    return text;
}

std::string cells(const AlignedTable::Row& row, const char* tag) {
    std::string html = "<tr>";
    for (const std::string& cell : row) {
        html += format("<%s>", tag) + escaped(cell) + format("</%s>", tag);
    }
    return html + "</tr>\n";
}

std::string table(const LedgerReportTable::Table& table) {
    std::string html = "<table>\n" + cells(table.rows.front(), "th");
    for (size_t r = 1; r < table.rows.size(); ++r) {
        html += cells(table.rows[r], "td");
    }
    return html + "</table>\n";
}

std::string heading(std::string title) {
    if (!title.empty() && title.front() >= 'a' && title.front() <= 'z') {
        title.front() = static_cast<char>(title.front() - 'a' + 'A');
    }
    return "<h3>" + escaped(title) + "</h3>\n";
}

// The scale's top: a multiple of four at or above the busiest hour, so that its quarters are
// whole units.
uint32_t scaleTop(const Day& day) {
    uint32_t most = 1;
    for (const LedgerReport::Hour& hour : day.hours) {
        most = std::max(most, hour.unitsOk + hour.unitsFailed);
    }
    return (most + 3) / 4 * 4;
}

std::string grid(uint32_t top) {
    std::string svg;
    for (uint32_t quarter = 0; quarter <= 4; ++quarter) {
        const int y = Top + Plot - Plot * static_cast<int>(quarter) / 4;
        svg += format("<line class=\"grid\" x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\"/>", Left, y,
                      Width - 12, y);
        svg += format("<text x=\"%d\" y=\"%d\" text-anchor=\"end\">%u</text>\n", Left - 6, y + 4,
                      top * quarter / 4);
    }
    return svg;
}

std::string bars(const Day& day, uint32_t top) {
    std::string svg;
    for (const LedgerReport::Hour& hour : day.hours) {
        const double okHeight = static_cast<double>(Plot) * hour.unitsOk / top;
        const double failedHeight = static_cast<double>(Plot) * hour.unitsFailed / top;
        const double okTop = Top + Plot - okHeight;
        const int x = Left + hour.hour * Slot + 5;
        if (hour.unitsOk > 0) {
            svg += format("<rect class=\"ok\" x=\"%d\" y=\"%.1f\" width=\"%d\" height=\"%.1f\"/>",
                          x, okTop, Slot - 10, okHeight);
        }
        if (hour.unitsFailed > 0) {
            svg +=
                format("<rect class=\"failed\" x=\"%d\" y=\"%.1f\" width=\"%d\" height=\"%.1f\"/>",
                       x, okTop - failedHeight, Slot - 10, failedHeight);
        }
        if (hour.unitsOk + hour.unitsFailed > 0) {
            svg += format("<text x=\"%d\" y=\"%.1f\" text-anchor=\"middle\">%u</text>",
                          x + (Slot - 10) / 2, okTop - failedHeight - 4,
                          hour.unitsOk + hour.unitsFailed);
        }
        svg += "\n";
    }
    return svg;
}

std::string hourLabels() {
    std::string svg;
    for (int hour = 0; hour < 24; ++hour) {
        svg += format("<text x=\"%d\" y=\"%d\" text-anchor=\"middle\">%02d</text>",
                      Left + hour * Slot + Slot / 2, Top + Plot + 16, hour);
    }
    svg += format("<text x=\"%d\" y=\"%d\" text-anchor=\"middle\">hour (UTC)</text>\n",
                  Left + 12 * Slot, Height - 6);
    return svg;
}

std::string legend() {
    return format("<rect class=\"ok\" x=\"%d\" y=\"8\" width=\"10\" height=\"10\"/>"
                  "<text x=\"%d\" y=\"17\">units ok</text>"
                  "<rect class=\"failed\" x=\"%d\" y=\"8\" width=\"10\" height=\"10\"/>"
                  "<text x=\"%d\" y=\"17\">units failed</text>\n",
                  Width - 170, Width - 156, Width - 90, Width - 76);
}

std::string daySection(const Day& day) {
    std::string html = "<section>\n<h2>" + escaped(day.date) + "</h2>\n" + chart(day);
    for (const LedgerReportTable::Table& dayTable : LedgerReportTable::ofDay(day)) {
        html += heading(dayTable.title) + table(dayTable);
    }
    return html + "</section>\n";
}

std::string paragraph(const std::string& text, const char* kind) {
    return text.empty() ? std::string()
                        : format("<p class=\"%s\">", kind) + escaped(text) + "</p>\n";
}

} // namespace

std::string escaped(const std::string& text) {
    std::string html;
    html.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            html += "&amp;";
            break;
        case '<':
            html += "&lt;";
            break;
        case '>':
            html += "&gt;";
            break;
        case '"':
            html += "&quot;";
            break;
        case '\'':
            html += "&#39;";
            break;
        default:
            html += c;
        }
    }
    return html;
}

std::string chart(const Day& day) {
    const uint32_t top = scaleTop(day);
    const std::string label = "Units an hour on " + escaped(day.date) + " (UTC)";
    return format("<svg class=\"chart\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\" "
                  "role=\"img\" aria-label=\"",
                  Width, Height, Width, Height) +
           label + "\">\n<title>" + label + "</title>\n" +
           format("<text x=\"%d\" y=\"17\">units</text>\n", Left - 30) + legend() + grid(top) +
           bars(day, top) + hourLabels() + "</svg>\n";
}

std::string page(const Figures& figures, const std::string& ledgerName,
                 const std::string& onlyDay) {
    const std::string name = escaped(ShownText::of(ledgerName));
    std::string html =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
        "style-src 'unsafe-inline'\">\n<title>Ledger report: " +
        name + "</title>\n<style>" + Style + "</style>\n</head>\n<body>\n<h1>Ledger report</h1>\n" +
        "<p class=\"note\">" + name + (onlyDay.empty() ? "" : ", " + escaped(onlyDay)) +
        "; days and hours in UTC; made by uartflash " + UARTFLASH_VERSION + ".</p>\n";
    html += paragraph(LedgerReportTable::nothingToShow(figures, onlyDay), "empty");
    if (!figures.days.empty()) {
        html += table(LedgerReportTable::days(figures));
    }
    for (const Day& day : figures.days) {
        html += daySection(day);
    }
    return html + paragraph(LedgerReportTable::skippedNote(figures), "note") + "</body>\n</html>\n";
}

} // namespace LedgerReportHtml
