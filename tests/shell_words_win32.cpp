#include "shell_words.h"

#include <windows.h>

#include <shellapi.h>

namespace ShellWords {

// The runtime's own splitting. The commands tested are ASCII, so each character maps to one byte.
std::vector<std::string> of(const std::string& command) {
    int count = 0;
    wchar_t** arguments =
        CommandLineToArgvW(std::wstring(command.begin(), command.end()).c_str(), &count);
    std::vector<std::string> words;
    for (int i = 0; arguments != nullptr && i < count; ++i) {
        const std::wstring word = arguments[i];
        words.emplace_back(word.begin(), word.end());
    }
    LocalFree(arguments);
    return words;
}

} // namespace ShellWords
