#include "shell_words.h"

#include <windows.h>

#include <shellapi.h>

namespace ShellWords {

namespace {

std::wstring wide(const std::string& text) {
    std::wstring out(text.size() + 1, L'\0');
    out.resize(static_cast<size_t>(
        MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, out.data(), static_cast<int>(out.size())) -
        1));
    return out;
}

std::string narrow(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, out.data(), size, nullptr, nullptr);
    out.resize(static_cast<size_t>(size) - 1);
    return out;
}

} // namespace

std::vector<std::string> of(const std::string& command) {
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(wide(command).c_str(), &count);
    std::vector<std::string> words;
    for (int i = 0; arguments != nullptr && i < count; ++i) {
        words.push_back(narrow(arguments[i]));
    }
    LocalFree(arguments);
    return words;
}

} // namespace ShellWords
