// The export's MCAP writer and ROS 2 message packer: record layout, offsets
// and CRCs a reader seeks and checks with, and the packing cases a recording
// rarely holds (stamps before the epoch or past int32 seconds, odd frame ids).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "mcap_records.hpp"
#include "ros_messages.hpp"

namespace vorn {
namespace {

using Bytes = std::vector<std::uint8_t>;

template <class T>
T get(const std::uint8_t* p) {
  T v{};
  std::memcpy(&v, p, sizeof v);
  return v;
}

struct Record {
  std::uint8_t op;
  std::size_t at;  // offset of the opcode
  Bytes body;
};

// Walks the records between the magic bytes; fails the test on a bad length.
std::vector<Record> records(const Bytes& file) {
  std::vector<Record> out;
  std::size_t at = 8;
  while (at + 9 <= file.size() - 8) {
    const auto len = get<std::uint64_t>(&file[at + 1]);
    EXPECT_LE(at + 9 + len, file.size() - 8);
    if (at + 9 + len > file.size() - 8) break;
    out.push_back({file[at], at,
                   Bytes(file.begin() + static_cast<std::ptrdiff_t>(at + 9),
                         file.begin() + static_cast<std::ptrdiff_t>(at + 9 + len))});
    at += 9 + len;
  }
  EXPECT_EQ(at, file.size() - 8);
  return out;
}

void drain(mcap::Writer& w, Bytes& file) {
  file.insert(file.end(), w.output().begin(), w.output().end());
  w.clear_output();
}

mcap::Writer with_channels(std::size_t chunk_size) {
  mcap::Writer w("ros2", "test", chunk_size);
  const std::uint8_t def[] = {'x'};
  EXPECT_TRUE(w.schema(1, "t/msg/T", "ros2msg", def));
  EXPECT_FALSE(w.schema(1, "again", "ros2msg", def));
  for (std::uint16_t id = 1; id <= ros::kTopics; ++id) EXPECT_TRUE(w.channel(id, 1, "/t", "cdr", {{"k", "v"}}));
  EXPECT_FALSE(w.channel(11, 2, "/t", "cdr", {}));  // no schema 2
  return w;
}

// One bit at a time, as the polynomial defines it.
std::uint32_t crc_by_bits(const std::uint8_t* p, std::size_t n) {
  std::uint32_t crc = ~0u;
  for (std::size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int k = 0; k < 8; ++k) crc = (crc & 1u) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
  }
  return ~crc;
}

TEST(Crc32, EveryLengthAndAlignmentAgreesWithTheDefinition) {
  // Short inputs take the tables; from 64 bytes on, carry-less folding where
  // the CPU has it, then the tables for the tail.
  Bytes data(1 << 20);
  std::uint32_t x = 12345;
  for (auto& b : data) b = static_cast<std::uint8_t>((x = x * 1103515245u + 12345u) >> 16);
  for (std::size_t offset = 0; offset < 16; offset += 5) {
    for (std::size_t n = 0; n < 300; ++n) {
      ASSERT_EQ(mcap::crc32(std::span(data).subspan(offset, n)), crc_by_bits(&data[offset], n)) << offset << " " << n;
    }
  }
  EXPECT_EQ(mcap::crc32(data), crc_by_bits(data.data(), data.size()));
}

TEST(Crc32, MatchesZlibAcrossPieces) {
  const std::string text = "123456789";
  const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
  EXPECT_EQ(mcap::crc32({p, text.size()}), 0xCBF43926u);
  Bytes long_data(1000);
  for (std::size_t i = 0; i < long_data.size(); ++i) long_data[i] = static_cast<std::uint8_t>(i * 7 + 3);
  const std::uint32_t whole = mcap::crc32(long_data);
  for (std::size_t cut : {0u, 1u, 7u, 8u, 13u, 999u}) {
    EXPECT_EQ(mcap::crc32(std::span(long_data).subspan(cut), mcap::crc32(std::span(long_data).first(cut))), whole);
  }
}

TEST(McapWriter, ChunksIndexesAndSummaryPointWhereReadersSeek) {
  mcap::Writer w = with_channels(100);
  Bytes file;
  drain(w, file);
  const std::uint8_t body[40] = {};
  std::map<std::uint16_t, std::uint64_t> sent;
  // 31 + 40 bytes a message: a chunk closes at its second message.
  for (std::uint64_t i = 0; i < 5; ++i) {
    const auto ch = static_cast<std::uint16_t>(1 + i % 2);
    w.message(ch, 1000 - i, 7, body);
    ++sent[ch];
  }
  EXPECT_EQ(w.closed_chunks(), 2u);
  EXPECT_FALSE(w.metadata("m", {}));  // chunks are not written yet
  EXPECT_FALSE(w.finish());
  while (w.closed_chunks() > 0) {
    const Bytes raw(w.closed_chunk(0).begin(), w.closed_chunk(0).end());
    ASSERT_TRUE(w.write_chunk("", raw));
  }
  EXPECT_FALSE(w.write_chunk("", {}));
  w.close_chunk();
  ASSERT_TRUE(w.write_chunk("", Bytes(w.closed_chunk(0).begin(), w.closed_chunk(0).end())));
  EXPECT_TRUE(w.metadata("m", {{"a", "b"}}));
  EXPECT_TRUE(w.finish());
  drain(w, file);
  EXPECT_EQ(w.start_time(), 996u);
  EXPECT_EQ(w.end_time(), 1000u);

  const auto recs = records(file);
  std::map<std::size_t, const Record*> at;
  for (const Record& r : recs) at[r.at] = &r;
  // Footer: the summary's start, its offsets' start, and the CRC over both up
  // to the footer's own last field.
  const Record& footer = recs.back();
  ASSERT_EQ(footer.op, 0x02);
  const auto summary = get<std::uint64_t>(&footer.body[0]);
  const auto offsets = get<std::uint64_t>(&footer.body[8]);
  EXPECT_EQ(get<std::uint32_t>(&footer.body[16]),
            mcap::crc32(std::span(file).subspan(summary, footer.at + 9 + 16 - summary)));
  ASSERT_TRUE(at.count(summary) && at.count(offsets));
  EXPECT_EQ(at[summary]->op, 0x03);  // the schemas first
  std::size_t chunks = 0, messages = 0;
  for (const Record& r : recs) {
    if (r.op == 0x0E) {  // a summary offset: group opcode, start, length
      ASSERT_TRUE(at.count(get<std::uint64_t>(&r.body[1])));
      EXPECT_EQ(at[get<std::uint64_t>(&r.body[1])]->op, r.body[0]);
    }
    if (r.op == 0x0B) {  // statistics: counts match, channels in their order
      EXPECT_EQ(get<std::uint64_t>(&r.body[0]), 5u);
      EXPECT_EQ(get<std::uint32_t>(&r.body[22]), 3u);  // chunks
      EXPECT_EQ(get<std::uint16_t>(&r.body[46]), 1);
      EXPECT_EQ(get<std::uint64_t>(&r.body[48]), sent[1]);
    }
    if (r.op != 0x08) continue;
    // A chunk index: the chunk at its offset, each message index it names
    // pointing at messages of that channel inside the chunk's records, whose
    // CRC the chunk carries.
    ++chunks;
    const auto chunk_at = get<std::uint64_t>(&r.body[16]);
    ASSERT_TRUE(at.count(chunk_at));
    const Record& chunk = *at[chunk_at];
    ASSERT_EQ(chunk.op, 0x06);
    EXPECT_EQ(get<std::uint64_t>(&r.body[24]), 9 + chunk.body.size());
    const Bytes inner(chunk.body.begin() + 8 * 3 + 4 + 4 + 8, chunk.body.end());
    EXPECT_EQ(get<std::uint32_t>(&chunk.body[24]), mcap::crc32(inner));
    const auto map_len = get<std::uint32_t>(&r.body[32]);
    for (std::size_t k = 0; k < map_len; k += 10) {
      const auto ch = get<std::uint16_t>(&r.body[36 + k]);
      const Record& index = *at.at(get<std::uint64_t>(&r.body[38 + k]));
      ASSERT_EQ(index.op, 0x07);
      EXPECT_EQ(get<std::uint16_t>(&index.body[0]), ch);
      for (std::size_t e = 6; e < index.body.size(); e += 16) {
        const auto offset = get<std::uint64_t>(&index.body[e + 8]);
        EXPECT_EQ(inner[offset], 0x05);
        EXPECT_EQ(get<std::uint16_t>(&inner[offset + 9]), ch);
        EXPECT_EQ(get<std::uint64_t>(&inner[offset + 15]), get<std::uint64_t>(&index.body[e]));
        ++messages;
      }
    }
  }
  EXPECT_EQ(chunks, 3u);
  EXPECT_EQ(messages, 5u);
}

TEST(McapWriter, ChunksInLentRoomsMakeTheSameFile) {
  // Rooms lent, one refused, one too small, and a message larger than a room
  // is asked for: each chunk lies where it says, and the file is byte for
  // byte that of a writer with storage of its own.
  struct Pool final : mcap::Rooms {
    std::deque<Bytes> rooms;
    int lent = 0;
    std::span<std::uint8_t> lend(std::size_t size) override {
      ++lent;
      if (lent == 2) return {};
      rooms.emplace_back(lent == 3 ? size - 1 : size);
      return rooms.back();
    }
  };
  Pool pool;
  Bytes files[2];
  std::vector<bool> placed;
  for (int with_rooms = 0; with_rooms < 2; ++with_rooms) {
    mcap::Writer w = with_channels(100);
    if (with_rooms) w.set_rooms(&pool);
    const Bytes small(40, 7), large(70000, 9);
    for (std::uint64_t i = 0; i < 9; ++i) {
      w.message(static_cast<std::uint16_t>(1 + i % 2), i, i, i == 5 ? large : small);
      if (i == 8) w.close_chunk();
      while (w.closed_chunks() > 0) {
        const auto raw = w.closed_chunk(0);
        const bool lies_in_pool = std::any_of(pool.rooms.begin(), pool.rooms.end(), [&](const Bytes& r) {
          return raw.data() >= r.data() && raw.data() + raw.size() <= r.data() + r.size();
        });
        EXPECT_EQ(w.in_room(0), lies_in_pool);
        if (with_rooms) placed.push_back(w.in_room(0));
        ASSERT_TRUE(w.write_chunk("", Bytes(raw.begin(), raw.end())));
      }
    }
    ASSERT_TRUE(w.finish());
    drain(w, files[with_rooms]);
  }
  EXPECT_EQ(files[0], files[1]);
  // Two messages a chunk but around the large one, which has one of its own.
  EXPECT_EQ(placed, (std::vector<bool>{true, false, false, true, true, true}));
}

// The first value column of field f.
std::size_t value_at(std::size_t f) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < f; ++i) n += kFields[i].floats;
  return n;
}

