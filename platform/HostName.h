#pragma once

#include <string>

namespace platform {

// This computer's host name as the network knows it ("" when the system does not say).
std::string HostName();

} // namespace platform
