// sorted_ids: ids gathered in another order (a walk over values gathers
// them in value order) put in ascending order, the order a set is built
// from.
#pragma once

#include <cstdint>
#include <span>

namespace quorvane {

// Sorts `ids` in place and returns them.
std::span<const uint32_t> sorted_ids(std::span<uint32_t> ids);

}  // namespace quorvane