// One packet of either kind as columns, NaN for every value.
struct OnePacket {
  std::array<float, ros::kValueColumns> values;
  std::array<std::uint8_t, ros::kFlagColumns> flags{};
  std::uint8_t kind;
  std::int64_t stamp = 0, log_time = 0;
  ros::Columns columns() {
    ros::Columns c;
    c.count = 1;
    c.kinds = &kind;
    for (std::size_t k = 0; k < values.size(); ++k) c.values[k] = &values[k];
    for (std::size_t k = 0; k < flags.size(); ++k) c.flags[k] = &flags[k];
    c.stamps = &stamp;
    c.log_times = &log_time;
    return c;
  }
  explicit OnePacket(PacketKind k) : kind(static_cast<std::uint8_t>(k)) {
    values.fill(std::numeric_limits<float>::quiet_NaN());
  }
};

// The message bodies of one chunk, by channel.
std::multimap<std::uint16_t, Bytes> bodies(mcap::Writer& w) {
  w.close_chunk();
  std::multimap<std::uint16_t, Bytes> out;
  const auto raw = w.closed_chunk(0);
  for (std::size_t at = 0; at < raw.size();) {
    const auto len = get<std::uint64_t>(&raw[at + 1]);
    out.emplace(get<std::uint16_t>(&raw[at + 9]), Bytes(raw.begin() + static_cast<std::ptrdiff_t>(at + 31),
                                                        raw.begin() + static_cast<std::ptrdiff_t>(at + 9 + len)));
    at += 9 + len;
  }
  return out;
}

