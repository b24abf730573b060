#include <CFTestSupport.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <tuple>

using wfs::CFRef;

namespace {

TEST(Data, CreateCopyAndGetBytes) {
    UInt8 bytes[] = {1, 2, 3, 4, 5};
    CFRef<CFDataRef> data(CFDataCreate(nullptr, bytes, 5));
    bytes[0] = 99;  // the data took a copy
    EXPECT_EQ(CFDataGetLength(data.get()), 5);
    EXPECT_EQ(CFDataGetBytePtr(data.get())[0], 1);
    UInt8 out[3] = {};
    CFDataGetBytes(data.get(), CFRangeMake(2, 3), out);
    EXPECT_EQ(out[0], 3);
    EXPECT_EQ(out[2], 5);
    CFRef<CFDataRef> copy(CFDataCreateCopy(nullptr, data.get()));
    EXPECT_EQ(CFHash(copy.get()), CFHash(data.get()));
    CFRef<CFDataRef> empty(CFDataCreate(nullptr, nullptr, 0));
    EXPECT_EQ(CFDataGetLength(empty.get()), 0);
    EXPECT_FALSE(CFEqual(empty.get(), data.get()));
}

TEST(Data, NoCopyOwnership) {
    // kCFAllocatorNull: the caller keeps the bytes, and the data sees them in place.
    UInt8 stackBytes[] = {'x', 'y'};
    CFRef<CFDataRef> borrowed(CFDataCreateWithBytesNoCopy(nullptr, stackBytes, 2, kCFAllocatorNull));
    EXPECT_EQ(CFDataGetBytePtr(borrowed.get()), stackBytes);
    // A copy of borrowed bytes must not share them: the caller may reuse its buffer.
    CFRef<CFDataRef> copy(CFDataCreateCopy(nullptr, borrowed.get()));
    stackBytes[0] = 'z';
    EXPECT_EQ(CFDataGetBytePtr(copy.get())[0], 'x');
    borrowed.reset();  // must not free stack memory (ASan would report it)

    // The default and malloc deallocators free() the bytes with the data (LSan reports a leak
    // otherwise).
    for (CFAllocatorRef deallocator : {kCFAllocatorDefault, kCFAllocatorMalloc, kCFAllocatorSystemDefault}) {
        auto *heap = static_cast<UInt8 *>(std::malloc(16));
        std::memset(heap, 7, 16);
        CFDataRef owned = CFDataCreateWithBytesNoCopy(nullptr, heap, 16, deallocator);
        EXPECT_EQ(CFDataGetBytePtr(owned), heap);
        CFRelease(owned);
    }
}

TEST(Data, MutableDataGrowsAndCopiesAreIndependent) {
    CFRef<CFMutableDataRef> m(CFDataCreateMutable(nullptr, 0));
    // Nothing appended to nothing: the empty buffer has no storage yet.
    CFDataAppendBytes(m.get(), nullptr, 0);
    EXPECT_EQ(CFDataGetLength(m.get()), 0);
    const UInt8 abc[] = {'a', 'b', 'c'};
    CFDataAppendBytes(m.get(), abc, 3);
    CFRef<CFDataRef> snapshot(CFDataCreateCopy(nullptr, m.get()));
    CFRef<CFMutableDataRef> copy(CFDataCreateMutableCopy(nullptr, 0, m.get()));
    CFDataIncreaseLength(m.get(), 2);
    EXPECT_EQ(CFDataGetLength(m.get()), 5);
    EXPECT_EQ(CFDataGetBytePtr(m.get())[4], 0);  // new bytes are zero
    CFDataGetMutableBytePtr(m.get())[0] = 'A';
    EXPECT_EQ(CFDataGetBytePtr(snapshot.get())[0], 'a');
    EXPECT_EQ(CFDataGetBytePtr(copy.get())[0], 'a');
    for (int i = 0; i < 1000; ++i) CFDataAppendBytes(m.get(), abc, 3);
    EXPECT_EQ(CFDataGetLength(m.get()), 3005);
    EXPECT_EQ(CFDataGetBytePtr(m.get())[3004], 'c');
    // Appending the data's own bytes while it grows.
    CFDataAppendBytes(m.get(), CFDataGetBytePtr(m.get()), 3005);
    EXPECT_EQ(CFDataGetLength(m.get()), 6010);
    EXPECT_EQ(CFDataGetBytePtr(m.get())[3005], 'A');
    CFDataSetLength(m.get(), 1);
    EXPECT_EQ(CFDataGetLength(m.get()), 1);
    CFDataSetLength(m.get(), 4);
    EXPECT_EQ(CFDataGetBytePtr(m.get())[3], 0);  // regrown bytes are zero again
    CFDataDeleteBytes(m.get(), CFRangeMake(0, 1));
    EXPECT_EQ(CFDataGetLength(m.get()), 3);
    EXPECT_EQ(CFGetTypeID(m.get()), CFDataGetTypeID());
}

TEST(Date, AbsoluteTimeAndComparison) {
    struct timespec before, after;
    clock_gettime(CLOCK_REALTIME, &before);
    CFAbsoluteTime now = CFAbsoluteTimeGetCurrent();
    clock_gettime(CLOCK_REALTIME, &after);
    EXPECT_GE(now + kCFAbsoluteTimeIntervalSince1970, static_cast<double>(before.tv_sec));
    EXPECT_LE(now + kCFAbsoluteTimeIntervalSince1970, static_cast<double>(after.tv_sec) + 1.0);

    CFRef<CFDateRef> early(CFDateCreate(nullptr, 100.5)), late(CFDateCreate(nullptr, 130.0)),
        sameAsEarly(CFDateCreate(nullptr, 100.5));
    EXPECT_EQ(CFDateGetAbsoluteTime(early.get()), 100.5);
    EXPECT_EQ(CFDateGetTimeIntervalSinceDate(late.get(), early.get()), 29.5);
    EXPECT_EQ(CFDateCompare(early.get(), late.get(), nullptr), kCFCompareLessThan);
    EXPECT_EQ(CFDateCompare(late.get(), early.get(), nullptr), kCFCompareGreaterThan);
    EXPECT_EQ(CFDateCompare(early.get(), sameAsEarly.get(), nullptr), kCFCompareEqualTo);
    EXPECT_EQ(CFHash(early.get()), CFHash(sameAsEarly.get()));
}

// Both ways between absolute times and UTC calendar dates. Before the reference date the day and
// the second round down, not towards zero.
TEST(Date, GregorianConversions) {
    const struct {
        CFAbsoluteTime at;
        CFGregorianDate date;
    } cases[] = {
        {0.0, {2001, 1, 1, 0, 0, 0.0}},
        {-1.0, {2000, 12, 31, 23, 59, 59.0}},
        {-0.5, {2000, 12, 31, 23, 59, 59.5}},
        {1709210096.0 - kCFAbsoluteTimeIntervalSince1970, {2024, 2, 29, 12, 34, 56.0}},  // a leap day
        {-kCFAbsoluteTimeIntervalSince1970, {1970, 1, 1, 0, 0, 0.0}},
    };
    const auto fields = [](const CFGregorianDate &g) {
        return std::make_tuple(g.year, int(g.month), int(g.day), int(g.hour), int(g.minute), g.second);
    };
    for (const auto &c : cases) {
        EXPECT_EQ(fields(CFAbsoluteTimeGetGregorianDate(c.at, nullptr)), fields(c.date)) << c.at;
        EXPECT_EQ(CFGregorianDateGetAbsoluteTime(c.date, nullptr), c.at) << c.at;
    }
    // A time a hair before the reference date has a fraction that rounds up to a whole second:
    // it is the reference date itself, not a 61st second of the minute before.
    EXPECT_EQ(fields(CFAbsoluteTimeGetGregorianDate(-1e-20, nullptr)), fields({2001, 1, 1, 0, 0, 0.0}));
}

}  // namespace
