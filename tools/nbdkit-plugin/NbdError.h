#pragma once

#include <exception>
#include <string>

namespace fleck::nbd {

// The errno that an NBD client should see for a failure: ENOMEM for memory, EINVAL for
// a bad argument or a transfer outside the disk, ENOTSUP for what the disk cannot do,
// the operating system's own number when the library recorded one (property "errno"
// of the error or one of its causes), else EIO.
int errnoFor(const std::exception& error) noexcept;

// One line for nbdkit's log: the library's message with the file it names and its
// cause.
std::string describeError(const std::exception& error);

}  // namespace fleck::nbd
