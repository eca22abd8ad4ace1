#include "envelope.hpp"

#include <algorithm>

namespace vorn {

void EnvelopeRuns::clear() {
  pts_.clear();
  runs_ = {};
  groups_ = {};
}

void EnvelopeRuns::Hulls::add(std::span<const EnvelopePoint> pts, std::vector<EnvelopePoint>& scratch) {
  lower_hull(pts, scratch);
  points.insert(points.end(), scratch.begin(), scratch.end());
  starts.push_back(points.size());
}

void EnvelopeRuns::push(const EnvelopePoint& p) {
  pts_.push_back(p);
  if (pts_.size() % kRun != 0) return;
  runs_.add(std::span<const EnvelopePoint>(pts_).last(kRun), scratch_);
  if (runs_.count() % kGroup != 0) return;
  const std::size_t first = runs_.starts[runs_.count() - kGroup];
  groups_.add(std::span<const EnvelopePoint>(runs_.points).subspan(first), scratch_);
}

void EnvelopeRuns::hull(std::size_t lo, std::size_t hi, std::vector<EnvelopePoint>& out) const {
  out.clear();
  const std::span<const EnvelopePoint> pts(pts_);
  constexpr std::size_t kGroupPoints = kRun * kGroup;
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
      extend_lower_hull(pts.subspan(i, end - i), out);
      i = end;
    }
  }
}

}  // namespace vorn
