// The console's error line: standard error shared by the main thread, the
// wire relay's trace thread and the driver's log, one whole line at a time.
#ifndef QDXPOLL_CONSOLE_H
#define QDXPOLL_CONSOLE_H

#include <cstdio>
#include <string>

// Writes one whole line to standard error.
void ErrorLine(const std::string& line);
// The same with the journal's priority given (3 error, 4 warning, 6 news).
void ErrorLine(const std::string& line, int priority);

// Where standard error is the system journal: every line begins with its
// priority, <3> an error, <4> a warning, <6> news, as the journal reads it.
void UseJournalPriorities(bool on);
// The lines go to a log file instead (a service's, which has no standard
// error), each beginning with the local time: 2026-12-10 14:05:01.
void WriteLinesTo(std::FILE* log);
// The journal's priority of a line of qdxpoll's: 3, 4 or 6.
int LinePriority(const std::string& line);

#endif  // QDXPOLL_CONSOLE_H
