#include "shell_words.h"

#include <cstdio>

namespace ShellWords {

// sh itself takes the command apart: printf writes each word it was given, each ended by a NUL.
std::vector<std::string> of(const std::string& command) {
    std::FILE* shell = popen(("printf '%s\\0' " + command).c_str(), "r");
    std::vector<std::string> words;
    if (shell == nullptr) {
        return words;
    }
    std::string word;
    for (int c = std::fgetc(shell); c != EOF; c = std::fgetc(shell)) {
        if (c == '\0') {
            words.push_back(word);
            word.clear();
        } else {
            word += static_cast<char>(c);
        }
    }
    pclose(shell);
    return words;
}

} // namespace ShellWords
