// The serial ports of a Windows machine, for list-ports: those Plug and Play
// knows (SetupAPI's Ports class), with the adapter's name, USB VID:PID and
// serial number; then the COM names the system maps that Plug and Play does
// not know (virtual ports, Wine's mapped ports), from the registry's
// SERIALCOMM map and the DOS device names.
#include "platform/platform.h"

#include <windows.h>
// After windows.h:
#include <cfgmgr32.h>
#include <devguid.h>
#include <setupapi.h>

#include <algorithm>
#include <cctype>

#include "base/usb_instance_id.h"

namespace {

// COM1..COM9 as they are, \\.\COM10 and above: the name the driver takes.
std::string ModuleName(const std::string& com) {
    return com.size() <= 4 ? com : "\\\\.\\" + com;
}

// "COM<number>", the only names list-ports gives (not LPT1, not a stray value).
bool ComName(const std::string& name) {
    if (name.size() < 4 || name.size() > 6 || _strnicmp(name.c_str(), "COM", 3) != 0) return false;
    return std::all_of(name.begin() + 3, name.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// A REG_SZ value, "" when missing or not text.
std::string RegistryText(HKEY key, const char* name) {
    char value[256];
    DWORD type = 0, size = sizeof value - 1;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return "";
    value[std::min<DWORD>(size, sizeof value - 1)] = '\0';
    return value;
}

std::string DeviceText(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property) {
    char value[512];
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(set, device, property, &type, reinterpret_cast<BYTE*>(value),
                                           sizeof value - 1, nullptr) ||
        type != REG_SZ)
        return "";
    value[sizeof value - 1] = '\0';
    return value;
}

std::string InstanceId(DEVINST instance) {
    char id[MAX_DEVICE_ID_LEN + 1];
    if (CM_Get_Device_IDA(instance, id, sizeof id, 0) != CR_SUCCESS) return "";
    id[MAX_DEVICE_ID_LEN] = '\0';
    return id;
}

// The adapter's USB IDs, from the port's own instance ID or, for a port
// its driver made below the USB device (an interface of a composite
// device, a bus of its own), from those above it.
UsbInstanceId UsbIdsOf(DEVINST instance) {
    UsbInstanceId found;
    for (int level = 0; level < 3; ++level) {
        const UsbInstanceId id = ParseUsbInstanceId(InstanceId(instance));
        if (found.usb_id.empty()) found.usb_id = id.usb_id;
        if (!found.usb_id.empty() && id.usb_id == found.usb_id && found.serial_number.empty())
            found.serial_number = id.serial_number;
        if (!found.usb_id.empty() && !found.serial_number.empty()) break;
        DEVINST parent = 0;
        if (CM_Get_Parent(&parent, instance, 0) != CR_SUCCESS) break;
        instance = parent;
    }
    return found;
}

void AddPlugAndPlayPorts(std::vector<SerialDevice>* list) {
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) continue;
        const std::string com = Upper(RegistryText(key, "PortName"));
        RegCloseKey(key);
        if (!ComName(com)) continue;
        SerialDevice d;
        d.path = com;
        d.module_name = ModuleName(com);
        d.description = DeviceText(set, &device, SPDRP_FRIENDLYNAME);
        if (d.description.empty()) d.description = DeviceText(set, &device, SPDRP_DEVICEDESC);
        const UsbInstanceId usb = UsbIdsOf(device.DevInst);
        d.usb_id = usb.usb_id;
        d.serial_number = usb.serial_number;
        list->push_back(d);
    }
    SetupDiDestroyDeviceInfoList(set);
}

bool Listed(const std::vector<SerialDevice>& list, const std::string& com) {
    return std::any_of(list.begin(), list.end(), [&](const SerialDevice& d) { return d.path == com; });
}

// HARDWARE\DEVICEMAP\SERIALCOMM: every serial port's driver enters its COM
// name there, Plug and Play or not; Wine enters the ports it maps.
void AddMappedPorts(std::vector<SerialDevice>* list) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    for (DWORD i = 0; i < 1024; ++i) {
        char name[256], value[64];
        DWORD name_size = sizeof name, value_size = sizeof value - 1, type = 0;
        const LONG rc = RegEnumValueA(key, i, name, &name_size, nullptr, &type, reinterpret_cast<BYTE*>(value),
                                      &value_size);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS || type != REG_SZ) continue;
        value[std::min<DWORD>(value_size, sizeof value - 1)] = '\0';
        const std::string com = Upper(value);
        if (!ComName(com) || Listed(*list, com)) continue;
        SerialDevice d;
        d.path = com;
        d.module_name = ModuleName(com);
        d.aliases.push_back(name);
        list->push_back(d);
    }
    RegCloseKey(key);
}

// COM names defined in the DOS device namespace and nowhere else.
void AddDosDevicePorts(std::vector<SerialDevice>* list) {
    for (int i = 1; i <= 255; ++i) {
        const std::string com = "COM" + std::to_string(i);
        char target[512];
        if (Listed(*list, com) || QueryDosDeviceA(com.c_str(), target, sizeof target) == 0) continue;
        SerialDevice d;
        d.path = com;
        d.module_name = ModuleName(com);
        d.aliases.push_back(target);
        list->push_back(d);
    }
}

// COM2 before COM10.
int ComNumber(const std::string& com) { return std::atoi(com.c_str() + 3); }

}  // namespace

std::vector<SerialDevice> ListSerialDevices() {
    std::vector<SerialDevice> list;
    AddPlugAndPlayPorts(&list);
    AddMappedPorts(&list);
    AddDosDevicePorts(&list);
    std::sort(list.begin(), list.end(),
              [](const SerialDevice& a, const SerialDevice& b) { return ComNumber(a.path) < ComNumber(b.path); });
    return list;
}
