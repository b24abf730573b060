// The byte stream between a client and its helper tool: dictionary frames, the descriptors that
// travel behind a response, the command's own result, and the tool's exit status.
//
// A frame is a 4-byte length in native byte order followed by that many bytes of XML property
// list. Both ends run on the same machine, so there is no byte-order question. Descriptor messages
// follow the response frame on the same socket, which is why nothing here ever reads past the end
// of a frame: every read asks for exactly the bytes still missing.

#include "MoreSecurityInternal.h"

#include "MoreAssert.h"
#include "MoreCFQ.h"
#include "MoreUNIX.h"

#include <Support/CFRef.h>
#include <Support/UniqueFd.h>

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>

namespace {

struct FreeDeleter {
    void operator()(void *p) const noexcept { free(p); }
};
using MallocBuffer = std::unique_ptr<UInt8, FreeDeleter>;

using FrameLength = uint32_t;

// The descriptor number held by a DescriptorArrayKey element, or -1 when the element is not a
// number that reads exactly as a non-negative int.
int DescriptorFromElement(CFTypeRef element)
{
    if (element == NULL || CFGetTypeID(element) != CFNumberGetTypeID()) return -1;
    int fd = -1;
    if (!CFNumberGetValue(static_cast<CFNumberRef>(element), kCFNumberIntType, &fd)) return -1;
    return fd >= 0 ? fd : -1;
}

}  // namespace

extern "C" int WriteDictionaryToDescriptor(CFDictionaryRef dict, int fdOut)
{
    MoreAssertQ(dict != NULL);
    MoreAssertQ(fdOut >= 0);

    wfs::CFRef<CFDataRef> xml(CFPropertyListCreateXMLData(kCFAllocatorDefault, dict));
    if (!xml) return coreFoundationUnknownErr;

    // The writer does not enforce the reader's limit; a length beyond 32 bits cannot be framed at
    // all, though, and would otherwise wrap into a short length that desynchronises the peer.
    const CFIndex length = CFDataGetLength(xml.get());
    if (length < 0 || static_cast<uint64_t>(length) > UINT32_MAX) return memFullErr;
    const FrameLength n = static_cast<FrameLength>(length);

    // One buffer and one write for header and body: the peer never sees a header without its body
    // merely because we were slow, and a small frame costs one system call.
    MallocBuffer frame(static_cast<UInt8 *>(malloc(sizeof(n) + n)));
    if (!frame) return memFullErr;
    memcpy(frame.get(), &n, sizeof(n));
    if (n != 0) memcpy(frame.get() + sizeof(n), CFDataGetBytePtr(xml.get()), n);

    return MoreUNIXWrite(fdOut, frame.get(), sizeof(n) + n, NULL);
}

extern "C" int CopyDictionaryFromDescriptor(int fdIn, CFDictionaryRef *dictResult)
{
    MoreAssertQ(fdIn >= 0);
    MoreAssertQ(dictResult != NULL);
    MoreAssertQ(*dictResult == NULL);

    FrameLength n = 0;
    int err = MoreUNIXRead(fdIn, &n, sizeof(n), NULL);
    if (err != 0) return err;
    if (n == 0) return paramErr;
    // The limit is checked before anything is allocated or read: a hostile or confused peer must
    // not make us allocate gigabytes, and the bytes behind the length stay on the socket.
    if (n > static_cast<FrameLength>(kMaxDictionarySize)) return memFullErr;

    MallocBuffer body(static_cast<UInt8 *>(malloc(n)));
    if (!body) return memFullErr;
    err = MoreUNIXRead(fdIn, body.get(), n, NULL);
    if (err != 0) return err;

    // Parsed in place: the data object borrows the buffer (kCFAllocatorNull frees nothing) and is
    // released before the buffer, which is declared first.
    wfs::CFRef<CFDataRef> data(
        CFDataCreateWithBytesNoCopy(kCFAllocatorDefault, body.get(), n, kCFAllocatorNull));
    if (!data) return coreFoundationUnknownErr;

    wfs::CFRef<CFPropertyListRef> plist(CFPropertyListCreateFromXMLData(
        kCFAllocatorDefault, data.get(), kCFPropertyListImmutable, NULL));
    if (!plist) return coreFoundationUnknownErr;
    if (CFGetTypeID(plist.get()) != CFDictionaryGetTypeID()) return paramErr;

    *dictResult = static_cast<CFDictionaryRef>(plist.release());
    return 0;
}

extern "C" int WriteDictionaryAndDescriptors(CFDictionaryRef dict, int fdOut)
{
    MoreAssertQ(dict != NULL);
    MoreAssertQ(fdOut >= 0);

    int err = WriteDictionaryToDescriptor(dict, fdOut);
    if (err != 0) return err;

    CFTypeRef value = CFDictionaryGetValue(dict, DescriptorArrayKey);
    if (value == NULL) return 0;
    if (CFGetTypeID(value) != CFArrayGetTypeID()) return EINVAL;

    // Each element is checked just before it is sent: on a bad element the peer already holds the
    // frame and the descriptors before it, and will see the stream end early.
    CFArrayRef descArray = static_cast<CFArrayRef>(value);
    const CFIndex count = CFArrayGetCount(descArray);
    for (CFIndex i = 0; i < count; i++) {
        const int fd = DescriptorFromElement(CFArrayGetValueAtIndex(descArray, i));
        if (fd < 0) return EINVAL;
        err = MoreUNIXWriteDescriptor(fdOut, fd);
        if (err != 0) return err;
    }
    return 0;
}

