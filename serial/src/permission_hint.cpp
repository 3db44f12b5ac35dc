#include <cstdio>

#include "serial/serial_comm.h"

namespace pelkar {

std::string PermissionHint(const DeviceAccess& a) {
  const std::string path = a.path.empty() ? std::string("the port") : a.path;
  if ((a.mode & 0060) == 0060 && !a.group_is_root && !a.group.empty()) {
    if (a.member) {
      return "You are in the group '" + a.group + "' that may open " + path +
             ", but not yet in this session: log out and in again (or run `newgrp " + a.group +
             "`).";
    }
    return "Add yourself to the group '" + a.group + "' that owns " + path + ": sudo usermod -aG " +
           a.group + " $USER, then log in again.";
  }
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", a.mode & 07777);
  return "Only " + (a.owner.empty() ? std::string("its owner") : "'" + a.owner + "'") +
         (a.group.empty() || (a.mode & 0060) != 0060 ? std::string()
                                                     : " and the group '" + a.group + "'") +
         " may open " + path + " (mode " + mode +
         "). Ask an administrator for a udev rule that gives a group access, e.g. in "
         "/etc/udev/rules.d/70-pelkar1.rules: SUBSYSTEM==\"tty\", KERNEL==\"ttyUSB[0-9]*\", "
         "GROUP=\"dialout\", MODE=\"0660\"; then replug the adapter and join that group.";
}

}  // namespace pelkar
