#include <CFTestSupport.h>

#include <vector>

using wfs::CFRef;
using wfstest::Num;

namespace {

CFStringRef NewString(const char *text) { return CFStringCreateWithCString(nullptr, text, kCFStringEncodingUTF8); }

CFRef<CFStringRef> Key(int i) {
    return CFRef<CFStringRef>(CFStringCreateWithFormat(nullptr, nullptr, CFSTR("k%d"), i));
}

// Ownership is left to the sanitizers here and below: a value kept too long leaks, one dropped
// too early is used after it is freed.
TEST(Array, RetainsWhatItHoldsAndReleasesWhatItDrops) {
    CFRef<CFStringRef> a(NewString("a")), b(NewString("b"));
    CFMutableArrayRef array = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    CFArrayAppendValue(array, a.get());
    CFArrayAppendValue(array, a.get());
    CFArraySetValueAtIndex(array, 0, b.get());
    CFArrayRemoveValueAtIndex(array, 1);
    CFArrayInsertValueAtIndex(array, 0, a.get());
    CFArrayAppendArray(array, array, CFRangeMake(0, 2));  // appending to itself
    EXPECT_EQ(CFArrayGetCount(array), 4);
    EXPECT_EQ(CFArrayGetValueAtIndex(array, 2), a.get());
    CFArraySetValueAtIndex(array, 4, b.get());  // index == count appends
    EXPECT_EQ(CFArrayGetCount(array), 5);
    CFArrayRemoveAllValues(array);
    CFArrayAppendValue(array, b.get());
    CFRelease(array);  // releases its values
}

TEST(Array, NullCallbacksAreIdentityWithoutRetain) {
    static int x, y;
    const void *values[] = {&x, &y, &x};
    CFRef<CFArrayRef> array(CFArrayCreate(nullptr, values, 3, nullptr));
    EXPECT_EQ(CFArrayGetFirstIndexOfValue(array.get(), CFRangeMake(0, 3), &x), 0);
    EXPECT_EQ(CFArrayGetLastIndexOfValue(array.get(), CFRangeMake(0, 3), &x), 2);
    EXPECT_EQ(CFArrayGetLastIndexOfValue(array.get(), CFRangeMake(0, 2), &x), 0);  // the first is last
    EXPECT_EQ(CFArrayGetLastIndexOfValue(array.get(), CFRangeMake(1, 1), &x), kCFNotFound);
    EXPECT_EQ(CFArrayGetCountOfValue(array.get(), CFRangeMake(0, 3), &x), 2);
    EXPECT_FALSE(CFArrayContainsValue(array.get(), CFRangeMake(1, 1), &x));
    // Equal strings that are different objects match only through the type callbacks.
    CFRef<CFStringRef> s1(NewString("same")), s2(NewString("same"));
    const void *strings[] = {s1.get()};
    CFRef<CFArrayRef> raw(CFArrayCreate(nullptr, strings, 1, nullptr));
    CFRef<CFArrayRef> typed(CFArrayCreate(nullptr, strings, 1, &kCFTypeArrayCallBacks));
    EXPECT_FALSE(CFArrayContainsValue(raw.get(), CFRangeMake(0, 1), s2.get()));
    EXPECT_TRUE(CFArrayContainsValue(typed.get(), CFRangeMake(0, 1), s2.get()));
}

TEST(Array, CopiesAreIndependentAndEqualityIsDeep) {
    auto one = Num(1), two = Num(2);
    CFRef<CFMutableArrayRef> m(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
    CFArrayAppendValue(m.get(), one.get());
    CFRef<CFArrayRef> snapshot(CFArrayCreateCopy(nullptr, m.get()));
    CFRef<CFMutableArrayRef> copy(CFArrayCreateMutableCopy(nullptr, 0, m.get()));
    CFArrayAppendValue(m.get(), two.get());
    EXPECT_EQ(CFArrayGetCount(snapshot.get()), 1);
    EXPECT_EQ(CFArrayGetCount(copy.get()), 1);
    CFArrayAppendValue(copy.get(), Num(2).get());  // a different but equal number
    EXPECT_TRUE(CFEqual(copy.get(), m.get()));
    EXPECT_EQ(CFHash(copy.get()), CFHash(m.get()));
    EXPECT_FALSE(CFEqual(snapshot.get(), m.get()));
    CFRef<CFArrayRef> immutableCopy(CFArrayCreateCopy(nullptr, snapshot.get()));
    EXPECT_EQ(immutableCopy.get(), snapshot.get());
    EXPECT_EQ(CFGetTypeID(m.get()), CFGetTypeID(snapshot.get()));
}

CFComparisonResult CompareNumbers(const void *a, const void *b, void *context) {
    ++*static_cast<int *>(context);
    return CFNumberCompare(static_cast<CFNumberRef>(a), static_cast<CFNumberRef>(b), nullptr);
}

void Collect(const void *value, void *context) {
    int v = 0;
    CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberIntType, &v);
    static_cast<std::vector<int> *>(context)->push_back(v);
}

TEST(Array, SortApplyAndGetValues) {
    CFRef<CFMutableArrayRef> m(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
    for (int v : {5, 3, 9, 1, 7}) CFArrayAppendValue(m.get(), Num(v).get());
    int calls = 0;
    CFArraySortValues(m.get(), CFRangeMake(1, 3), CompareNumbers, &calls);  // sorts 3, 9, 1 only
    EXPECT_GT(calls, 0);
    std::vector<int> seen;
    CFArrayApplyFunction(m.get(), CFRangeMake(0, 5), Collect, &seen);
    EXPECT_EQ(seen, (std::vector<int>{5, 1, 3, 9, 7}));
    seen.clear();
    CFArrayApplyFunction(m.get(), CFRangeMake(3, 2), Collect, &seen);
    EXPECT_EQ(seen, (std::vector<int>{9, 7}));
    const void *values[2] = {};
    CFArrayGetValues(m.get(), CFRangeMake(3, 2), values);
    EXPECT_EQ(values[1], CFArrayGetValueAtIndex(m.get(), 4));
}

TEST(Dictionary, SetAddReplaceRemoveAndOwnership) {
    CFRef<CFStringRef> key(NewString("key")), v1(NewString("v1")), v2(NewString("v2"));
    CFMutableDictionaryRef dict = wfstest::MakeDictionary().release();
    CFDictionaryReplaceValue(dict, key.get(), v1.get());  // absent: nothing
    EXPECT_EQ(CFDictionaryGetCount(dict), 0);
    CFDictionaryAddValue(dict, key.get(), v1.get());
    CFDictionaryAddValue(dict, key.get(), v2.get());  // present: nothing
    EXPECT_EQ(CFDictionaryGetValue(dict, key.get()), v1.get());
    CFDictionarySetValue(dict, CFSTR("key"), v2.get());  // an equal key replaces the value
    EXPECT_EQ(CFDictionaryGetCount(dict), 1);
    EXPECT_EQ(CFDictionaryGetValue(dict, key.get()), v2.get());
    CFDictionaryReplaceValue(dict, key.get(), v1.get());
    const void *found = nullptr;
    EXPECT_TRUE(CFDictionaryGetValueIfPresent(dict, key.get(), &found));
    EXPECT_EQ(found, v1.get());
    EXPECT_FALSE(CFDictionaryGetValueIfPresent(dict, CFSTR("other"), &found));
    EXPECT_TRUE(CFDictionaryContainsValue(dict, CFSTR("v1")));
    CFDictionaryRemoveValue(dict, key.get());
    CFDictionaryRemoveValue(dict, key.get());  // absent: nothing
    EXPECT_EQ(CFDictionaryGetCount(dict), 0);
    CFDictionarySetValue(dict, key.get(), v2.get());
    CFRelease(dict);  // releases its keys and values
}

TEST(Dictionary, InsertionOrderSurvivesRemovalAndGrowth) {
    auto dict = wfstest::MakeDictionary();
    constexpr int kCount = 1000;
    for (int i = 0; i < kCount; ++i) CFDictionarySetValue(dict.get(), Key(i).get(), Num(i).get());
    for (int i = 0; i < kCount; i += 2) CFDictionaryRemoveValue(dict.get(), Key(i).get());
    CFDictionarySetValue(dict.get(), CFSTR("k0"), Num(-1).get());  // re-added: goes last
    CFDictionarySetValue(dict.get(), CFSTR("k1"), Num(-2).get());  // replaced: keeps its place
    ASSERT_EQ(CFDictionaryGetCount(dict.get()), kCount / 2 + 1);
    std::vector<const void *> keys(kCount / 2 + 1), values(kCount / 2 + 1);
    CFDictionaryGetKeysAndValues(dict.get(), keys.data(), values.data());
    EXPECT_TRUE(CFEqual(keys.front(), CFSTR("k1")));
    EXPECT_TRUE(CFEqual(values.front(), Num(-2).get()));
    EXPECT_TRUE(CFEqual(keys[1], CFSTR("k3")));
    EXPECT_TRUE(CFEqual(keys.back(), CFSTR("k0")));
    for (int i = 1; i < kCount; i += 2) EXPECT_TRUE(CFDictionaryContainsKey(dict.get(), Key(i).get())) << i;
    CFDictionaryRemoveAllValues(dict.get());
    EXPECT_EQ(CFDictionaryGetCount(dict.get()), 0);
    EXPECT_FALSE(CFDictionaryContainsKey(dict.get(), CFSTR("k1")));
}

// Small dictionaries look keys up without an index table; crossing that size both ways must keep
// every key reachable.
TEST(Dictionary, CrossesTheSmallSizeBothWays) {
    auto dict = wfstest::MakeDictionary();
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 20; ++i) CFDictionarySetValue(dict.get(), Key(i).get(), Num(i).get());
        for (int i = 0; i < 20; i += 3) CFDictionaryRemoveValue(dict.get(), Key(i).get());
        for (int i = 0; i < 20; ++i) EXPECT_EQ(CFDictionaryContainsKey(dict.get(), Key(i).get()), i % 3 != 0) << i;
        for (int i = 0; i < 20; ++i) CFDictionaryRemoveValue(dict.get(), Key(i).get());
        ASSERT_EQ(CFDictionaryGetCount(dict.get()), 0);
        CFDictionarySetValue(dict.get(), Key(7).get(), Num(7).get());
        EXPECT_TRUE(CFDictionaryContainsKey(dict.get(), Key(7).get()));
        CFDictionaryRemoveValue(dict.get(), Key(7).get());
    }
}

