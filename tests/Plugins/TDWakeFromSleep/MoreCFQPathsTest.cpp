// Tests of dictionary path access: lookups, changes through copied intermediates, and the errors of
// every failing path.
#include "MoreCFQ.h"
#include "MoreCFQTestSupport.h"

#include <gtest/gtest.h>

using namespace cfqtest;

namespace {

// {a: {b: {c: 1}, s: "str"}, top: 7} with every level immutable, as a parsed file would give.
struct Nested {
    CFRef<CFStringRef> a = Str("a"), b = Str("b"), c = Str("c"), s = Str("s"), top = Str("top");
    CFRef<CFStringRef> x = Str("x");
    CFRef<CFNumberRef> one = Num(1), seven = Num(7);
    CFRef<CFStringRef> str = Str("str");
    CFRef<CFDictionaryRef> levelB = Dict1(c.get(), one.get());
    CFRef<CFDictionaryRef> levelA;
    CFRef<CFMutableDictionaryRef> root = MutableDict();

    Nested()
    {
        const void *keys[] = {b.get(), s.get()};
        const void *values[] = {levelB.get(), str.get()};
        levelA.reset(CFDictionaryCreate(kCFAllocatorDefault, keys, values, 2,
                                        &kCFTypeDictionaryKeyCallBacks,
                                        &kCFTypeDictionaryValueCallBacks));
        CFDictionarySetValue(root.get(), a.get(), levelA.get());
        CFDictionarySetValue(root.get(), top.get(), seven.get());
    }

    const void *At(CFDictionaryRef dict, CFStringRef key) const
    {
        return dict == nullptr ? nullptr : CFDictionaryGetValue(dict, key);
    }
    CFDictionaryRef RootA() const { return static_cast<CFDictionaryRef>(At(root.get(), a.get())); }
    CFDictionaryRef RootAB() const { return static_cast<CFDictionaryRef>(At(RootA(), b.get())); }
};

}  // namespace

TEST(MoreCFQPaths, GetFollowsThePath)
{
    Nested n;
    const void *result = nullptr;

    const void *oneKey[] = {n.top.get()};
    ASSERT_EQ(CFQDictionaryGetValueAtPath(n.root.get(), oneKey, 1, &result), noErr);
    EXPECT_EQ(result, n.seven.get());

    const void *deep[] = {n.a.get(), n.b.get(), n.c.get()};
    ASSERT_EQ(CFQDictionaryGetValueAtPath(n.root.get(), deep, 3, &result), noErr);
    EXPECT_EQ(result, n.one.get());
    EXPECT_EQ(CFGetRetainCount(n.one.get()), 2);  // not retained by the getter

    // The final value may be of any type, a dictionary too.
    const void *toDict[] = {n.a.get(), n.b.get()};
    ASSERT_EQ(CFQDictionaryGetValueAtPath(n.root.get(), toDict, 2, &result), noErr);
    EXPECT_EQ(result, n.levelB.get());

    // The getter does not insist on an empty result; nothing is copied by a read.
    EXPECT_EQ(n.RootA(), n.levelA.get());

    // The array form takes the same keys.
    CFRef<CFArrayRef> path = Array({n.a.get(), n.b.get(), n.c.get()});
    result = nullptr;
    ASSERT_EQ(CFQDictionaryGetValueAtPathArray(n.root.get(), path.get(), &result), noErr);
    EXPECT_EQ(result, n.one.get());

    // Keys can be any objects, numbers among them.
    CFRef<CFNumberRef> numberKey = Num(5);
    CFRef<CFArrayRef> list = Array({n.str.get()});
    CFRef<CFDictionaryRef> byNumber = Dict1(numberKey.get(), list.get());
    CFRef<CFNumberRef> sameNumber = Num(5);
    const void *numberPath[] = {sameNumber.get()};
    ASSERT_EQ(CFQDictionaryGetValueAtPath(byNumber.get(), numberPath, 1, &result), noErr);
    EXPECT_EQ(result, list.get());
}

TEST(MoreCFQPaths, GetFailuresLeaveTheResultAlone)
{
    Nested n;
    const void *sentinel = n.x.get();
    const void *result = sentinel;

    const void *absentFirst[] = {n.x.get(), n.b.get()};
    EXPECT_EQ(CFQDictionaryGetValueAtPath(n.root.get(), absentFirst, 2, &result), kCFQPathKeyAbsentErr);
    EXPECT_EQ(result, sentinel);

    const void *absentLast[] = {n.a.get(), n.b.get(), n.x.get()};
    EXPECT_EQ(CFQDictionaryGetValueAtPath(n.root.get(), absentLast, 3, &result), kCFQPathKeyAbsentErr);
    EXPECT_EQ(result, sentinel);

    const void *throughString[] = {n.a.get(), n.s.get(), n.c.get()};
    EXPECT_EQ(CFQDictionaryGetValueAtPath(n.root.get(), throughString, 3, &result),
              kCFQUnexpectedDataErr);
    EXPECT_EQ(result, sentinel);

    const void *throughNumber[] = {n.top.get(), n.a.get()};
    EXPECT_EQ(CFQDictionaryGetValueAtPath(n.root.get(), throughNumber, 2, &result),
              kCFQUnexpectedDataErr);
    EXPECT_EQ(result, sentinel);

    CFRef<CFArrayRef> path = Array({n.a.get(), n.s.get(), n.c.get()});
    EXPECT_EQ(CFQDictionaryGetValueAtPathArray(n.root.get(), path.get(), &result),
              kCFQUnexpectedDataErr);
    EXPECT_EQ(result, sentinel);
}

