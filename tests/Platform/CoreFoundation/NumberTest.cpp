#include <CoreFoundation/CoreFoundation.h>
#include <Support/CFRef.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

using wfs::CFRef;

namespace {

template <typename T>
CFRef<CFNumberRef> Make(CFNumberType type, T value) {
    return CFRef<CFNumberRef>(CFNumberCreate(nullptr, type, &value));
}

CFRef<CFNumberRef> MakeU64(UInt64 value) {
    CFSInt128Struct v = {0, value};
    return CFRef<CFNumberRef>(CFNumberCreate(nullptr, kCFNumberSInt128Type, &v));
}

TEST(Number, TypesSizesAndCanonicalMapping) {
    EXPECT_EQ(CFNumberGetType(Make(kCFNumberIntType, 1).get()), kCFNumberSInt32Type);
    EXPECT_EQ(CFNumberGetType(Make(kCFNumberLongType, 1L).get()), kCFNumberSInt64Type);
    EXPECT_EQ(CFNumberGetType(Make(kCFNumberCharType, char{1}).get()), kCFNumberSInt8Type);
    EXPECT_EQ(CFNumberGetType(Make(kCFNumberDoubleType, 1.0).get()), kCFNumberFloat64Type);
    EXPECT_EQ(CFNumberGetType(Make(kCFNumberFloatType, 1.0f).get()), kCFNumberFloat32Type);
    EXPECT_EQ(CFNumberGetByteSize(Make(kCFNumberSInt16Type, SInt16{1}).get()), 2);
    EXPECT_EQ(CFNumberGetByteSize(Make(kCFNumberCGFloatType, 1.0).get()), 8);
    EXPECT_TRUE(CFNumberIsFloatType(Make(kCFNumberFloat32Type, 0.5f).get()));
    EXPECT_FALSE(CFNumberIsFloatType(Make(kCFNumberCFIndexType, CFIndex{3}).get()));
    EXPECT_NE(CFNumberGetTypeID(), CFBooleanGetTypeID());
    EXPECT_EQ(CFGetTypeID(kCFBooleanTrue), CFBooleanGetTypeID());
    EXPECT_TRUE(CFBooleanGetValue(kCFBooleanTrue));
    EXPECT_FALSE(CFBooleanGetValue(kCFBooleanFalse));
    EXPECT_FALSE(CFEqual(kCFBooleanTrue, Make(kCFNumberIntType, 1).get()));
}

TEST(Number, IntegerBoundariesAndLossyAnswer) {
    auto max64 = Make(kCFNumberSInt64Type, INT64_MAX);
    auto min64 = Make(kCFNumberSInt64Type, INT64_MIN);
    SInt64 s64 = 0;
    EXPECT_TRUE(CFNumberGetValue(max64.get(), kCFNumberSInt64Type, &s64));
    EXPECT_EQ(s64, INT64_MAX);
    EXPECT_TRUE(CFNumberGetValue(min64.get(), kCFNumberLongLongType, &s64));
    EXPECT_EQ(s64, INT64_MIN);
    SInt32 s32 = 0;
    EXPECT_FALSE(CFNumberGetValue(max64.get(), kCFNumberSInt32Type, &s32));
    EXPECT_EQ(s32, -1);  // the converted (truncated) value is still stored
    auto big = Make(kCFNumberSInt32Type, 300);
    SInt8 s8 = 0;
    EXPECT_FALSE(CFNumberGetValue(big.get(), kCFNumberSInt8Type, &s8));
    EXPECT_EQ(s8, 44);
    auto edge = Make(kCFNumberSInt32Type, 127);
    EXPECT_TRUE(CFNumberGetValue(edge.get(), kCFNumberSInt8Type, &s8));
    auto negative = Make(kCFNumberSInt32Type, -128);
    EXPECT_TRUE(CFNumberGetValue(negative.get(), kCFNumberCharType, &s8));
    EXPECT_EQ(s8, -128);
    // INT64_MAX as a double rounds up to 2^63: lossy.
    double d = 0;
    EXPECT_FALSE(CFNumberGetValue(max64.get(), kCFNumberFloat64Type, &d));
    EXPECT_EQ(d, 9223372036854775808.0);
    EXPECT_TRUE(CFNumberGetValue(min64.get(), kCFNumberFloat64Type, &d));  // -2^63 is exact
}

TEST(Number, UnsignedSixtyFourBitRangeStaysExact) {
    auto umax = MakeU64(UINT64_MAX);
    CFSInt128Struct out = {};
    EXPECT_TRUE(CFNumberGetValue(umax.get(), kCFNumberSInt128Type, &out));
    EXPECT_EQ(out.high, 0);
    EXPECT_EQ(out.low, UINT64_MAX);
    SInt64 s64 = 0;
    EXPECT_FALSE(CFNumberGetValue(umax.get(), kCFNumberSInt64Type, &s64));  // does not fit
    auto above = MakeU64(static_cast<UInt64>(INT64_MAX) + 1);
    EXPECT_EQ(CFNumberCompare(above.get(), Make(kCFNumberSInt64Type, INT64_MAX).get(), nullptr),
              kCFCompareGreaterThan);
    EXPECT_FALSE(CFEqual(above.get(), umax.get()));
    // -1 is not UINT64_MAX even though the low 64 bits agree.
    auto minusOne = Make(kCFNumberSInt64Type, SInt64{-1});
    EXPECT_FALSE(CFEqual(minusOne.get(), umax.get()));
    EXPECT_TRUE(CFNumberGetValue(minusOne.get(), kCFNumberSInt128Type, &out));
    EXPECT_EQ(out.high, -1);
    EXPECT_EQ(out.low, UINT64_MAX);
    EXPECT_EQ(CFNumberCompare(minusOne.get(), umax.get(), nullptr), kCFCompareLessThan);
}

TEST(Number, FloatingPointConversions) {
    auto exactInt = Make(kCFNumberSInt64Type, (SInt64{1} << 53) + 1);
    double d = 0;
    EXPECT_FALSE(CFNumberGetValue(exactInt.get(), kCFNumberFloat64Type, &d));
    EXPECT_EQ(d, 9007199254740992.0);
    auto fits = Make(kCFNumberSInt64Type, SInt64{1} << 53);
    EXPECT_TRUE(CFNumberGetValue(fits.get(), kCFNumberDoubleType, &d));

    auto oneAndHalf = Make(kCFNumberFloat64Type, 1.5);
    int i = 0;
    EXPECT_FALSE(CFNumberGetValue(oneAndHalf.get(), kCFNumberIntType, &i));
    EXPECT_EQ(i, 1);
    auto minusHalf = Make(kCFNumberFloat64Type, -2.5);
    EXPECT_FALSE(CFNumberGetValue(minusHalf.get(), kCFNumberIntType, &i));
    EXPECT_EQ(i, -2);
    auto whole = Make(kCFNumberFloat64Type, -7.0);
    EXPECT_TRUE(CFNumberGetValue(whole.get(), kCFNumberIntType, &i));
    EXPECT_EQ(i, -7);

    SInt64 s64 = 123;
    EXPECT_FALSE(CFNumberGetValue(kCFNumberNaN, kCFNumberSInt64Type, &s64));
    EXPECT_FALSE(CFNumberGetValue(kCFNumberPositiveInfinity, kCFNumberSInt64Type, &s64));
    EXPECT_EQ(s64, INT64_MAX);
    EXPECT_FALSE(CFNumberGetValue(kCFNumberNegativeInfinity, kCFNumberIntType, &i));
    EXPECT_EQ(i, INT32_MIN);
    auto twoPow63 = Make(kCFNumberFloat64Type, 9223372036854775808.0);
    EXPECT_FALSE(CFNumberGetValue(twoPow63.get(), kCFNumberSInt64Type, &s64));
    CFSInt128Struct wide = {};
    EXPECT_TRUE(CFNumberGetValue(twoPow63.get(), kCFNumberSInt128Type, &wide));
    EXPECT_EQ(wide.low, UINT64_C(1) << 63);

    float f = 0;
    auto tenth = Make(kCFNumberFloat64Type, 0.1);
    EXPECT_FALSE(CFNumberGetValue(tenth.get(), kCFNumberFloat32Type, &f));
    EXPECT_FLOAT_EQ(f, 0.1f);
    auto quarter = Make(kCFNumberFloat64Type, 0.25);
    EXPECT_TRUE(CFNumberGetValue(quarter.get(), kCFNumberFloatType, &f));
    EXPECT_TRUE(CFNumberGetValue(kCFNumberPositiveInfinity, kCFNumberFloat32Type, &f));
    EXPECT_TRUE(std::isinf(f));
    auto big = Make(kCFNumberFloat64Type, 1e300);
    EXPECT_FALSE(CFNumberGetValue(big.get(), kCFNumberFloat32Type, &f));
}

TEST(Number, EqualityHashAndCompareAcrossKinds) {
    auto intOne = Make(kCFNumberIntType, 1);
    auto realOne = Make(kCFNumberDoubleType, 1.0);
    auto longOne = Make(kCFNumberSInt64Type, SInt64{1});
    EXPECT_TRUE(CFEqual(intOne.get(), realOne.get()));
    EXPECT_EQ(CFHash(intOne.get()), CFHash(realOne.get()));
    EXPECT_EQ(CFHash(intOne.get()), CFHash(longOne.get()));
    auto realOneHalf = Make(kCFNumberDoubleType, 1.5);
    EXPECT_FALSE(CFEqual(intOne.get(), realOneHalf.get()));
    EXPECT_EQ(CFNumberCompare(intOne.get(), realOneHalf.get(), nullptr), kCFCompareLessThan);
    EXPECT_EQ(CFNumberCompare(realOneHalf.get(), intOne.get(), nullptr), kCFCompareGreaterThan);
    auto huge = MakeU64(UINT64_MAX);
    auto hugeReal = Make(kCFNumberDoubleType, 18446744073709551616.0);  // 2^64
    EXPECT_EQ(CFNumberCompare(huge.get(), hugeReal.get(), nullptr), kCFCompareLessThan);
    EXPECT_EQ(CFNumberCompare(kCFNumberNaN, intOne.get(), nullptr), kCFCompareLessThan);
    auto nan = Make(kCFNumberDoubleType, std::nan(""));
    EXPECT_TRUE(CFEqual(nan.get(), kCFNumberNaN));
    EXPECT_EQ(CFHash(nan.get()), CFHash(kCFNumberNaN));
    auto zero = Make(kCFNumberDoubleType, 0.0), negZero = Make(kCFNumberDoubleType, -0.0);
    EXPECT_TRUE(CFEqual(zero.get(), negZero.get()));
    EXPECT_EQ(CFHash(zero.get()), CFHash(negZero.get()));
    // -2^127: the lowest 128-bit integer, and a whole double equal to it.
    CFSInt128Struct lowest = {INT64_MIN, 0};
    CFRef<CFNumberRef> lowestInt(CFNumberCreate(nullptr, kCFNumberSInt128Type, &lowest));
    auto lowestReal = Make(kCFNumberDoubleType, -0x1p127);
    EXPECT_TRUE(CFEqual(lowestInt.get(), lowestReal.get()));
    EXPECT_EQ(CFHash(lowestInt.get()), CFHash(lowestReal.get()));
}

TEST(NumberDeathTest, BadTypeAborts) {
    int v = 0;
    EXPECT_DEATH(CFNumberCreate(nullptr, static_cast<CFNumberType>(0), &v), "failed assertion");
    EXPECT_DEATH(CFNumberCreate(nullptr, kCFNumberIntType, nullptr), "failed assertion");
    EXPECT_DEATH(CFBooleanGetValue(reinterpret_cast<CFBooleanRef>(kCFNull)), "failed assertion");
}

}  // namespace