TEST(MessagePacker, StampsAndFrameIdsOfEveryLengthAlign) {
  for (std::size_t len = 0; len < 10; ++len) {
    mcap::Writer w = with_channels(1 << 20);
    ros::MessagePacker packer(std::string(len, 'f'));
    OnePacket p(PacketKind::Raw);
    p.stamp = -1;  // a nanosecond before the epoch: seconds -1, nanoseconds 999999999
    p.values[value_at(field_index("scaled_ambient_pressure"))] = 101325.0f;
    ASSERT_FALSE(packer.pack(p.columns(), w));
    const auto got = bodies(w);
    ASSERT_EQ(got.count(static_cast<std::uint16_t>(ros::Topic::Pressure)), 1u);
    const Bytes& b = got.find(static_cast<std::uint16_t>(ros::Topic::Pressure))->second;
    EXPECT_EQ(get<std::int32_t>(&b[4]), -1);
    EXPECT_EQ(get<std::uint32_t>(&b[8]), 999'999'999u);
    EXPECT_EQ(get<std::uint32_t>(&b[12]), len + 1);
    // Two doubles at the first offset past the frame id that is a multiple
    // of 8 counted after the encapsulation.
    const std::size_t doubles_at = 4 + ((12 + len + 1 + 7) / 8) * 8;
    ASSERT_EQ(b.size(), doubles_at + 16);
    EXPECT_EQ(get<double>(&b[doubles_at]), 101325.0);
  }
}

