// The machine's ports behind the window's port interfaces.
#pragma once

#include <memory>

#include "app/ports.h"

namespace pelkar {

std::shared_ptr<PortDiscovery> MakeSystemPortDiscovery();
std::shared_ptr<PortChannel> MakeSerialChannel();

}  // namespace pelkar
