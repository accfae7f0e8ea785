#include "pst/ltp/value_check.h"

#include <gtest/gtest.h>

#include "pst/ltp/prop_types.h"
#include "pst/ltp/testing/heap_builder.h"
#include "pst/testing/status_matchers.h"

namespace pst::ltp {
namespace {

using testing::Put32;

TEST(PropTypesTest, SizesAndNames) {
  EXPECT_EQ(FixedSizeOf(kPtypBoolean), 1u);
  EXPECT_EQ(FixedSizeOf(kPtypInteger16), 2u);
  EXPECT_EQ(FixedSizeOf(kPtypErrorCode), 4u);
  EXPECT_EQ(FixedSizeOf(kPtypCurrency), 8u);
  EXPECT_EQ(FixedSizeOf(kPtypGuid), 16u);
  EXPECT_EQ(FixedSizeOf(kPtypString), 0u);
  EXPECT_EQ(FixedSizeOf(kPtypMultipleInteger32), 0u);
  EXPECT_TRUE(IsMultiValued(kPtypMultipleBinary));
  EXPECT_FALSE(IsMultiValued(kPtypBinary));
  EXPECT_TRUE(IsKnownType(kPtypMultipleGuid));
  EXPECT_FALSE(IsKnownType(0x1001));  // multi-valued PtypNull does not exist
  EXPECT_FALSE(IsKnownType(0x0099));
  EXPECT_EQ(TypeName(kPtypString8), "PtypString8");
  EXPECT_EQ(TypeName(0x1234), "0x1234");
}

// Many items: the offsets are read in several pieces.
TEST(ValueCheckTest, LongMultiValuedStrings) {
  const uint32_t count = 3000;
  Bytes value;
  Put32(value, count);
  for (uint32_t i = 0; i < count; ++i) Put32(value, 4 + 4 * count + 2 * i);
  value.resize(value.size() + 2 * count, 'a');
  EXPECT_OK(CheckValue(kPtypMultipleString, value));

  Bytes late_odd = value;
  late_odd[4 + 4 * 2500] += 1;  // item 2499 becomes odd-sized
  EXPECT_TRUE(CheckValue(kPtypMultipleString, late_odd).IsCorruption());
  EXPECT_OK(CheckValue(kPtypMultipleBinary, late_odd));

  Bytes falling = value;
  falling[4 + 4 * 2999] = 0;  // the last offset drops below the one before
  EXPECT_TRUE(CheckValue(kPtypMultipleBinary, falling).IsCorruption());
}

TEST(ValueCheckTest, EmptyValues) {
  // hnid 0 stands for an empty string, binary or multi-valued list.
  for (uint16_t type : {kPtypString, kPtypString8, kPtypBinary, kPtypMultipleString,
                        kPtypMultipleInteger32}) {
    EXPECT_OK(CheckValue(type, ByteSpan())) << type;
  }
  for (uint16_t type : {kPtypInteger32, kPtypTime, kPtypGuid, kPtypObject}) {
    EXPECT_TRUE(CheckValue(type, ByteSpan()).IsCorruption()) << type;
  }
  EXPECT_EQ(CheckValue(0x0099, ByteSpan()).code(), Status::Code::kNotSupported);
}

}  // namespace
}  // namespace pst::ltp
