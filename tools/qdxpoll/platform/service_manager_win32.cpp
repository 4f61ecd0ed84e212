// No notification socket and no SIGHUP on Windows: the calls do nothing.
#include "platform/service_manager.h"

ServiceNotifier::ServiceNotifier() = default;
ServiceNotifier::~ServiceNotifier() = default;
void ServiceNotifier::Send(const std::string&) {}
void ServiceNotifier::Ready(const std::string&) {}
void ServiceNotifier::Status(const std::string&) {}
void ServiceNotifier::Reloading(const std::string&) {}
void ServiceNotifier::Stopping(const std::string&) {}
void ServiceNotifier::Alive() {}

void InstallReloadSignal() {}
bool TakeReloadRequest() { return false; }