TEST(MessagePacker, RefusesTimesReadersCannotHold) {
  for (const auto& [stamp, log_time] : {std::pair<std::int64_t, std::int64_t>{0, -1},
                                        {std::int64_t{1} << 31 << 30, 0},  // beyond 2038's int32 seconds
                                        {-(std::int64_t{1} << 31) * 1'000'000'000 - 1, 0}}) {
    mcap::Writer w = with_channels(1 << 20);
    ros::MessagePacker packer("imu");
    OnePacket p(PacketKind::Estimated);
    p.stamp = stamp;
    p.log_time = log_time;
    EXPECT_EQ(packer.pack(p.columns(), w), std::optional<std::size_t>(0));
    EXPECT_EQ(w.message_count(static_cast<std::uint16_t>(ros::Topic::Data)), 0u);
  }
}

TEST(MessagePacker, FlaggedAndAbsentValuesSayNotGivenAndNamesFollowTheWire) {
  mcap::Writer w = with_channels(1 << 20);
  ros::MessagePacker packer("imu");  // frame "imu\0": header ends at 20, doubles from 20
  OnePacket p(PacketKind::Estimated);
  const std::size_t rate = value_at(field_index("est_angular_rate"));
  std::size_t flag = 0;
  for (std::size_t i = 0; i < field_index("est_orient_quaternion"); ++i) flag += kFields[i].flag != EstField{};
  p.values[rate] = 1.0f;
  p.values[rate + 1] = 2.0f;
  p.values[rate + 2] = 3.0f;
  p.flags[flag] = 1;  // orientation flagged, and absent
  p.flags[0] = 1;     // pressure altitude flagged: the last code on the wire
  ASSERT_FALSE(packer.pack(p.columns(), w));
  const auto got = bodies(w);
  const Bytes& imu = got.find(static_cast<std::uint16_t>(ros::Topic::Data))->second;
  ASSERT_EQ(imu.size(), 20u + 37 * 8);
  const auto d = [&](std::size_t k) { return get<double>(&imu[20 + 8 * k]); };
  EXPECT_EQ(d(3), 1.0);    // orientation w of an absent quaternion
  EXPECT_EQ(d(4), -1.0);   // its covariance: not given
  EXPECT_EQ(d(13), 1.0);   // angular rate x
  EXPECT_EQ(d(16), 0.0);   // present and valid: unknown
  EXPECT_EQ(d(28), -1.0);  // compensated accel absent
  const Bytes& names = got.find(static_cast<std::uint16_t>(ros::Topic::InvalidFields))->second;
  EXPECT_EQ(get<std::uint32_t>(&names[20]), 2u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&names[28])), "estOrientQuaternion");
  const std::size_t second = 28 + 20;  // 19 letters and a NUL end aligned
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&names[second + 4])), "estPressureAlt");
  EXPECT_EQ(got.count(static_cast<std::uint16_t>(ros::Topic::PressureAltitude)), 0u);
}