TEST(Dictionary, CopyStringKeysAndIdentityCallbacks) {
    CFRef<CFMutableStringRef> key(CFStringCreateMutable(nullptr, 0));
    CFStringAppend(key.get(), CFSTR("name"));
    CFRef<CFMutableDictionaryRef> dict(
        CFDictionaryCreateMutable(nullptr, 0, &kCFCopyStringDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    CFDictionarySetValue(dict.get(), key.get(), CFSTR("value"));
    CFStringAppend(key.get(), CFSTR("-changed"));  // the dictionary holds its own copy
    EXPECT_TRUE(CFDictionaryContainsKey(dict.get(), CFSTR("name")));

    static int a, b;
    CFRef<CFMutableDictionaryRef> raw(CFDictionaryCreateMutable(nullptr, 0, nullptr, nullptr));
    CFDictionarySetValue(raw.get(), &a, &b);
    CFDictionarySetValue(raw.get(), &b, nullptr);
    EXPECT_EQ(CFDictionaryGetValue(raw.get(), &a), &b);
    const void *value = &a;
    EXPECT_TRUE(CFDictionaryGetValueIfPresent(raw.get(), &b, &value));
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(CFDictionaryGetCountOfValue(raw.get(), &b), 1);
}

TEST(Dictionary, CreateCopyAndEquality) {
    const void *keys[] = {CFSTR("a"), CFSTR("b"), CFSTR("a")};
    auto one = Num(1), two = Num(2), three = Num(3);
    const void *values[] = {one.get(), two.get(), three.get()};
    CFRef<CFDictionaryRef> dict(CFDictionaryCreate(nullptr, keys, values, 3, &kCFTypeDictionaryKeyCallBacks,
                                                   &kCFTypeDictionaryValueCallBacks));
    EXPECT_EQ(CFDictionaryGetCount(dict.get()), 2);
    EXPECT_EQ(CFDictionaryGetValue(dict.get(), CFSTR("a")), three.get());  // the last one wins

    CFRef<CFMutableDictionaryRef> copy(CFDictionaryCreateMutableCopy(nullptr, 0, dict.get()));
    EXPECT_TRUE(CFEqual(copy.get(), dict.get()));
    EXPECT_EQ(CFHash(copy.get()), CFHash(dict.get()));
    CFDictionarySetValue(copy.get(), CFSTR("b"), Num(20).get());
    EXPECT_FALSE(CFEqual(copy.get(), dict.get()));
    EXPECT_EQ(CFDictionaryGetValue(dict.get(), CFSTR("b")), two.get());

    // Equal with numbers of other kinds, in another order.
    double two0 = 2.0, three0 = 3.0;
    CFRef<CFNumberRef> r2(CFNumberCreate(nullptr, kCFNumberDoubleType, &two0));
    CFRef<CFNumberRef> r3(CFNumberCreate(nullptr, kCFNumberDoubleType, &three0));
    auto other = wfstest::Dict({CFSTR("b"), CFSTR("a")}, {r2.get(), r3.get()});
    EXPECT_TRUE(CFEqual(other.get(), dict.get()));
    EXPECT_EQ(CFHash(other.get()), CFHash(dict.get()));

    CFRef<CFDictionaryRef> same(CFDictionaryCreateCopy(nullptr, dict.get()));
    EXPECT_EQ(same.get(), dict.get());
    CFRef<CFDictionaryRef> frozen(CFDictionaryCreateCopy(nullptr, copy.get()));
    EXPECT_NE(frozen.get(), static_cast<CFDictionaryRef>(copy.get()));
    EXPECT_TRUE(CFEqual(frozen.get(), copy.get()));
}

}  // namespace
