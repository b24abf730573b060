// Tests of dictionary path access: lookups, changes through copied intermediates, and the error of
// every failing path.
#include "MoreCFQ.h"

#include <CFTestSupport.h>

using namespace wfstest;
using wfs::CFRef;

namespace {

// {a: {b: {c: 1}, s: "str"}, top: 7}, every level below the root immutable, as a parsed file gives.
struct Nested {
    CFRef<CFStringRef> a = Str("a"), b = Str("b"), c = Str("c"), s = Str("s"), top = Str("top"), x = Str("x");
    CFRef<CFNumberRef> one = Num(1), seven = Num(7);
    CFRef<CFStringRef> str = Str("str");
    CFRef<CFDictionaryRef> levelB = Dict({c.get()}, {one.get()});
    CFRef<CFDictionaryRef> levelA = Dict({b.get(), s.get()}, {levelB.get(), str.get()});
    CFRef<CFMutableDictionaryRef> root = MakeDictionary();
    Nested() {
        CFDictionarySetValue(root.get(), a.get(), levelA.get());
        CFDictionarySetValue(root.get(), top.get(), seven.get());
    }
    CFDictionaryRef RootA() const { return static_cast<CFDictionaryRef>(CFDictionaryGetValue(root.get(), a.get())); }
    CFDictionaryRef RootAB() const { return static_cast<CFDictionaryRef>(CFDictionaryGetValue(RootA(), b.get())); }
};

}  // namespace

TEST(MoreCFQPaths, GetFollowsThePathOrLeavesTheResultAlone) {
    Nested n;
    CFRef<CFNumberRef> five = Num(5), sameFive = Num(5);  // keys may be any objects
    CFDictionarySetValue(n.root.get(), five.get(), n.str.get());
    const struct {
        std::vector<CFTypeRef> path;
        OSStatus err;
        CFTypeRef value;  // any type, a dictionary too
    } cases[] = {
        {{n.top.get()}, noErr, n.seven.get()},
        {{n.a.get(), n.b.get(), n.c.get()}, noErr, n.one.get()},
        {{n.a.get(), n.b.get()}, noErr, n.levelB.get()},
        {{sameFive.get()}, noErr, n.str.get()},
        {{n.x.get(), n.b.get()}, kCFQPathKeyAbsentErr, nullptr},
        {{n.a.get(), n.b.get(), n.x.get()}, kCFQPathKeyAbsentErr, nullptr},
        {{n.a.get(), n.s.get(), n.c.get()}, kCFQUnexpectedDataErr, nullptr},
        {{n.top.get(), n.a.get()}, kCFQUnexpectedDataErr, nullptr},
    };
    for (const auto &c : cases) {
        const void *result = n.x.get();  // the getter does not require an empty result
        EXPECT_EQ(CFQDictionaryGetValueAtPath(n.root.get(), const_cast<const void **>(c.path.data()),
                                              static_cast<CFIndex>(c.path.size()), &result),
                  c.err);
        EXPECT_EQ(result, c.err == noErr ? c.value : n.x.get());
        CFRef<CFArrayRef> array(CFArrayCreate(nullptr, const_cast<const void **>(c.path.data()),
                                              static_cast<CFIndex>(c.path.size()), &kCFTypeArrayCallBacks));
        result = n.x.get();
        EXPECT_EQ(CFQDictionaryGetValueAtPathArray(n.root.get(), array.get(), &result), c.err);
        EXPECT_EQ(result, c.err == noErr ? c.value : n.x.get());
    }
    // Reading copies nothing and retains nothing.
    EXPECT_EQ(n.RootA(), n.levelA.get());
    EXPECT_EQ(CFGetRetainCount(n.one.get()), 2);
}

