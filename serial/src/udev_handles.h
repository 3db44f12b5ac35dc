// Releases libudev's objects held in std::unique_ptr by their own unref calls.
#pragma once

#include <libudev.h>

namespace pelkar {

struct UdevDeleter {
  void operator()(udev* u) const { udev_unref(u); }
  void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
  void operator()(udev_device* d) const { udev_device_unref(d); }
};

}  // namespace pelkar
