// qdxpoll mqtt through Debian's mosquitto on 127.0.0.1, with mosquitto_sub as
// the subscriber: the latency from a sample taken to the subscriber, the CPU
// of qdxpoll at 20 points a second (beside poll's), and the messages a second
// it sustains on an unpaced simulator (beside poll's bare rate).
#ifndef QDXBENCH_MQTT_BENCH_H
#define QDXBENCH_MQTT_BENCH_H

#include <string>
#include <vector>

#include "bench_options.h"
#include "figures.h"

namespace qdxbench {

void MeasureMqtt(const Options& opt, Report* report, std::vector<std::string>* notes);

}  // namespace qdxbench

#endif  // QDXBENCH_MQTT_BENCH_H
