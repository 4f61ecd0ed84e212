// The port's lock on Windows: nothing to take, nobody to name.
#include "port/port_lock.h"

// A COM port is opened without sharing: Windows itself keeps others out.
bool TakePortLockFile(const std::string&, std::string* lock_file, std::string*) {
    lock_file->clear();
    return true;
}
void ReleasePortLockFile(const std::string&) {}
std::vector<PortOpener> OtherOpeners(const std::string&) { return {}; }
std::string DescribeOpeners(const std::vector<PortOpener>&) { return ""; }
