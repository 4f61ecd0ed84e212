// What a Windows device instance ID tells of a USB serial adapter: its
// vendor and product IDs and the serial number its maker gave it. Plain
// text work, so that it is checked on any platform.
#ifndef QDXPOLL_USB_INSTANCE_ID_H
#define QDXPOLL_USB_INSTANCE_ID_H

#include <string>

struct UsbInstanceId {
    std::string usb_id;         // VID:PID in lower-case hex, as Linux shows it: 0403:6001
    std::string serial_number;  // "" when the adapter has none
};

// Reads IDs such as
//   USB\VID_0403&PID_6001\A600XYZ            the USB device, its serial number last
//   FTDIBUS\VID_0403+PID_6001+A600XYZA\0000   FTDI's own driver: '+' between them
//   USB\VID_067B&PID_2303\5&2A3B1C&0&2       no serial number: Windows made one up
//   USB\VID_1A86&PID_7523&MI_00\6&1F&0&0000  one interface of a composite device
// An ID that names no USB device (ACPI\PNP0501\1) gives both empty.
UsbInstanceId ParseUsbInstanceId(const std::string& instance_id);

#endif  // QDXPOLL_USB_INSTANCE_ID_H
