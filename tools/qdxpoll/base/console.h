// The console's error line: standard error shared by the main thread, the
// wire relay's trace thread and the driver's log, one whole line at a time.
#ifndef QDXPOLL_CONSOLE_H
#define QDXPOLL_CONSOLE_H

#include <string>

// Writes one whole line to standard error.
void ErrorLine(const std::string& line);

#endif  // QDXPOLL_CONSOLE_H
