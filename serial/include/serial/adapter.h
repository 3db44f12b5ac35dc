// Which adapter a port is: a USB serial adapter's identity, its latency timer, whether this
// user can open the port now and which other programs hold it. On Windows only the latency
// timer of FTDI adapters is known.
#pragma once

#include <cstddef>
#include <filesystem>
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
  Busy,      // another program holds it (open, a lock on the device or a UUCP lock file)
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

// A process that has the device open.
struct PortHolder {
  long pid = 0;
  std::string name;  // its command name ("ModemManager"), "" when unreadable
};

// The other processes that hold the device open, found through /proc/<pid>/fd where this user
// may look, in pid order; this process is left out. Empty when none was seen, also where the
// system does not let us look: it says nothing rather than guess. Always empty on Windows.
std::vector<PortHolder> PortHolders(const std::string& path);
// The same over a /proc-like tree, with self (a pid) left out.
std::vector<PortHolder> PortHoldersUnder(const std::filesystem::path& proc, const std::string& path,
                                         long self);
// "ModemManager, pid 812" or "cat, pid 90; minicom, pid 91".
std::string HoldersText(const std::vector<PortHolder>& holders);
// The refusal of a port others hold: who holds it and what to do, in one line.
std::string HeldPortMessage(const std::string& path, const std::vector<PortHolder>& holders);

// The adapter's latency timer in milliseconds: on Linux the driver's sysfs latency_timer (1 while
// a port is open in low-latency mode), on Windows the FTDI driver's LatencyTimer of the
// adapter whose PortName is the port. Nothing when the port has none (not FTDI, a UART, a
// pseudo-terminal) or it cannot be read.
std::optional<unsigned> LatencyTimerMs(const std::string& path);

// One line for `update` to say before the transfer when the port's latency timer is above 2 ms:
// what it costs for an image of `blocks` blocks and how to lower it. Nothing at 2 ms or less
// or when the timer is unknown. On Linux, call it once the port is open: the open asks for
// low latency and the timer then reads 1 where the driver took it.
std::optional<std::string> LatencyAdvice(const std::string& path, std::size_t blocks);
// The text itself; `how` says how to lower the timer on this system.
std::optional<std::string> LatencyAdviceText(const std::string& port, unsigned ms,
                                             std::size_t blocks, const std::string& how);

}  // namespace pelkar
