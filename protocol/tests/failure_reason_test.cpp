#include <gtest/gtest.h>

#include <vector>

#include "sorvel/protocol/failure_reason.hpp"

namespace sorvel::protocol {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(FailureReason, EncodesPrintsAndDecodesEveryVariantKind) {
  namespace fr = failure_reason;
  struct Case {
    FailureReason value;
    Bytes bytes;
    std::string text;
  };
  const std::vector<Case> cases{
      {fr::CanNotDowngrade{}, {0x00}, "CanNotDowngrade"},
      {fr::FlashError{-3}, {0x02, 0x05}, "FlashError(-3)"},
      {fr::DecompressError{7}, {0x03, 0x0E}, "DecompressError(7)"},
      {fr::TrackerNotReady{BodyPart::Chest}, {0x09, 0x0A}, "TrackerNotReady(Chest)"},
      {fr::TrackerDisconnected{}, {0x0A}, "TrackerDisconnected"},
  };
  for (const auto& c : cases) {
    std::array<std::uint8_t, 8> buffer{};
    auto size = encode(c.value, buffer);
    ASSERT_TRUE(size.has_value());
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + *size), c.bytes) << c.text;
    EXPECT_EQ(fmt::format("{}", c.value), c.text);
    EXPECT_EQ(decode<FailureReason>(c.bytes), WireResult<FailureReason>(c.value)) << c.text;
  }
  EXPECT_EQ(decode<FailureReason>(Bytes{0x0B}).error(), WireError::SerdeDeCustom);
  EXPECT_EQ(decode<FailureReason>(Bytes{0x02}).error(), WireError::DeserializeUnexpectedEnd);
  EXPECT_EQ(decode<FailureReason>(Bytes{0x09, 0x0F}).error(), WireError::SerdeDeCustom);
}

}  // namespace
}  // namespace sorvel::protocol