TEST(MoreCFQPaths, OneKeyPathChangesTheTopLevelAndCopiesNothing)
{
    Nested n;
    const void *path[] = {n.x.get()};
    ASSERT_EQ(CFQDictionarySetValueAtPath(n.root.get(), path, 1, n.str.get()), noErr);
    EXPECT_EQ(CFDictionaryGetValue(n.root.get(), n.x.get()), n.str.get());
    EXPECT_EQ(n.RootA(), n.levelA.get());  // the other entries are the same objects

    ASSERT_EQ(CFQDictionaryRemoveValueAtPath(n.root.get(), path, 1), noErr);
    EXPECT_FALSE(CFDictionaryContainsKey(n.root.get(), n.x.get()));
    EXPECT_EQ(CFQDictionaryRemoveValueAtPath(n.root.get(), path, 1), kCFQPathKeyAbsentErr);
    EXPECT_EQ(n.RootA(), n.levelA.get());
    EXPECT_EQ(CFDictionaryGetCount(n.root.get()), 2);
}

TEST(MoreCFQPaths, SetReplacesIntermediatesWithMutableCopies)
{
    Nested n;
    const void *path[] = {n.a.get(), n.b.get(), n.x.get()};
    ASSERT_EQ(CFQDictionarySetValueAtPath(n.root.get(), path, 3, n.str.get()), noErr);

    // Both levels are new objects, held only by their parents.
    CFDictionaryRef newA = n.RootA();
    CFDictionaryRef newB = n.RootAB();
    ASSERT_NE(newA, nullptr);
    ASSERT_NE(newB, nullptr);
    EXPECT_NE(newA, n.levelA.get());
    EXPECT_NE(newB, n.levelB.get());
    EXPECT_EQ(CFGetRetainCount(newA), 1);
    EXPECT_EQ(CFGetRetainCount(newB), 1);
    EXPECT_EQ(CFDictionaryGetValue(newB, n.x.get()), n.str.get());
    EXPECT_EQ(CFDictionaryGetValue(newB, n.c.get()), n.one.get());  // a one-level copy: same values
    EXPECT_EQ(CFDictionaryGetValue(newA, n.s.get()), n.str.get());

    // The replaced objects are unchanged and still held by whoever had them (only us now).
    EXPECT_EQ(CFDictionaryGetCount(n.levelB.get()), 1);
    EXPECT_FALSE(CFDictionaryContainsKey(n.levelB.get(), n.x.get()));
    EXPECT_EQ(CFDictionaryGetValue(n.levelA.get(), n.b.get()), n.levelB.get());
    EXPECT_EQ(CFGetRetainCount(n.levelA.get()), 1);
    EXPECT_EQ(CFGetRetainCount(n.levelB.get()), 2);  // us and the old level a

    // An existing entry is replaced; intermediates are copied again even though they are mutable.
    const void *existing[] = {n.a.get(), n.b.get(), n.c.get()};
    ASSERT_EQ(CFQDictionarySetValueAtPath(n.root.get(), existing, 3, n.seven.get()), noErr);
    EXPECT_NE(n.RootA(), newA);
    EXPECT_EQ(LongValue(CFDictionaryGetValue(n.RootAB(), n.c.get())), 7);
    EXPECT_EQ(CFDictionaryGetCount(n.RootAB()), 2);

    // The array form behaves the same.
    CFRef<CFArrayRef> arrayPath = Array({n.a.get(), n.top.get()});
    ASSERT_EQ(CFQDictionarySetValueAtPathArray(n.root.get(), arrayPath.get(), n.one.get()), noErr);
    EXPECT_EQ(CFDictionaryGetValue(n.RootA(), n.top.get()), n.one.get());
}