TEST(MessagePacker, BodyFrameTurnsVectorsAndCovariancesFillGivenValues) {
  mcap::Writer w = with_channels(1 << 20);
  ros::MessagePacker packer("imu");
  packer.set_body_frame(true);
  std::array<double, 9> rate_cov{}, accel_cov{};
  rate_cov[0] = rate_cov[4] = rate_cov[8] = 2e-6;
  accel_cov[0] = accel_cov[4] = accel_cov[8] = 3e-4;
  packer.set_covariances(rate_cov, accel_cov);
  OnePacket p(PacketKind::Estimated);
  const std::size_t q = value_at(field_index("est_orient_quaternion"));
  const std::size_t rate = value_at(field_index("est_angular_rate"));
  const std::size_t gravity = value_at(field_index("est_gravity_vector"));
  const std::size_t uncertainty = value_at(field_index("est_attitude_uncert_quaternion"));
  // Level, heading north in NED (w = 1): in ENU the body's x points north,
  // a quarter turn about z from east.
  p.values[q] = 1.0f;
  p.values[q + 1] = p.values[q + 2] = p.values[q + 3] = 0.0f;
  for (std::size_t k = 0; k < 3; ++k) {
    p.values[rate + k] = static_cast<float>(k + 1);
    p.values[gravity + k] = k == 2 ? 9.5f : 0.0f;
  }
  for (std::size_t k = 0; k < 4; ++k) p.values[uncertainty + k] = static_cast<float>(k + 1);
  ASSERT_FALSE(packer.pack(p.columns(), w));
  const auto got = bodies(w);
  const Bytes& imu = got.find(static_cast<std::uint16_t>(ros::Topic::Data))->second;
  const auto d = [&](std::size_t k) { return get<double>(&imu[20 + 8 * k]); };
  EXPECT_EQ(d(0), 0.0);
  EXPECT_EQ(d(1), 0.0);
  EXPECT_NEAR(d(2), std::sqrt(0.5), 1e-15);  // z
  EXPECT_NEAR(d(3), std::sqrt(0.5), 1e-15);  // w, kept non-negative
  // The orientation's covariance from the uncertainty's x, y, z (level,
  // heading north: 4 s^2 about north, east, down), about east, north, up.
  const std::array<double, 9> orientation_cov = {36, 0, 0, 0, 16, 0, 0, 0, 64};
  for (std::size_t k = 0; k < 9; ++k) EXPECT_NEAR(d(4 + k), orientation_cov[k], 1e-12) << k;
  EXPECT_EQ(d(13), 1.0);
  EXPECT_EQ(d(14), -2.0);
  EXPECT_EQ(d(15), -3.0);
  // The raw sensor's noise is not the filter's: unknown here.
  for (std::size_t k = 0; k < 9; ++k) EXPECT_EQ(d(16 + k), 0.0);
  EXPECT_EQ(d(28), -1.0);  // compensated accel absent: not given, whatever the covariance
  EXPECT_EQ(d(32), 0.0);
  const Bytes& g = got.find(static_cast<std::uint16_t>(ros::Topic::Gravity))->second;
  EXPECT_EQ(get<double>(&g[20 + 16]), -9.5);  // down becomes up
  // The uncertainty stays per quaternion part: x, y, z, w as sent.
  const Bytes& u = got.find(static_cast<std::uint16_t>(ros::Topic::AttitudeUncertainty))->second;
  for (std::size_t k = 0; k < 4; ++k) EXPECT_EQ(get<double>(&u[20 + 8 * k]), static_cast<double>((k + 1) % 4 + 1));
}

