// The port is qdxpoll's alone: the UUCP lock file that minicom, picocom and
// ser2net look for (/var/lock/LCK..ttyUSB0), and the other processes that
// hold the device open, named when replies vanish. Linux only; elsewhere the
// system's own sharing rules keep the port ours and nothing is named.
#ifndef QDXPOLL_PORT_LOCK_H
#define QDXPOLL_PORT_LOCK_H

#include <string>
#include <vector>

// Takes the lock file of the device (a path); *lock_file is "" where the
// lock directory is missing or not ours to write. False with *error when a
// live process holds the lock; a stale one (its process gone, or a
// pseudo-terminal its process no longer has open) is replaced.
bool TakePortLockFile(const std::string& device, std::string* lock_file, std::string* error);
// Removes the lock file when it is still ours.
void ReleasePortLockFile(const std::string& lock_file);

struct PortOpener {
    int pid = 0;
    std::string command;
};
// The other processes that hold the device open (as fuser finds them).
std::vector<PortOpener> OtherOpeners(const std::string& device);
// "pid 4242 (cat), pid 4250 (ser2net)"; "" for none.
std::string DescribeOpeners(const std::vector<PortOpener>& openers);

#endif  // QDXPOLL_PORT_LOCK_H
