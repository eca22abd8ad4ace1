// Lower convex hulls of windows of a long run of points, found without
// walking every point of every window.
//
// The sample clock fits a line under the arrivals of several seconds about
// each stretch of packets: thousands of points per window, windows overlapping
// almost whole. A point on the lower hull of a set is on the lower hull of any
// subset holding it, so the hull of a window is the hull of the hulls of the
// fixed runs it covers whole (a few points each) and of the points at its
// ragged ends. The points' coordinates are whole numbers well inside a
// double's exact range, so every turn is decided exactly and the hull found
// this way is the very one a walk over every point gives.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace vorn {

// A point of the envelope: sample number, and latest send time in ns from a
// segment's first.
struct EnvelopePoint {
  double x;
  double y;
};

// z-component of (a - o) x (b - o): positive for a left (counter-clockwise) turn.
inline double cross(const EnvelopePoint& o, const EnvelopePoint& a, const EnvelopePoint& b) {
  return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x);
}

// Appends pts (x strictly increasing, beyond hull's last point) to the lower
// hull being built in `hull`.
inline void extend_lower_hull(std::span<const EnvelopePoint> pts, std::vector<EnvelopePoint>& hull) {
  for (const EnvelopePoint& p : pts) {
    while (hull.size() >= 2 && cross(hull[hull.size() - 2], hull.back(), p) <= 0) hull.pop_back();
    hull.push_back(p);
  }
}

// The lower convex hull of pts (x strictly increasing) into `hull`.
inline void lower_hull(std::span<const EnvelopePoint> pts, std::vector<EnvelopePoint>& hull) {
  hull.clear();
  extend_lower_hull(pts, hull);
}

// Points appended one by one (x strictly increasing), with the lower hulls of
// their runs of kRun and of kRun * kGroup points kept as they complete. Points
// are numbered from 0 in the order pushed; those before a group's start can be
// forgotten once no window reaches back to them.
class EnvelopeRuns {
 public:
  static constexpr std::size_t kRun = 32;
  static constexpr std::size_t kGroup = 16;  // runs per group

  void clear();
  void push(const EnvelopePoint& p);
  // How many points were pushed since the last clear().
  std::size_t size() const { return first_ + pts_.size(); }
  const EnvelopePoint& operator[](std::size_t i) const { return pts_[i - first_]; }
  // Points [lo, hi), none of them forgotten.
  std::span<const EnvelopePoint> window(std::size_t lo, std::size_t hi) const {
    return std::span<const EnvelopePoint>(pts_).subspan(lo - first_, hi - lo);
  }
  // The lower hull of window(lo, hi) into `out`, as lower_hull gives it.
  void hull(std::size_t lo, std::size_t hi, std::vector<EnvelopePoint>& out) const;
  // Lets the points before k go (a whole number of groups of them at a time).
  void forget_before(std::size_t k);

 private:
  static constexpr std::size_t kGroupPoints = kRun * kGroup;

  // Hulls of consecutive blocks, one after another, and where each begins;
  // the first `gone` blocks forgotten.
  struct Hulls {
    std::vector<EnvelopePoint> points;
    std::vector<std::size_t> starts{0};
    std::size_t gone = 0;
    std::span<const EnvelopePoint> of(std::size_t k) const {
      k -= gone;
      return std::span<const EnvelopePoint>(points).subspan(starts[k], starts[k + 1] - starts[k]);
    }
    std::size_t count() const { return gone + starts.size() - 1; }
    void add(std::span<const EnvelopePoint> pts, std::vector<EnvelopePoint>& scratch);
    void forget(std::size_t blocks);
  };

  std::size_t first_ = 0;  // the number of pts_[0]
  std::vector<EnvelopePoint> pts_;
  Hulls runs_;
  Hulls groups_;
  std::vector<EnvelopePoint> scratch_;
};

}  // namespace vorn
