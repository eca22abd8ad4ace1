// Storage of items handed out oldest first, from `head` on: what was given
// goes once it is all, or most, of what is kept, so that a long stream moves
// each item a bounded number of times.
#pragma once

#include <cstddef>
#include <iterator>
#include <vector>

namespace vorn {

template <class T>
void drop_given(std::vector<T>& items, std::size_t& head) {
  if (head == items.size()) {
    items.clear();
    head = 0;
  } else if (head > 4096 && head * 2 > items.size()) {
    items.erase(items.begin(), items.begin() + static_cast<std::ptrdiff_t>(head));
    head = 0;
  }
}

}  // namespace vorn
