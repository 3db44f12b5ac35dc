// Which adapter a port is: a USB serial adapter's identity, and whether this user can open
// the port now. On Windows nothing is known of adapters yet.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelkar {

struct UsbAdapter {
  std::string vendor_id;     // four hexadecimal digits, "0403"
  std::string product_id;    // "6001"
  std::string manufacturer;  // "FTDI"
  std::string product;       // "FT232R USB UART"
  std::string serial;        // "A50285BI"; "" when the adapter has none
  std::string by_id;         // the stable link, /dev/serial/by-id/...; "" when there is none
};

// A USB adapter from a tty's udev properties: ID_VENDOR_ID, ID_MODEL_ID, ID_VENDOR_ENC or
// ID_VENDOR, ID_MODEL_ENC or ID_MODEL, ID_SERIAL_SHORT, and DEVLINKS (for the by-id link).
// The _ENC forms keep spaces as \x20 and are decoded. Nothing when the port is not on USB
// (no ID_BUS=usb and no vendor id).
std::optional<UsbAdapter> AdapterFromProperties(const std::map<std::string, std::string>& props);

// The machine's adapter behind a device path (links followed): its udev properties, or,
// without a udev database, the sysfs attributes of its USB device and a /dev/serial/by-id
// link to it.
std::optional<UsbAdapter> AdapterForDevice(const std::string& path);

// Every USB serial adapter with a by-id link, for finding one by its serial number.
std::vector<UsbAdapter> UsbAdapters();

enum class PortAccess {
  Ready,     // this user may open it and nobody holds it
  NoAccess,  // the permissions do not let this user open it
  Busy,      // another program holds it (a lock on the device or a UUCP lock file)
  Missing,   // no such device
  Unknown,   // the system does not tell
};
const char* AccessName(PortAccess access);  // "ready", "no-access", "busy", "missing", "unknown"

// Looks without opening the port: opening a serial port raises its modem lines, which
// resets many boards.
PortAccess AccessOf(const std::string& path);

// True when /proc/locks (its text) lists a lock on the file with this device number (of the
// file system holding it) and inode.
bool LockedIn(std::string_view proc_locks, unsigned major, unsigned minor, unsigned long inode);

}  // namespace pelkar
