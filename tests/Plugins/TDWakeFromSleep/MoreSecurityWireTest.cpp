// The frame and descriptor format between client and helper tool, against real sockets and a real
// peer process.

#include "MoreSecurityTestSupport.h"

#include "MoreCFQ.h"

using namespace wfs_test;

namespace {

std::string PlistXML(const std::string &body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n" + body + "\n</plist>\n";
}

// Reads one response from a socket on which `bytes`, `fdMessages` descriptor messages (when
// `fdMessageOf` is given), `trailer` and the end were written; answers the error, and in `rest`
// what the reader left on the stream.
int ReadResponseFrom(const std::string &bytes, wfs::CFRef<CFDictionaryRef> *response, std::string *rest,
                     const std::string &trailer = "NEXT", int fdMessageOf = -1, int fdMessages = 1)
{
    SocketPair sockets;
    EXPECT_EQ(MoreUNIXWrite(sockets.theirs.get(), bytes.data(), bytes.size(), nullptr), 0);
    for (int i = 0; fdMessageOf >= 0 && i < fdMessages; i++) {
        EXPECT_EQ(MoreUNIXWriteDescriptor(sockets.theirs.get(), fdMessageOf), 0);
    }
    Send(sockets.theirs.get(), trailer);
    const int err = CopyDictionaryTranslatingDescriptors(sockets.ours.get(), response->out());
    *rest = ReadAll(sockets.ours.get());
    return err;
}

// Every case checks that it leaves no descriptor and no child behind.
class MoreSecWire : public NothingLeftBehind {};

TEST_F(MoreSecWire, FrameLengthsAndContentsAreCheckedWithoutReadingBeyondTheFrame)
{
    // The forked writers use MoreUNIXWrite, which requires SIGPIPE ignored.
    ASSERT_EQ(MoreUNIXIgnoreSIGPIPE(), 0);
    const std::string oneKey = PlistXML("<dict><key>a</key><string>b</string></dict>");
    // Exactly the limit: a valid document padded inside a comment, written by another process
    // because it does not fit into a socket buffer.
    const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!--";
    const std::string tail = "-->\n" + oneKey.substr(oneKey.find("<plist"));
    const std::string atLimit = head + std::string(kMaxDictionarySize - head.size() - tail.size(), ' ') + tail;
    ASSERT_EQ(atLimit.size(), 1048576u);
    {
        // The writer is killed, not waited for, if the reader stops early: our end closes after it.
        SocketPair sockets;
        const std::string frame = RawFrame(atLimit) + "NEXT";
        Child writer = Child::Fork([&] {
            return MoreUNIXWrite(sockets.theirs.get(), frame.data(), frame.size(), nullptr);
        });
        sockets.theirs.reset();
        wfs::CFRef<CFDictionaryRef> dict;
        ASSERT_EQ(CopyDictionaryFromDescriptor(sockets.ours.get(), dict.out()), 0);
        EXPECT_EQ(Utf8(CFDictionaryGetValue(dict.get(), CFSTR("a"))), "b");
        EXPECT_EQ(ReadAll(sockets.ours.get()), "NEXT");
        EXPECT_TRUE(writer.Wait().Exited(0));
    }
    auto lengthOnly = [](uint32_t n) { return std::string(reinterpret_cast<const char *>(&n), 4); };
    const struct {
        std::string bytes;
        int err;
        std::string rest;  // what must still be on the stream afterwards
    } cases[] = {
        {lengthOnly(0), paramErr, "NEXT"},
        {lengthOnly(1048577), memFullErr, "NEXT"},
        {lengthOnly(0x80000010u), memFullErr, "NEXT"},
        {RawFrame(PlistXML("<array><string>a</string></array>")), paramErr, "NEXT"},
        {RawFrame(PlistXML("<string>just a string</string>")), paramErr, "NEXT"},
        {RawFrame(PlistXML("<dict><key>a</key><string>b</dict>")), coreFoundationUnknownErr, "NEXT"},
        {RawFrame(PlistXML("<dict><key>" kMoreSecDescriptorArrayKeyString "</key><string>3</string></dict>")),
         kCFQUnexpectedDataErr, "NEXT"},
        {std::string("\x10\x00", 2), EPIPE, ""},       // the end inside the length
        {lengthOnly(64) + "<?xml", EPIPE, ""},         // ... and inside the body
    };
    for (const auto &c : cases) {
        wfs::CFRef<CFDictionaryRef> response;
        std::string rest;
        EXPECT_EQ(ReadResponseFrom(c.bytes, &response, &rest, c.rest), c.err) << c.bytes;
        EXPECT_FALSE(response);
        EXPECT_EQ(rest, c.rest) << c.bytes;
    }
}

TEST_F(MoreSecWire, DescriptorListsOnEitherSide)
{
    ASSERT_EQ(MoreUNIXIgnoreSIGPIPE(), 0);
    wfs::UniqueFd devNull(open("/dev/null", O_RDONLY | O_CLOEXEC));
    auto dict = MakeDictionary();
    wfs::CFRef<CFDictionaryRef> response;
    std::string rest;

    // An empty list comes back as an empty list and no message is read; a bad list is refused
    // before any message is read (a message follows the frame, then "NEXT").
    CFDictionarySetValue(dict.get(), DescriptorArrayKey, IntArray({}).get());
    ASSERT_EQ(ReadResponseFrom(FrameOf(dict.get()), &response, &rest), 0);
    EXPECT_EQ(CFArrayGetCount(DescriptorArrayOf(response.get())), 0);
    EXPECT_EQ(rest, "NEXT");
    wfs::CFRef<CFMutableArrayRef> badLists[] = {IntArray({-1}), IntArray({devNull.get(), 0})};
    CFArraySetValueAtIndex(badLists[1].get(), 1, CFSTR("4"));
    for (auto &list : badLists) {
        CFDictionarySetValue(dict.get(), DescriptorArrayKey, list.get());
        response.reset();
        EXPECT_EQ(ReadResponseFrom(FrameOf(dict.get()), &response, &rest, "NEXT", devNull.get()), EINVAL);
        EXPECT_FALSE(response);
        EXPECT_EQ(rest, "DNEXT") << "the descriptor message is still unread";
    }

    // The sender checks its list only after the frame, element by element.
    {
        SocketPair sockets;
        CFDictionarySetValue(dict.get(), DescriptorArrayKey, IntArray({devNull.get(), -5}).get());
        EXPECT_EQ(WriteDictionaryAndDescriptors(dict.get(), sockets.theirs.get()), EINVAL);
        CFDictionarySetValue(dict.get(), DescriptorArrayKey, CFSTR("x"));
        EXPECT_EQ(WriteDictionaryAndDescriptors(dict.get(), sockets.theirs.get()), EINVAL);
        sockets.theirs.reset();
        wfs::CFRef<CFDictionaryRef> first, second;
        EXPECT_EQ(CopyDictionaryTranslatingDescriptors(sockets.ours.get(), first.out()), EINVAL);
        int fdRead = -1;
        ASSERT_EQ(MoreUNIXReadDescriptor(sockets.ours.get(), &fdRead), 0);
        wfs::UniqueFd received(fdRead);
        EXPECT_TRUE(SameFile(fdRead, devNull.get()));
        EXPECT_EQ(CopyDictionaryFromDescriptor(sockets.ours.get(), second.out()), 0);
        EXPECT_EQ(ReadAll(sockets.ours.get()), "");
    }
    // The frame and only two of the three descriptor messages, then the end: the two that came
    // are closed again.
    CFDictionarySetValue(dict.get(), DescriptorArrayKey, IntArray({devNull.get(), devNull.get(), 0}).get());
    EXPECT_EQ(ReadResponseFrom(FrameOf(dict.get()), &response, &rest, "", devNull.get(), 2), EPIPE);
    EXPECT_FALSE(response);
    // A peer that has gone away: the write's EPIPE, not a signal.
    SocketPair gone;
    gone.ours.reset();
    EXPECT_EQ(WriteDictionaryToDescriptor(dict.get(), gone.theirs.get()), EPIPE);
}

TEST_F(MoreSecWire, ResultConversionsAndTheErrorKey)
{
    const int errors[][2] = {{0, 0},    {-60005, 2}, {-60006, 3}, {5361, 1}, {5362, 2}, {5363, 3},
                             {5364, 4}, {5365, 4},   {5360, 4},   {-1, 4},   {EPIPE, 4}};
    for (auto [error, result] : errors) EXPECT_EQ(MoreSecErrorToHelperToolResult(error), result) << error;
    const int results[][2] = {{0, 0},    {1, 5361},  {2, 5362},  {3, 5363},
                              {4, 5364}, {5, 5364}, {-1, 5364}, {255, 5364}};
    for (auto [result, error] : results) EXPECT_EQ(MoreSecHelperToolResultToError(result), error) << result;

    auto response = MakeDictionary();
    EXPECT_EQ(MoreSecGetErrorFromResponse(response.get()), coreFoundationUnknownErr);
    SInt32 denied = -60005;
    long long tooBig = 1LL << 40;
    wfs::CFRef<CFNumberRef> n(CFNumberCreate(nullptr, kCFNumberSInt32Type, &denied));
    wfs::CFRef<CFNumberRef> big(CFNumberCreate(nullptr, kCFNumberLongLongType, &tooBig));
    CFDictionarySetValue(response.get(), ErrorNumberKey, n.get());
    EXPECT_EQ(MoreSecGetErrorFromResponse(response.get()), -60005);
    CFDictionarySetValue(response.get(), ErrorNumberKey, big.get());
    EXPECT_EQ(MoreSecGetErrorFromResponse(response.get()), coreFoundationUnknownErr);
    CFDictionarySetValue(response.get(), ErrorNumberKey, CFSTR("0"));
    EXPECT_EQ(MoreSecGetErrorFromResponse(response.get()), coreFoundationUnknownErr);
}

}  // namespace
