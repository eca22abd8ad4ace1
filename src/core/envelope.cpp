#include "envelope.hpp"

#include <algorithm>

namespace vorn {

void EnvelopeRuns::Hulls::add(std::span<const EnvelopePoint> pts, std::vector<EnvelopePoint>& scratch) {
  lower_hull(pts, scratch);
  points.insert(points.end(), scratch.begin(), scratch.end());
  starts.push_back(points.size());
}

void EnvelopeRuns::Hulls::forget(std::size_t blocks) {
  const std::size_t cut = starts[blocks];
  points.erase(points.begin(), points.begin() + static_cast<std::ptrdiff_t>(cut));
  starts.erase(starts.begin(), starts.begin() + static_cast<std::ptrdiff_t>(blocks));
  for (std::size_t& s : starts) s -= cut;
  gone += blocks;
}

void EnvelopeRuns::clear() {
  first_ = 0;
  pts_.clear();
  runs_ = {};
  groups_ = {};
}

void EnvelopeRuns::push(const EnvelopePoint& p) {
  pts_.push_back(p);
  if (size() % kRun != 0) return;
  runs_.add(std::span<const EnvelopePoint>(pts_).last(kRun), scratch_);
  if (runs_.count() % kGroup != 0) return;
  groups_.add(std::span<const EnvelopePoint>(runs_.points).subspan(runs_.starts[runs_.count() - runs_.gone - kGroup]),
              scratch_);
}

void EnvelopeRuns::forget_before(std::size_t k) {
  const std::size_t cut = std::min(k, size()) / kGroupPoints * kGroupPoints;
  // A few groups at a time: each forgetting moves what is kept.
  if (cut < first_ + 4 * kGroupPoints) return;
  const std::size_t drop = cut - first_;
  pts_.erase(pts_.begin(), pts_.begin() + static_cast<std::ptrdiff_t>(drop));
  runs_.forget(drop / kRun);
  groups_.forget(drop / kGroupPoints);
  first_ = cut;
}

void EnvelopeRuns::hull(std::size_t lo, std::size_t hi, std::vector<EnvelopePoint>& out) const {
  out.clear();
  std::size_t i = lo;
  while (i < hi) {
    if (i % kGroupPoints == 0 && i + kGroupPoints <= hi && i / kGroupPoints < groups_.count()) {
      extend_lower_hull(groups_.of(i / kGroupPoints), out);
      i += kGroupPoints;
    } else if (i % kRun == 0 && i + kRun <= hi && i / kRun < runs_.count()) {
      extend_lower_hull(runs_.of(i / kRun), out);
      i += kRun;
    } else {
      const std::size_t end = std::min(hi, (i / kRun + 1) * kRun);
      extend_lower_hull(window(i, end), out);
      i = end;
    }
  }
}

}  // namespace vorn