extern "C" int CopyDictionaryTranslatingDescriptors(int fdIn, CFDictionaryRef *response)
{
    MoreAssertQ(fdIn >= 0);
    MoreAssertQ(response != NULL);
    MoreAssertQ(*response == NULL);

    wfs::CFRef<CFDictionaryRef> frameDict;
    int err = CopyDictionaryFromDescriptor(fdIn, frameDict.out());
    if (err != 0) return err;

    CFTypeRef value = CFDictionaryGetValue(frameDict.get(), DescriptorArrayKey);
    if (value == NULL) {
        *response = frameDict.release();
        return 0;
    }
    if (CFGetTypeID(value) != CFArrayGetTypeID()) return kCFQUnexpectedDataErr;

    // The sender's numbers mean nothing here; only their count says how many descriptor messages
    // follow. A list we cannot trust is refused before any message is read, so nothing arrives
    // that we would then have to close, and the stream is left exactly at the first message.
    CFArrayRef senderArray = static_cast<CFArrayRef>(value);
    const CFIndex count = CFArrayGetCount(senderArray);
    for (CFIndex i = 0; i < count; i++) {
        if (DescriptorFromElement(CFArrayGetValueAtIndex(senderArray, i)) < 0) return EINVAL;
    }

    wfs::CFRef<CFMutableArrayRef> received;
    err = CFQArrayCreateMutable(received.out());
    if (err != 0) return err;
    wfs::CFRef<CFMutableDictionaryRef> copy(
        CFDictionaryCreateMutableCopy(kCFAllocatorDefault, 0, frameDict.get()));
    if (!copy) return coreFoundationUnknownErr;

    for (CFIndex i = 0; i < count && err == 0; i++) {
        int fdRead = -1;
        err = MoreUNIXReadDescriptor(fdIn, &fdRead);
        if (err != 0) break;
        // Owned from the moment it arrives, until the array holds its number.
        wfs::UniqueFd fd(fdRead);
        wfs::CFRef<CFNumberRef> number(CFNumberCreate(kCFAllocatorDefault, kCFNumberIntType, &fdRead));
        err = CFQError(number.get());
        if (err != 0) break;
        CFArrayAppendValue(received.get(), number.get());
        (void) fd.release();
    }
    if (err != 0) {
        MoreSecCloseDescriptorArray(received.get());
        return err;
    }

    CFDictionarySetValue(copy.get(), DescriptorArrayKey, received.get());
    *response = copy.release();
    return 0;
}

extern "C" void MoreSecCloseDescriptorArray(CFArrayRef descArray)
{
    if (descArray == NULL) return;
    MoreAssertQ(CFGetTypeID(descArray) == CFArrayGetTypeID());

    const CFIndex count = CFArrayGetCount(descArray);
    for (CFIndex i = 0; i < count; i++) {
        const int fd = DescriptorFromElement(CFArrayGetValueAtIndex(descArray, i));
        MoreAssertQ(fd >= 0);
        // Not retried on EINTR: the descriptor is gone either way on Linux. EBADF means the list
        // named a descriptor we did not own, which is a bug in the holder of the dictionary.
        const int rc = close(fd);
        MoreAssertQ(rc == 0 || errno != EBADF);
    }
}

extern "C" int MoreSecGetErrorFromResponse(CFDictionaryRef response)
{
    MoreAssertQ(response != NULL);

    CFTypeRef value = CFDictionaryGetValue(response, ErrorNumberKey);
    if (value == NULL || CFGetTypeID(value) != CFNumberGetTypeID()) return coreFoundationUnknownErr;
    SInt32 result = 0;
    if (!CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt32Type, &result)) {
        return coreFoundationUnknownErr;
    }
    return result;
}

extern "C" int MoreSecErrorToHelperToolResult(int error)
{
    switch (error) {
    case 0:
        return kHelperToolResultSuccess;
    case errAuthorizationDenied:
        return kHelperToolResultDenied;
    case errAuthorizationCanceled:
        return kHelperToolResultCanceled;
    case kHelperToolInternalErr:
    case kHelperToolDeniedErr:
    case kHelperToolCanceledErr:
    case kHelperToolFailedErr:
        return error - 5360;
    default:
        return kHelperToolResultFailed;
    }
}

extern "C" int MoreSecHelperToolResultToError(int toolResult)
{
    if (toolResult == kHelperToolResultSuccess) return 0;
    if (toolResult >= kHelperToolResultInternalError && toolResult <= kHelperToolResultFailed) {
        return 5360 + toolResult;
    }
    return kHelperToolFailedErr;
}
