#pragma once
#include <string_view>

namespace platform {

// Writes all of data to fd, going on after short writes and interruptions; false at
// the first error (errno tells which).
bool WriteAll(int fd, std::string_view data);

} // namespace platform
