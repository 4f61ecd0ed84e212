// A line in one file: the port, line settings, timeouts, points (with names,
// units and scaling), the interval, the database, the page's address and the
// MQTT publishing of one line of REX-F units, as TOML (qdxpoll --config):
//
//   [line]
//   name = "line1"
//   port = "/dev/serial/by-id/usb-FTDI_...-if00-port0"
//   settings = "9600,7O2"          # as --line (or baud, data_bits, parity, stop_bits)
//   timeout_ms = 340
//   interval_s = 1.0
//   database = "line1.db"
//   listen = "127.0.0.1:8080"
//
//   [[point]]
//   address = "01K1M1"
//   name = "Zone 1 measured"
//   unit = "°C"
//
//   [mqtt]
//   broker = "mqtt://broker.local:1883"
//
// Reading checks every key: an unknown one, a wrong type, a bad address or
// unit, a point given twice is an error naming the file, line and column.
#ifndef QDXPOLL_LINE_FILE_H
#define QDXPOLL_LINE_FILE_H

#include <optional>
#include <string>
#include <vector>

struct ConfigPoint {
    std::string address;  // 01K1M1, upper case
    std::string name;     // "" when not given
    std::string type;     // as --type; "" when not given
    std::string unit;     // engineering unit; from the unit model when not given
    double scale = 1.0;   // shown value = scale * unit's value + offset
    double offset = 0.0;
    bool writable = false;
    int type_line = 0, type_column = 0;  // where its type stands in the file; 0: not given
};

// What MQTT publishing takes (nothing consumes it yet).
struct MqttConfig {
    bool given = false;           // the file has an [mqtt] table
    std::string broker;           // mqtt://HOST:PORT or mqtts://HOST:PORT
    std::string prefix = "qdxtlmv";
    std::string client_id;
    std::string username;
    std::string password;
    std::string tls_ca;           // a CA certificate file
    std::string publish = "every";  // every | change
    double deadband = 0.0;        // publish = "change": the least change published
    double max_interval_s = 0.0;  // publish at least this often (0: no such limit)
    std::string discovery;        // "" | homeassistant
    int broker_line = 0, broker_column = 0;  // where the broker stands in the file; 0: not given
};

struct LineConfig {
    std::string file;           // as given to --config
    std::string name = "line1";
    std::string port;
    int port_line = 0, port_column = 0;  // where the port stands in the file; 0: not given
    std::string settings;       // "9600,7O2"; "" when not given
    std::optional<int> baud, data_bits;
    std::string parity, stop_bits;
    std::optional<int> timeout_ms;
    std::optional<double> interval_s;
    std::string database;
    std::string listen_address;  // "" when not given
    std::optional<int> http_port;
    std::vector<ConfigPoint> points;
    MqttConfig mqtt;
};

// A file that does not hold: where and what.
struct LineConfigError {
    std::string file;
    int line = 0, column = 0;  // 0: the file as a whole
    std::string what;
    std::string hint;          // "Did you mean ...?" or how to write it; "" when none
    std::string Message() const;  // "line.toml:12:5: what"
};

// Reads the configuration from TOML text; `file` names it in errors. False
// with *error set for text that is no TOML or that does not hold.
bool ParseLineConfig(const std::string& text, const std::string& file, LineConfig* config, LineConfigError* error);

// Reads a configuration file (false also for one that cannot be read).
bool LoadLineConfig(const std::string& path, LineConfig* config, LineConfigError* error);

// The engineering unit the unit model gives an identifier of a REX-F unit
// (its type K input: °C for the measured and set values and the limits,
// % for the outputs, s for times); "" when it does not know one.
std::string DefaultEngineeringUnit(const std::string& identifier);

// The engineering units a file may name.
const std::vector<std::string>& KnownEngineeringUnits();

// The points a page of `watch --allow-writes` may write (mqtt takes the
// listed ones alone, --writable or the file's): where the configuration lists writable points, those
// alone (whether polled or not); else the writable points polled and the set
// value S1 of each unit and channel polled. Addresses are upper case, in the
// order first met.
std::vector<std::string> PageWritable(const std::vector<std::string>& polled,
                                      const std::vector<std::string>& listed);

#endif  // QDXPOLL_LINE_FILE_H