TEST(MoreCFQPaths, SetFailuresAddNothing)
{
    Nested n;
    CFRef<CFMutableDictionaryRef> emptyRoot = MutableDict();
    const void *absent[] = {n.a.get(), n.b.get()};
    EXPECT_EQ(CFQDictionarySetValueAtPath(emptyRoot.get(), absent, 2, n.str.get()), kCFQPathKeyAbsentErr);
    EXPECT_EQ(CFDictionaryGetCount(emptyRoot.get()), 0);  // no missing level is created

    const void *throughString[] = {n.a.get(), n.s.get(), n.x.get()};
    EXPECT_EQ(CFQDictionarySetValueAtPath(n.root.get(), throughString, 3, n.one.get()),
              kCFQUnexpectedDataErr);
    // The level passed before the failure stays replaced, with the same contents.
    EXPECT_NE(n.RootA(), n.levelA.get());
    EXPECT_TRUE(CFEqual(n.RootA(), n.levelA.get()));
    EXPECT_TRUE(CFEqual(CFDictionaryGetValue(n.RootA(), n.s.get()), n.str.get()));

    const void *throughNumber[] = {n.top.get(), n.x.get()};
    EXPECT_EQ(CFQDictionarySetValueAtPath(n.root.get(), throughNumber, 2, n.one.get()),
              kCFQUnexpectedDataErr);
    EXPECT_EQ(CFDictionaryGetValue(n.root.get(), n.top.get()), n.seven.get());

    CFRef<CFArrayRef> arrayPath = Array({n.x.get(), n.b.get()});
    EXPECT_EQ(CFQDictionarySetValueAtPathArray(n.root.get(), arrayPath.get(), n.one.get()),
              kCFQPathKeyAbsentErr);
    EXPECT_EQ(CFDictionaryGetCount(n.root.get()), 2);
}

TEST(MoreCFQPaths, RemoveErrorsAndCopies)
{
    Nested n;
    const void *path[] = {n.a.get(), n.b.get(), n.c.get()};
    ASSERT_EQ(CFQDictionaryRemoveValueAtPath(n.root.get(), path, 3), noErr);
    EXPECT_EQ(CFDictionaryGetCount(n.RootAB()), 0);
    EXPECT_EQ(CFDictionaryGetCount(n.levelB.get()), 1);  // the old level keeps its entry
    EXPECT_EQ(CFGetRetainCount(n.one.get()), 2);         // us and the old level b

    // The last key is absent now: 5400, and the intermediates have still been replaced.
    CFDictionaryRef aBefore = n.RootA();
    CFDictionaryRef bBefore = n.RootAB();
    EXPECT_EQ(CFQDictionaryRemoveValueAtPath(n.root.get(), path, 3), kCFQPathKeyAbsentErr);
    EXPECT_NE(n.RootA(), aBefore);
    EXPECT_NE(n.RootAB(), bBefore);
    EXPECT_EQ(CFDictionaryGetCount(n.RootAB()), 0);

    // Failures on the way down.
    const void *absentMiddle[] = {n.a.get(), n.x.get(), n.c.get()};
    EXPECT_EQ(CFQDictionaryRemoveValueAtPath(n.root.get(), absentMiddle, 3), kCFQPathKeyAbsentErr);
    const void *throughString[] = {n.a.get(), n.s.get(), n.c.get()};
    EXPECT_EQ(CFQDictionaryRemoveValueAtPath(n.root.get(), throughString, 3), kCFQUnexpectedDataErr);
    EXPECT_TRUE(CFDictionaryContainsKey(n.RootA(), n.s.get()));

    // The array form.
    CFRef<CFArrayRef> arrayPath = Array({n.a.get(), n.s.get()});
    ASSERT_EQ(CFQDictionaryRemoveValueAtPathArray(n.root.get(), arrayPath.get()), noErr);
    EXPECT_FALSE(CFDictionaryContainsKey(n.RootA(), n.s.get()));
    EXPECT_EQ(CFQDictionaryRemoveValueAtPathArray(n.root.get(), arrayPath.get()), kCFQPathKeyAbsentErr);
}

TEST(MoreCFQPathsDeathTest, CallerErrors)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char *file = "MoreCFQPaths\\.cpp";
    Nested n;
    const void *path[] = {n.a.get()};
    const void *result = nullptr;

    EXPECT_DEATH(CFQDictionaryGetValueAtPath(nullptr, path, 1, &result),
                 AssertionPattern(file, "dict != NULL"));
    EXPECT_DEATH(CFQDictionaryGetValueAtPath(n.root.get(), nullptr, 1, &result),
                 AssertionPattern(file, "path != NULL"));
    EXPECT_DEATH(CFQDictionaryGetValueAtPath(n.root.get(), path, 0, &result),
                 AssertionPattern(file, "pathElementCount > 0"));
    EXPECT_DEATH(CFQDictionaryGetValueAtPath(n.root.get(), path, 1, nullptr),
                 AssertionPattern(file, "result != NULL"));
    EXPECT_DEATH(CFQDictionarySetValueAtPath(n.root.get(), path, -1, n.str.get()),
                 AssertionPattern(file, "pathElementCount > 0"));
    EXPECT_DEATH(CFQDictionaryRemoveValueAtPath(nullptr, path, 1),
                 AssertionPattern(file, "dict != NULL"));

    CFRef<CFArrayRef> empty = Array({});
    EXPECT_DEATH(CFQDictionaryGetValueAtPathArray(n.root.get(), empty.get(), &result),
                 AssertionPattern(file, "CFArrayGetCount(path) > 0"));
    EXPECT_DEATH(CFQDictionarySetValueAtPathArray(n.root.get(), nullptr, n.str.get()),
                 AssertionPattern(file, "path != NULL"));
}
