#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <random>
#include <string_view>
#include <vector>

#include "random_value.hpp"
#include "sorvel/protocol/report_stream.hpp"

namespace sorvel::protocol {

using Item = ReportStream::Item;

void PrintTo(const Item& item, std::ostream* os) {
  if (item) {
    *os << debug_text(*item);
  } else {
    *os << "error " << name(item.error());
  }
}

namespace {

using Bytes = std::vector<std::uint8_t>;

/// A report that differs from `report(m)` for every m != n.
SensorReport report(std::uint8_t n) {
  SensorReport r;
  r.body_part = static_cast<BodyPart>(n % kBodyPartCount);
  r.header = 1000u + n;
  for (std::size_t i = 0; i < r.samples.size(); ++i) {
    r.samples[i].value_a = n * 10u + i;
    r.samples[i].orientation = {16384, 0, 0, 0};
    r.samples[i].accuracy = n;
  }
  return r;
}

Bytes frame_of(std::uint8_t n) {
  return encode_report_frame(report(n));
}

/// Marker, length and `payload`, whatever the payload holds.
Bytes raw_frame(const Bytes& payload) {
  Bytes out{'S',
            'O',
            'R',
            '.',
            static_cast<std::uint8_t>(payload.size() & 0xFF),
            static_cast<std::uint8_t>(payload.size() >> 8)};
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

/// The payload of a frame produced by the encoder.
Bytes payload_of(const Bytes& frame) {
  return Bytes(frame.begin() + kReportHeaderSize, frame.end());
}

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes text(std::string_view s) {
  return Bytes(s.begin(), s.end());
}

/// Feeds `chunks` one after the other into one parser.
std::vector<Item> parse_chunks(const std::vector<Bytes>& chunks) {
  ReportStream stream;
  std::vector<Item> items;
  for (const Bytes& chunk : chunks) {
    stream.feed(chunk, [&](Item&& item) { items.push_back(std::move(item)); });
  }
  return items;
}

std::vector<Item> parse(const Bytes& bytes) {
  return parse_chunks({bytes});
}

/// `bytes` cut into pieces of the given size (the last one shorter).
std::vector<Bytes> cut(const Bytes& bytes, std::size_t size) {
  std::vector<Bytes> out;
  for (std::size_t at = 0; at < bytes.size(); at += size) {
    out.emplace_back(
        bytes.begin() + static_cast<std::ptrdiff_t>(at),
        bytes.begin() + static_cast<std::ptrdiff_t>(std::min(at + size, bytes.size())));
  }
  return out;
}

Item ok(std::uint8_t n) {
  return report(n);
}
Item failed(WireError error) {
  return unexpected(error);
}

TEST(ReportStream, FrameSplitAnywhereAcrossTwoTransfers) {
  const Bytes frame = frame_of(1);
  for (std::size_t split = 0; split <= frame.size(); ++split) {
    const Bytes first(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(split));
    const Bytes second(frame.begin() + static_cast<std::ptrdiff_t>(split), frame.end());
    ReportStream stream;
    std::vector<Item> items;
    stream.feed(first, [&](Item&& item) { items.push_back(std::move(item)); });
    EXPECT_EQ(items.size(), split == frame.size() ? 1u : 0u) << "after the first " << split;
    stream.feed(second, [&](Item&& item) { items.push_back(std::move(item)); });
    EXPECT_EQ(items, std::vector<Item>{ok(1)}) << "split at " << split;
  }
}

TEST(ReportStream, BytesAfterAPayloadStayForTheNextFrame) {
  const Bytes a = frame_of(4);
  const Bytes b = frame_of(5);
  EXPECT_EQ(parse(join({a, b})), (std::vector<Item>{ok(4), ok(5)})) << "two frames in one chunk";

  // The end of one frame and the start of the next in one transfer, cut at every point of b.
  for (std::size_t head = 0; head <= b.size(); ++head) {
    const Bytes first = join({a, Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(head))});
    const Bytes second(b.begin() + static_cast<std::ptrdiff_t>(head), b.end());
    ReportStream stream;
    std::vector<Item> items;
    stream.feed(first, [&](Item&& item) { items.push_back(std::move(item)); });
    EXPECT_EQ(items.size(), head == b.size() ? 2u : 1u) << head;
    stream.feed(second, [&](Item&& item) { items.push_back(std::move(item)); });
    EXPECT_EQ(items, (std::vector<Item>{ok(4), ok(5)})) << "b's first " << head << " bytes early";
  }
}

TEST(ReportStream, StrayBytesBeforeAFrameAreSkipped) {
  struct Case {
    std::string name;
    Bytes garbage;
  };
  std::vector<Case> cases;
  for (std::size_t length = 1; length <= 7; ++length) {
    cases.push_back({fmt::format("{} bytes", length), Bytes(length, 0xA5)});
    cases.push_back({fmt::format("{} dots", length), Bytes(length, '.')});
  }
  for (std::string_view prefix :
       {"S", "SO", "SOR", "SOR,", "SORS", "SOSO", "S.OR.", "RO.S", ".ROS"}) {
    cases.push_back({std::string(prefix), text(prefix)});
  }
  for (const Case& c : cases) {
    const Bytes stream = join({c.garbage, frame_of(7), c.garbage, frame_of(8)});
    const std::vector<Item> expected{ok(7), ok(8)};
    EXPECT_EQ(parse(stream), expected) << c.name << ", whole";
    EXPECT_EQ(parse_chunks(cut(stream, 1)), expected) << c.name << ", byte by byte";
    EXPECT_EQ(parse_chunks(cut(stream, 4)), expected) << c.name << ", in blocks of 4";
  }
  EXPECT_EQ(parse(text("SOR")), std::vector<Item>{}) << "a marker that never completes";
  EXPECT_EQ(parse(join({text("SOSOR."), Bytes{0, 0}})),
            std::vector<Item>{failed(WireError::DeserializeUnexpectedEnd)})
      << "\"SOSOR.\" is a marker after \"SO\"";
}

TEST(ReportStream, MalformedPayloadsYieldTheirErrorAndReadingGoesOn) {
  const Bytes good = payload_of(frame_of(9));
  struct Case {
    std::string name;
    Bytes frame;
    WireError error;
  };
  const std::vector<Case> cases{
      {"zero length", raw_frame({}), WireError::DeserializeUnexpectedEnd},
      {"body part 15", raw_frame(join({Bytes{0x0F}, Bytes(good.begin() + 1, good.end())})),
       WireError::SerdeDeCustom},
      {"over-long header varint", raw_frame({0x04, 0xFF, 0xFF, 0xFF, 0xFF, 0x10}),
       WireError::DeserializeBadVarint},
      {"cut after three samples", raw_frame(Bytes(good.begin(), good.end() - 24)),
       WireError::DeserializeUnexpectedEnd},
  };
  for (const Case& c : cases) {
    const Bytes stream = join({c.frame, frame_of(10)});
    const std::vector<Item> expected{failed(c.error), ok(10)};
    EXPECT_EQ(parse(stream), expected) << c.name;
    EXPECT_EQ(parse_chunks(cut(stream, 1)), expected) << c.name << ", byte by byte";
  }
}

TEST(ReportStream, PayloadBytesAreNeverSearchedForMarkers) {
  const Bytes inner = frame_of(11);
  // A payload that fails to decode, holding a whole frame: consumed, not searched.
  const Bytes bad = raw_frame(join({Bytes{0x0F}, inner}));
  EXPECT_EQ(parse(join({bad, frame_of(12)})),
            (std::vector<Item>{failed(WireError::SerdeDeCustom), ok(12)}));
  // A payload that decodes, with a frame in the ignored bytes after its fourth sample.
  const Bytes padded = raw_frame(join({payload_of(frame_of(13)), inner}));
  EXPECT_EQ(parse(join({padded, frame_of(12)})), (std::vector<Item>{ok(13), ok(12)}));
}

TEST(ReportStream, TheLongestPossibleReportIsBuffered) {
  Bytes payload = payload_of(frame_of(14));
  payload.resize(kMaxReportPayload, 'S');
  const Bytes stream = join({raw_frame(payload), frame_of(1), raw_frame(payload)});
  const std::vector<Item> expected{ok(14), ok(1), ok(14)};
  EXPECT_EQ(parse_chunks(cut(stream, 64)), expected);
  EXPECT_EQ(parse(stream), expected);
}

// A corrupted length must not swallow the frames behind it (at 0xFFFF that is seconds of data).
TEST(ReportStream, ALengthNoReportCanHaveIsSkippedAtOnce) {
  for (const std::size_t length : {kMaxReportPayload + 1, std::size_t{0xFFFF}}) {
    const Bytes header{'S',
                       'O',
                       'R',
                       '.',
                       static_cast<std::uint8_t>(length & 0xFF),
                       static_cast<std::uint8_t>(length >> 8)};
    const Bytes stream = join({header, frame_of(2), frame_of(3)});
    const std::vector<Item> expected{failed(WireError::DeserializeBadEncoding), ok(2), ok(3)};
    EXPECT_EQ(parse(stream), expected) << length;
    EXPECT_EQ(parse_chunks(cut(stream, 1)), expected) << length << ", byte by byte";
  }
}

// A long stream of good frames, malformed frames and stray bytes: fed whole, byte by byte or in
// random chunks, it yields exactly the frames put in, in order.
TEST(ReportStream, ChunkingNeverChangesWhatComesOut) {
  std::mt19937_64 rng(0x50525354);
  Bytes stream;
  std::vector<Item> expected;
  const auto random_bytes = [&](std::size_t count, std::string_view alphabet) {
    Bytes out(count);
    for (auto& b : out) b = static_cast<std::uint8_t>(alphabet[rng() % alphabet.size()]);
    return out;
  };
  // Stray bytes rich in marker prefixes but without '.', so they never hold a marker themselves.
  const std::string_view stray_alphabet{"SSOORx\0\xff", 8};
  for (int piece = 0; piece < 300; ++piece) {
    switch (rng() % 4) {
      case 0: {
        const auto r = random_value<SensorReport>(rng);
        const Bytes frame = encode_report_frame(r);
        stream.insert(stream.end(), frame.begin(), frame.end());
        expected.push_back(r);
        break;
      }
      case 1: {
        const Bytes payload = random_bytes(rng() % 40, {"\x00\x01\x0e\x0f\x80\xffSOR.", 10});
        const Bytes frame = raw_frame(payload);
        stream.insert(stream.end(), frame.begin(), frame.end());
        expected.push_back(decode_sensor_report(payload));
        break;
      }
      default: {
        const Bytes stray = random_bytes(rng() % 9, stray_alphabet);
        stream.insert(stream.end(), stray.begin(), stray.end());
        break;
      }
    }
  }
  ASSERT_GT(expected.size(), 100u);
  EXPECT_EQ(parse(stream), expected) << "whole";
  EXPECT_EQ(parse_chunks(cut(stream, 1)), expected) << "byte by byte";
  for (int round = 0; round < 5; ++round) {
    std::vector<Bytes> chunks;
    for (std::size_t at = 0; at < stream.size();) {
      const std::size_t size = std::min<std::size_t>(1 + rng() % 64, stream.size() - at);
      chunks.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(at),
                          stream.begin() + static_cast<std::ptrdiff_t>(at + size));
      at += size;
    }
    EXPECT_EQ(parse_chunks(chunks), expected) << "random chunks, round " << round;
  }
}

}  // namespace
}  // namespace sorvel::protocol
