// Feeds arbitrary bytes to the XML property-list reader. Besides the sanitizers' findings, it
// checks a round trip: whatever the reader accepts, the writer must write, the reader must read
// back as an equal value, and writing that again must give the same document.
#include <CoreFoundation/CoreFoundation.h>
#include <Support/CFRef.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using wfs::CFRef;

namespace {

[[noreturn]] void Fail(const char *what) {
    std::fprintf(stderr, "round-trip oracle: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *bytes, std::size_t size) {
    CFRef<CFDataRef> input(CFDataCreateWithBytesNoCopy(nullptr, bytes, static_cast<CFIndex>(size), kCFAllocatorNull));
    CFRef<CFStringRef> error;
    CFRef<CFTypeRef> plist(CFPropertyListCreateFromXMLData(nullptr, input.get(), kCFPropertyListImmutable, error.out()));
    if (!plist) {
        if (!error) Fail("refused without an error string");
        return 0;
    }
    if (error) Fail("accepted with an error string");

    CFRef<CFDataRef> written(CFPropertyListCreateXMLData(nullptr, plist.get()));
    if (!written) Fail("the writer refused what the reader accepted");
    CFRef<CFTypeRef> back(CFPropertyListCreateFromXMLData(nullptr, written.get(), kCFPropertyListImmutable, nullptr));
    if (!back) Fail("the reader refused what the writer wrote");
    if (!CFEqual(plist.get(), back.get())) Fail("the value read back differs");
    CFRef<CFDataRef> again(CFPropertyListCreateXMLData(nullptr, back.get()));
    if (!again || !CFEqual(again.get(), written.get())) Fail("writing the value read back gives another document");

    // The mutable variants build through other calls and must agree.
    CFRef<CFTypeRef> mutableCopy(
        CFPropertyListCreateFromXMLData(nullptr, input.get(), kCFPropertyListMutableContainersAndLeaves, nullptr));
    if (!mutableCopy || !CFEqual(mutableCopy.get(), plist.get())) Fail("the mutable parse differs");
    CFRef<CFTypeRef> deepCopy(CFPropertyListCreateDeepCopy(nullptr, plist.get(), kCFPropertyListMutableContainers));
    if (!deepCopy || !CFEqual(deepCopy.get(), plist.get())) Fail("the deep copy differs");
    return 0;
}
