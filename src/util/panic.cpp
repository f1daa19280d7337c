#include "util/panic.h"

namespace quorvane {

void panic_out_of_bounds(std::size_t index, std::size_t length) {
  throw Panic("index out of bounds: the len is " + std::to_string(length) + " but the index is " +
              std::to_string(index));
}

}  // namespace quorvane