TEST(MoreCFQPaths, SetReplacesIntermediatesWithMutableCopies) {
    Nested n;
    // A path of one key changes the root itself and copies nothing.
    const void *oneKey[] = {n.x.get()};
    ASSERT_EQ(CFQDictionarySetValueAtPath(n.root.get(), oneKey, 1, n.str.get()), noErr);
    EXPECT_EQ(CFDictionaryGetValue(n.root.get(), n.x.get()), n.str.get());
    EXPECT_EQ(n.RootA(), n.levelA.get());

    const void *path[] = {n.a.get(), n.b.get(), n.x.get()};
    ASSERT_EQ(CFQDictionarySetValueAtPath(n.root.get(), path, 3, n.str.get()), noErr);
    // Both levels are new mutable objects held only by their parents, one-level copies of the old.
    CFDictionaryRef newA = n.RootA(), newB = n.RootAB();
    EXPECT_TRUE(newA != n.levelA.get() && newB != n.levelB.get());
    EXPECT_EQ(CFGetRetainCount(newA), 1);
    EXPECT_EQ(CFGetRetainCount(newB), 1);
    EXPECT_EQ(CFDictionaryGetValue(newB, n.x.get()), n.str.get());
    EXPECT_EQ(CFDictionaryGetValue(newB, n.c.get()), n.one.get());
    EXPECT_EQ(CFDictionaryGetValue(newA, n.s.get()), n.str.get());
    // The replaced objects are unchanged and still held by whoever had them.
    EXPECT_EQ(CFDictionaryGetCount(n.levelB.get()), 1);
    EXPECT_EQ(CFDictionaryGetValue(n.levelA.get(), n.b.get()), n.levelB.get());
    EXPECT_EQ(CFGetRetainCount(n.levelA.get()), 1);

    // Copied again although mutable now; an existing entry is replaced; the array form likewise.
    CFRef<CFArrayRef> existing = Array({n.a.get(), n.b.get(), n.c.get()});
    ASSERT_EQ(CFQDictionarySetValueAtPathArray(n.root.get(), existing.get(), n.seven.get()), noErr);
    EXPECT_NE(n.RootA(), newA);
    EXPECT_EQ(CFDictionaryGetValue(n.RootAB(), n.c.get()), n.seven.get());
    EXPECT_EQ(CFDictionaryGetCount(n.RootAB()), 2);
}

TEST(MoreCFQPaths, FailedChangesAddNothingButKeepTheCopiesMade) {
    Nested n;
    CFRef<CFMutableDictionaryRef> empty = MakeDictionary();
    const void *absent[] = {n.a.get(), n.b.get()};
    EXPECT_EQ(CFQDictionarySetValueAtPath(empty.get(), absent, 2, n.str.get()), kCFQPathKeyAbsentErr);
    EXPECT_EQ(CFDictionaryGetCount(empty.get()), 0);  // no missing level is created
    const void *throughNumber[] = {n.top.get(), n.x.get()};
    EXPECT_EQ(CFQDictionarySetValueAtPath(n.root.get(), throughNumber, 2, n.one.get()), kCFQUnexpectedDataErr);
    EXPECT_EQ(CFDictionaryGetValue(n.root.get(), n.top.get()), n.seven.get());

    // The level passed before the failure stays replaced, with the same contents.
    const void *throughString[] = {n.a.get(), n.s.get(), n.x.get()};
    EXPECT_EQ(CFQDictionarySetValueAtPath(n.root.get(), throughString, 3, n.one.get()), kCFQUnexpectedDataErr);
    EXPECT_NE(n.RootA(), n.levelA.get());
    EXPECT_TRUE(CFEqual(n.RootA(), n.levelA.get()));

    // Removing: the entry goes from the copy only; a last key that is absent is 5400, and the
    // intermediates have still been replaced; failures on the way down.
    const void *path[] = {n.a.get(), n.b.get(), n.c.get()};
    ASSERT_EQ(CFQDictionaryRemoveValueAtPath(n.root.get(), path, 3), noErr);
    EXPECT_EQ(CFDictionaryGetCount(n.RootAB()), 0);
    EXPECT_EQ(CFDictionaryGetCount(n.levelB.get()), 1);
    CFDictionaryRef aBefore = n.RootA(), bBefore = n.RootAB();
    EXPECT_EQ(CFQDictionaryRemoveValueAtPath(n.root.get(), path, 3), kCFQPathKeyAbsentErr);
    EXPECT_TRUE(n.RootA() != aBefore && n.RootAB() != bBefore);
    const void *absentMiddle[] = {n.a.get(), n.x.get(), n.c.get()};
    EXPECT_EQ(CFQDictionaryRemoveValueAtPath(n.root.get(), absentMiddle, 3), kCFQPathKeyAbsentErr);
    CFRef<CFArrayRef> arrayPath = Array({n.a.get(), n.s.get(), n.c.get()});
    EXPECT_EQ(CFQDictionaryRemoveValueAtPathArray(n.root.get(), arrayPath.get()), kCFQUnexpectedDataErr);
    const void *oneKey[] = {n.x.get()};
    EXPECT_EQ(CFQDictionaryRemoveValueAtPath(n.root.get(), oneKey, 1), kCFQPathKeyAbsentErr);
    EXPECT_EQ(CFDictionaryGetCount(n.root.get()), 2);
}
