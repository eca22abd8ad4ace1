// The compact record: values of one kind in a shared area, the timestamp in
// one word, the invalid list as codes, and the extension block that takes
// both over when they do not fit.
#include <gtest/gtest.h>

#include <bit>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "packet_builders.hpp"
#include "records.hpp"

namespace vorn {
namespace {

// Whether the record holds no value of `kind`, by every row of the field table.
bool no_values_of(const IMUPacket& p, PacketKind kind) {
  bool none = true;
  for_each_field([&](auto f) {
    if (f.info.kind == kind && p.get(f.slot)) none = false;
  });
  return none;
}

bool no_raw_values(const IMUPacket& p) { return no_values_of(p, PacketKind::Raw); }

bool no_estimated_values(const IMUPacket& p) { return no_values_of(p, PacketKind::Estimated); }

const Timestamp kAbove64 = (static_cast<Timestamp>(1) << 64) + 5;
const Timestamp kAllOnes = ~static_cast<Timestamp>(0);
const Timestamp kStamps[] = {
    0,       1733490000123456789u, std::numeric_limits<std::uint64_t>::max(), static_cast<Timestamp>(1) << 64, kAbove64,
    kAllOnes};

TEST(Record, KindsShareTheValueAreaButNotTheirValues) {
  // Both kinds use presence bit 0 and the first float; the kind keeps them apart.
  IMUPacket raw(PacketKind::Raw, 42);
  raw.set(slot_of<"scaled_accel">, Vector3{std::bit_cast<float>(0x7FC12345u), -0.0f, 1.0f});
  EXPECT_EQ(raw.packet_type(), "raw");
  EXPECT_FALSE(raw.invalid_fields());
  EXPECT_TRUE(no_estimated_values(raw));
  ASSERT_TRUE(raw.get(slot_of<"scaled_accel">));
  EXPECT_EQ(test::bits_of((*raw.get(slot_of<"scaled_accel">))[0]), 0x7FC12345u);
  EXPECT_EQ(test::bits_of((*raw.get(slot_of<"scaled_accel">))[1]), 0x80000000u);
  EXPECT_FALSE(raw.get(slot_of<"scaled_gyro">));

  IMUPacket est(PacketKind::Estimated, 43);
  est.set(slot_of<"est_pressure_alt">, std::bit_cast<float>(0xFF800001u));
  est.set(slot_of<"est_gravity_vector">, Vector3{7, 8, 9});  // the last floats of the area
  EXPECT_EQ(est.packet_type(), "estimated");
  EXPECT_TRUE(no_raw_values(est));
  EXPECT_EQ(test::bits_of(*est.get(slot_of<"est_pressure_alt">)), 0xFF800001u);
  EXPECT_EQ(est.get(slot_of<"est_gravity_vector">), (Vector3{7, 8, 9}));
  EXPECT_FALSE(est.get(slot_of<"est_orient_quaternion">));

  IMUPacket empty;
  EXPECT_EQ(empty.packet_type(), "raw");
  EXPECT_TRUE(empty.timestamp() == 0);
  EXPECT_TRUE(no_raw_values(empty) && no_estimated_values(empty));
}

// A list of `n` names in an order that repeats and jumps about.
InvalidNames scrambled(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  InvalidNames names;
  for (std::size_t i = 0; i < n; ++i) {
    EXPECT_TRUE(names.push_back(static_cast<EstField>(1 + rng() % 7)));
  }
  return names;
}

std::string joined(const InvalidNames& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) out += (i ? "," : "") + std::string(invalid_name(names[i]));
  return out;
}

TEST(Record, EveryTimestampWithEveryListLength) {
  // Inline and extended, each way into the extension (timestamp first, list
  // first), and back out through moves: ASan and LSan watch the block.
  for (Timestamp stamp : kStamps) {
    for (std::size_t n = 0; n <= InvalidNames::kCapacity; ++n) {
      const InvalidNames names = scrambled(n, static_cast<unsigned>(n));
      IMUPacket rec(PacketKind::Estimated, stamp);
      rec.set(slot_of<"est_orient_quaternion">, Quaternion{1, 2, 3, 4});
      rec.set_invalid_names(names);
      IMUPacket moved(std::move(rec));
      IMUPacket assigned(PacketKind::Raw, kAllOnes);  // its own block is released by the assignment
      assigned = std::move(moved);
      EXPECT_TRUE(assigned.timestamp() == stamp) << n;
      EXPECT_EQ(assigned.invalid_names(), names) << n;
      EXPECT_EQ(assigned.invalid_fields(), n == 0 ? std::nullopt : std::optional<std::string>(joined(names))) << n;
      EXPECT_EQ(assigned.get(slot_of<"est_orient_quaternion">), (Quaternion{1, 2, 3, 4})) << n;
      EXPECT_EQ(assigned.kind(), PacketKind::Estimated);
    }
  }
}

TEST(Record, ListReplacedInPlace) {
  IMUPacket rec(PacketKind::Estimated, 7);
  rec.set_invalid_names(scrambled(20, 1));
  rec.set_invalid_names(scrambled(2, 2));  // shorter after longer: the block stays, the list follows
  EXPECT_EQ(rec.invalid_names(), scrambled(2, 2));
  rec.set_invalid_names(InvalidNames{});
  EXPECT_FALSE(rec.invalid_fields());
  EXPECT_TRUE(rec.timestamp() == 7);
}

TEST(InvalidNamesCodes, FullListRoundTripsAndRefusesMore) {
  InvalidNames names;
  for (std::size_t i = 0; i < InvalidNames::kCapacity; ++i) ASSERT_TRUE(names.push_back(EstField::PressureAlt));
  EXPECT_FALSE(names.push_back(EstField::OrientQuaternion));
  EXPECT_EQ(names.size(), InvalidNames::kCapacity);
  EXPECT_EQ(InvalidNames::from_codes(names.codes()), names);
  for (std::size_t n : {1u, 7u, 8u, 21u, 22u, 30u}) {
    const InvalidNames some = scrambled(n, 99);
    EXPECT_EQ(InvalidNames::from_codes(some.codes()).size(), n);
  }
}

}  // namespace
}  // namespace vorn
