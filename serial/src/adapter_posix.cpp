#include <libudev.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "serial/adapter.h"
#include "udev_handles.h"

namespace pelkar {
namespace {

namespace fs = std::filesystem;

constexpr char kById[] = "/dev/serial/by-id";

std::string Canonical(const std::string& path) {
  std::error_code ec;
  const fs::path p = fs::canonical(path, ec);
  return ec ? path : p.string();
}

// The by-id link that leads to the device, when udev's database did not name it.
std::string ByIdLinkTo(const std::string& device) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(kById, ec)) {
    if (Canonical(entry.path().string()) == device) return entry.path().string();
  }
  return "";
}

std::string Attribute(udev_device* d, const char* name) {
  const char* v = udev_device_get_sysattr_value(d, name);
  std::string s = v ? v : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
    s.pop_back();
  return s;
}

// The tty's properties; without a udev database, the USB device's sysfs attributes under
// the same names.
std::map<std::string, std::string> Properties(udev_device* tty) {
  std::map<std::string, std::string> props;
  for (udev_list_entry* e = udev_device_get_properties_list_entry(tty); e != nullptr;
       e = udev_list_entry_get_next(e)) {
    const char* value = udev_list_entry_get_value(e);
    props[udev_list_entry_get_name(e)] = value ? value : "";
  }
  if (props.count("ID_VENDOR_ID") > 0) return props;
  udev_device* usb = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device");
  if (usb == nullptr) return props;
  props["ID_BUS"] = "usb";
  props["ID_VENDOR_ID"] = Attribute(usb, "idVendor");
  props["ID_MODEL_ID"] = Attribute(usb, "idProduct");
  props["ID_VENDOR"] = Attribute(usb, "manufacturer");
  props["ID_MODEL"] = Attribute(usb, "product");
  props["ID_SERIAL_SHORT"] = Attribute(usb, "serial");
  return props;
}

bool LockFileHeld(const std::string& device) {
  const std::string name = fs::path(device).filename().string();
  for (const char* dir : {"/run/lock", "/var/lock"}) {
    std::ifstream lock(std::string(dir) + "/LCK.." + name);
    long pid = 0;
    if (lock >> pid && pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM)) {
      return true;
    }
  }
  return false;
}

bool AllDigits(const std::string& name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
  });
}

bool SameDevice(const struct stat& a, const struct stat& b) {
  if (S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode)) return a.st_rdev == b.st_rdev;
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Where the driver tells the latency timer: the tty's device (the usb-serial port) in sysfs.
std::string LatencyTimerFile(const std::string& path) {
  return "/sys/class/tty/" + fs::path(Canonical(path)).filename().string() +
         "/device/latency_timer";
}

}  // namespace

std::vector<PortHolder> PortHoldersUnder(const fs::path& proc, const std::string& path, long self) {
  std::vector<PortHolder> holders;
  struct stat device {};
  if (::stat(path.c_str(), &device) != 0) return holders;
  std::error_code ec;
  for (const auto& process : fs::directory_iterator(proc, ec)) {
    const std::string pid = process.path().filename().string();
    if (!AllDigits(pid) || std::stol(pid) == self) continue;
    // Another user's descriptors are hidden unless we are root: those are not seen, not
    // guessed.
    std::error_code fd_ec;
    for (const auto& fd : fs::directory_iterator(process.path() / "fd", fd_ec)) {
      struct stat st {};
      if (::stat(fd.path().c_str(), &st) != 0 || !SameDevice(st, device)) continue;
      PortHolder holder{std::stol(pid), ""};
      std::ifstream comm(process.path() / "comm");
      std::getline(comm, holder.name);
      holders.push_back(std::move(holder));
      break;
    }
  }
  std::sort(holders.begin(), holders.end(),
            [](const PortHolder& a, const PortHolder& b) { return a.pid < b.pid; });
  return holders;
}

std::vector<PortHolder> PortHolders(const std::string& path) {
  return PortHoldersUnder("/proc", path, static_cast<long>(::getpid()));
}

std::optional<unsigned> LatencyTimerMs(const std::string& path) {
  std::ifstream file(LatencyTimerFile(path));
  unsigned ms = 0;
  if (file >> ms) return ms;
  return std::nullopt;
}

std::optional<std::string> LatencyAdvice(const std::string& path, std::size_t blocks) {
  const auto ms = LatencyTimerMs(path);
  if (!ms) return std::nullopt;
  return LatencyAdviceText(path, *ms, blocks,
                           "The driver did not take the low-latency request; to lower the timer "
                           "to 1 ms: echo 1 | sudo tee " +
                               LatencyTimerFile(path));
}

std::optional<UsbAdapter> AdapterForDevice(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return std::nullopt;
  std::unique_ptr<udev, UdevDeleter> u(udev_new());
  if (!u) return std::nullopt;
  std::unique_ptr<udev_device, UdevDeleter> tty(
      udev_device_new_from_devnum(u.get(), 'c', st.st_rdev));
  if (!tty) return std::nullopt;
  auto adapter = AdapterFromProperties(Properties(tty.get()));
  if (adapter && adapter->by_id.empty()) adapter->by_id = ByIdLinkTo(Canonical(path));
  return adapter;
}

std::vector<UsbAdapter> UsbAdapters() {
  std::vector<UsbAdapter> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(kById, ec)) {
    if (auto a = AdapterForDevice(entry.path().string())) {
      a->by_id = entry.path().string();
      found.push_back(std::move(*a));
    }
  }
  return found;
}

PortAccess AccessOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return PortAccess::Missing;
  if (::access(path.c_str(), R_OK | W_OK) != 0) {
    return errno == ENOENT ? PortAccess::Missing : PortAccess::NoAccess;
  }
  std::ifstream locks("/proc/locks");
  std::stringstream text;
  text << locks.rdbuf();
  if (LockedIn(text.str(), major(st.st_dev), minor(st.st_dev), st.st_ino) ||
      LockFileHeld(Canonical(path)) || !PortHolders(path).empty()) {
    return PortAccess::Busy;
  }
  return PortAccess::Ready;
}

}  // namespace pelkar