TEST(MessagePacker, BatchHoldsEachTopicsMessagesAsTheWriterGetsThem) {
  // Two raw packets and a filter packet, one with the uncertainty flagged.
  std::array<float, 3 * ros::kValueColumns> values;
  values.fill(std::numeric_limits<float>::quiet_NaN());
  std::array<std::uint8_t, 3 * ros::kFlagColumns> flags{};
  const std::uint8_t kinds[3] = {static_cast<std::uint8_t>(PacketKind::Raw), static_cast<std::uint8_t>(PacketKind::Raw),
                                 static_cast<std::uint8_t>(PacketKind::Estimated)};
  const std::int64_t stamps[3] = {1'000'000'000, 1'001'000'000, 1'001'500'000};
  const std::size_t accel = value_at(field_index("scaled_accel"));
  const std::size_t q = value_at(field_index("est_orient_quaternion"));
  const std::size_t u = value_at(field_index("est_attitude_uncert_quaternion"));
  for (std::size_t k = 0; k < 3; ++k) values[3 * (accel + k)] = values[3 * (accel + k) + 1] = 0.5f * k;
  for (std::size_t k = 0; k < 4; ++k) {
    values[3 * (q + k) + 2] = k == 0 ? 1.0f : 0.0f;
    values[3 * (u + k) + 2] = 0.01f;
  }
  std::size_t uflag = 0;
  for (std::size_t i = 0; i < field_index("est_attitude_uncert_quaternion"); ++i)
    uflag += kFields[i].flag != EstField{};
  flags[3 * uflag + 2] = 1;
  ros::Columns c;
  c.count = 3;
  c.kinds = kinds;
  for (std::size_t k = 0; k < ros::kValueColumns; ++k) c.values[k] = &values[3 * k];
  for (std::size_t k = 0; k < ros::kFlagColumns; ++k) c.flags[k] = &flags[3 * k];
  c.stamps = c.log_times = stamps;
  std::array<double, 9> cov{};
  cov[0] = cov[4] = cov[8] = 1e-3;
  mcap::Writer w = with_channels(1 << 20);
  ros::MessagePacker packer("imu_link");
  packer.set_covariances(cov, cov);
  ASSERT_FALSE(packer.pack(c, w));
  ros::MessageBatch batch;
  batch.begin_message(1, 0, 0, 3);  // cleared below
  batch.clear();
  ASSERT_FALSE(packer.pack(c, batch));
  const auto got = bodies(w);
  for (std::uint16_t id = 1; id <= ros::kTopics; ++id) {
    const auto& m = batch.topic(static_cast<ros::Topic>(id));
    auto [first, last] = got.equal_range(id);
    ASSERT_EQ(m.ends.size(), static_cast<std::size_t>(std::distance(first, last))) << id;
    std::size_t at = 0;
    for (std::size_t k = 0; first != last; ++first, ++k) {
      EXPECT_EQ(Bytes(m.bytes.begin() + static_cast<std::ptrdiff_t>(at),
                      m.bytes.begin() + static_cast<std::ptrdiff_t>(m.ends[k])),
                first->second)
          << id << " " << k;
      at = m.ends[k];
    }
  }
  // "imu_link\0" ends the header at 25: the doubles from 28.
  const auto& raw = batch.topic(ros::Topic::DataRaw);
  ASSERT_EQ(raw.ends.size(), 2u);
  const auto d = [&](std::size_t k) { return get<double>(&raw.bytes[raw.ends[0] + 28 + 8 * k]); };
  EXPECT_EQ(d(26), 0.5 * 9.80665);  // the second packet's accel y, in m/s²
  EXPECT_EQ(d(28), 1e-3);           // the raw sensor's covariance, the value given
  const auto& data = batch.topic(ros::Topic::Data);
  ASSERT_EQ(data.ends.size(), 1u);
  EXPECT_EQ(get<double>(&data.bytes[28 + 8 * 4]), -1.0);  // the uncertainty flagged: not given
}

}  // namespace
}  // namespace vorn
