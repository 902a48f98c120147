#pragma once

#include <exception>
#include <string>

namespace fleck::nbd {

// The errno that an NBD client should see for a failure, one of those NBD carries:
// when the library recorded the operating system's number (property "errno" of the
// error or one of its causes) ENOSPC for a full disk or quota, EPERM for a refusal
// (also writing a disk served read-only), ENOMEM, else EIO; without one ENOMEM for
// memory, EINVAL for a bad argument or a transfer outside the disk, ENOTSUP for what
// the disk cannot do, else EIO.
int errnoFor(const std::exception& error) noexcept;

// One line for nbdkit's log: the library's message with the file it names and its
// cause.
std::string describeError(const std::exception& error);

}  // namespace fleck::nbd
