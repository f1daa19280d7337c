#include "index/core/insertion_chain.h"

#include <algorithm>
#include <vector>

namespace quorvane {
namespace {

std::vector<uint32_t>& chain() noexcept {
  thread_local std::vector<uint32_t> ids;
  return ids;
}

}  // namespace

InsertionScope::InsertionScope(uint32_t id) {
  chain().push_back(id);
}
InsertionScope::~InsertionScope() {
  chain().pop_back();
}

bool insertion_chain_has_ancestor(uint32_t id) noexcept {
  const auto& ids = chain();
  if (ids.size() < 2) return false;
  return std::find(ids.begin(), ids.end() - 1, id) != ids.end() - 1;
}

}  // namespace quorvane
