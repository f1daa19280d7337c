// Internal failures of the native core.
//
// Native code signals an impossible state, a poisoned lock or a failed
// allocation of a native structure by throwing `Panic`. The Python boundary
// turns it into `PanicException` in one place; native code never catches it
// except to clean up and rethrow.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace quorvane {

// An internal failure carrying its message text.
class Panic : public std::exception {
 public:
  explicit Panic(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Throws `Panic(message)` unless `condition` holds. For invariants that must
// hold at run time, not only in debug builds.
inline void check(bool condition, const char* message) {
  if (!condition) [[unlikely]] {
    throw Panic(message);
  }
}

// Throws the failure of an index beyond a table of `length` entries.
[[noreturn]] void panic_out_of_bounds(std::size_t index, std::size_t length);

}  // namespace quorvane
