// The one error type of the program: a bad number in a device reply, a PC file that cannot be
// opened or created, rich text that cannot be copied. Raised errors end the command under way and
// are reported to the user by the window.
#pragma once

#include <stdexcept>
#include <string>

namespace kv {

class EKvError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A PC file that cannot be opened, read, created or written: "Cannot open file" or "Cannot create
// file", the path, and the system's text.
class EPcFileError : public EKvError {
  public:
    using EKvError::EKvError;
};

} // namespace kv
