#include <CFTestSupport.h>

#include <cstdint>

using wfs::CFRef;

namespace {

template <typename T>
CFRef<CFNumberRef> Make(CFNumberType type, T value) {
    return CFRef<CFNumberRef>(CFNumberCreate(nullptr, type, &value));
}

CFRef<CFNumberRef> MakeU64(UInt64 value) { return Make(kCFNumberSInt128Type, CFSInt128Struct{0, value}); }

CFRef<CFNumberRef> Retained(CFNumberRef constant) { return CFRef<CFNumberRef>::Retain(constant); }

TEST(Number, TypesSizesAndCanonicalMapping) {
    const struct {
        CFRef<CFNumberRef> number;
        CFNumberType type;
        CFIndex size;
        bool isFloat;
    } cases[] = {
        {Make(kCFNumberIntType, 1), kCFNumberSInt32Type, 4, false},
        {Make(kCFNumberLongType, 1L), kCFNumberSInt64Type, 8, false},
        {Make(kCFNumberCharType, char{1}), kCFNumberSInt8Type, 1, false},
        {Make(kCFNumberSInt16Type, SInt16{1}), kCFNumberSInt16Type, 2, false},
        {Make(kCFNumberCFIndexType, CFIndex{3}), kCFNumberSInt64Type, 8, false},
        {Make(kCFNumberDoubleType, 1.0), kCFNumberFloat64Type, 8, true},
        {Make(kCFNumberCGFloatType, 1.0), kCFNumberFloat64Type, 8, true},
        {Make(kCFNumberFloatType, 1.0f), kCFNumberFloat32Type, 4, true},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(CFNumberGetType(c.number.get()), c.type);
        EXPECT_EQ(CFNumberGetByteSize(c.number.get()), c.size) << c.type;
        EXPECT_EQ(CFNumberIsFloatType(c.number.get()), c.isFloat) << c.type;
    }
    EXPECT_FALSE(CFEqual(kCFBooleanTrue, Make(kCFNumberIntType, 1).get()));
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

// The value read out as `type`, widened for comparison.
long double Read(CFNumberRef number, CFNumberType type, bool *exact) {
    union {
        SInt8 s8;
        SInt32 s32;
        SInt64 s64;
        float f;
        double d;
    } out = {};
    *exact = CFNumberGetValue(number, type, &out);
    switch (CFNumberGetByteSize(Make(type, 0.0).get()) * 10 + CFNumberIsFloatType(Make(type, 0.0).get())) {
    case 10: return out.s8;
    case 40: return out.s32;
    case 41: return out.f;
    case 80: return out.s64;
    default: return out.d;
    }
}

// Every conversion answers whether it was exact and stores the converted value all the same:
// integers truncated to the smaller type, reals towards zero, out-of-range reals clamped.
TEST(Number, ConversionsAndTheirLossyAnswer) {
    constexpr long double kUnchecked = -0.125L;  // NaN and overflowing stores are unspecified
    const struct {
        CFRef<CFNumberRef> number;
        CFNumberType to;
        bool exact;
        long double stored;
    } cases[] = {
        {Make(kCFNumberSInt64Type, INT64_MAX), kCFNumberSInt64Type, true, INT64_MAX},
        {Make(kCFNumberSInt64Type, INT64_MIN), kCFNumberLongLongType, true, INT64_MIN},
        {Make(kCFNumberSInt64Type, INT64_MAX), kCFNumberSInt32Type, false, -1},
        {Make(kCFNumberSInt32Type, 300), kCFNumberSInt8Type, false, 44},
        {Make(kCFNumberSInt32Type, 127), kCFNumberSInt8Type, true, 127},
        {Make(kCFNumberSInt32Type, -128), kCFNumberCharType, true, -128},
        {Make(kCFNumberSInt64Type, INT64_MAX), kCFNumberFloat64Type, false, 9223372036854775808.0L},  // 2^63
        {Make(kCFNumberSInt64Type, INT64_MIN), kCFNumberFloat64Type, true, INT64_MIN},
        {Make(kCFNumberSInt64Type, (SInt64{1} << 53) + 1), kCFNumberFloat64Type, false, 9007199254740992.0L},
        {Make(kCFNumberSInt64Type, SInt64{1} << 53), kCFNumberDoubleType, true, 9007199254740992.0L},
        {Make(kCFNumberFloat64Type, 1.5), kCFNumberIntType, false, 1},
        {Make(kCFNumberFloat64Type, -2.5), kCFNumberIntType, false, -2},
        {Make(kCFNumberFloat64Type, -7.0), kCFNumberIntType, true, -7},
        {Retained(kCFNumberNaN), kCFNumberSInt64Type, false, kUnchecked},
        {Retained(kCFNumberPositiveInfinity), kCFNumberSInt64Type, false, INT64_MAX},
        {Retained(kCFNumberNegativeInfinity), kCFNumberIntType, false, INT32_MIN},
        {Make(kCFNumberFloat64Type, 9223372036854775808.0), kCFNumberSInt64Type, false, kUnchecked},
        {Make(kCFNumberFloat64Type, 0.1), kCFNumberFloat32Type, false, 0.1f},
        {Make(kCFNumberFloat64Type, 0.25), kCFNumberFloatType, true, 0.25},
        {Retained(kCFNumberPositiveInfinity), kCFNumberFloat32Type, true, INFINITY},
        {Make(kCFNumberFloat64Type, 1e300), kCFNumberFloat32Type, false, kUnchecked},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        bool exact = !cases[i].exact;
        const long double stored = Read(cases[i].number.get(), cases[i].to, &exact);
        EXPECT_EQ(exact, cases[i].exact) << "case " << i;
        if (cases[i].stored != kUnchecked) {
            EXPECT_EQ(stored, cases[i].stored) << "case " << i;
        }
    }
    // -2^63 and 2^63 as 128-bit integers are exact.
    CFSInt128Struct wide = {};
    auto twoTo63 = Make(kCFNumberFloat64Type, 9223372036854775808.0);
    EXPECT_TRUE(CFNumberGetValue(twoTo63.get(), kCFNumberSInt128Type, &wide));
    EXPECT_EQ(wide.low, UINT64_C(1) << 63);
}

TEST(Number, EqualityHashAndCompareAcrossKinds) {
    auto intOne = Make(kCFNumberIntType, 1);
    auto realOne = Make(kCFNumberDoubleType, 1.0);
    auto longOne = Make(kCFNumberSInt64Type, SInt64{1});
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
    auto lowestInt = Make(kCFNumberSInt128Type, CFSInt128Struct{INT64_MIN, 0});
    auto lowestReal = Make(kCFNumberDoubleType, -0x1p127);
    EXPECT_TRUE(CFEqual(lowestInt.get(), lowestReal.get()));
    EXPECT_EQ(CFHash(lowestInt.get()), CFHash(lowestReal.get()));
}

}  // namespace
