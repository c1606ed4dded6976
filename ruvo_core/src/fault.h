// Faults: broken stored invariants and impossible states.
//
// A fault is not an error value. It abandons the current operation by
// throwing ruvo::Fault; the Python module boundary turns it into the panic
// exception. Every other failure travels as an error value (std::expected).
#pragma once

#include <stdexcept>
#include <string>

namespace ruvo {

class Fault : public std::runtime_error {
 public:
  explicit Fault(const std::string& message) : std::runtime_error(message) {}
};

// Throws Fault(message). Never returns.
[[noreturn]] inline void fault(const std::string& message) { throw Fault(message); }

}  // namespace ruvo
