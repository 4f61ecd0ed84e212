// A yes-or-no question to the user at the terminal, before qdxpoll does
// something that changes a controller.
#ifndef QDXPOLL_ASK_H
#define QDXPOLL_ASK_H

#include <string>

// Asks the question on the terminal and reads the answer: true only for
// "y" or "yes". Without a terminal on stdin and stdout there is nobody to
// answer: false, without asking.
bool AskYes(const std::string& question);

#endif  // QDXPOLL_ASK_H
