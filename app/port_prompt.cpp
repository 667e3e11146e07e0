#include "app/port_prompt.h"

#include "report/entry_report.h"
#include "serial/decimal.h"

#include <cctype>

namespace PortPrompt {

namespace {

std::FILE* activeInput = nullptr;

std::FILE* input() {
    return activeInput != nullptr ? activeInput : stdin;
}

int skipSpace(std::FILE* in) {
    int c = std::getc(in);
    while (c != EOF && std::isspace(c)) {
        c = std::getc(in);
    }
    return c;
}

// The "%d" conversion; the character that cannot continue the number stays unread.
TypedChoice readNumber(std::FILE* in) {
    DecimalReading reading;
    int c = std::getc(in);
    while (c != EOF && takeDecimalCharacter(reading, c)) {
        c = std::getc(in);
    }
    if (c != EOF) {
        std::ungetc(c, in);
    }
    return {reading.anyDigit, decimalValue(reading), {}};
}

// A word up to the next blank; one longer than any port name counts as nothing typed.
TypedChoice readWord(std::FILE* in) {
    TypedChoice choice;
    bool tooLong = false;
    int c = skipSpace(in);
    while (c != EOF && !std::isspace(c)) {
        if (choice.word.size() + 1 < ChosenNameSize) {
            choice.word += static_cast<char>(c);
        } else {
            tooLong = true;
        }
        c = std::getc(in);
    }
    if (c != EOF) {
        std::ungetc(c, in);
    }
    choice.typed = !choice.word.empty() && !tooLong;
    return choice;
}

void showList(const PortList& list) {
    EntryReport::current().portList(list);
}

TypedChoice ask(PortNaming naming) {
    EntryReport::current().portPrompt(naming);
    return naming == PortNaming::ComNumber ? readNumber(input()) : readWord(input());
}

} // namespace

void install() {
    PortDiscovery::setChooser({.showList = showList, .ask = ask});
}

void setInput(std::FILE* replacement) {
    activeInput = replacement;
}

} // namespace PortPrompt
