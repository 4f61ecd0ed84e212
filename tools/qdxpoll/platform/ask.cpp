// Questions at the terminal.
#include "platform/ask.h"

#include <cctype>
#include <cstdio>
#include <iostream>

#include "platform/platform.h"

bool AskYes(const std::string& question) {
    if (!StdinIsTerminal() || !StdoutIsTerminal()) return false;
    std::fputs((question + " [y/N] ").c_str(), stdout);
    std::fflush(stdout);
    std::string answer;
    if (!std::getline(std::cin, answer) || Interrupted()) return false;
    for (char& c : answer) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return answer == "y" || answer == "yes";
}
