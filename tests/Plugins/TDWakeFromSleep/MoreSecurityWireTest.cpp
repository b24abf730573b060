// The frame and descriptor format between client and helper tool, against real sockets and a real
// peer process.

#include "MoreSecurityWireTestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

using namespace wfs_test;

namespace {

const std::string kOneKeyDict = PlistXML("<dict><key>a</key><string>b</string></dict>");

class MoreSecWire : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(MoreUNIXIgnoreSIGPIPE(), 0); }
};

// Reads what is left on the socket after a reader stopped (the peer has closed its end).
std::string Remaining(int fd)
{
    std::string rest;
    char buffer[256];
    for (;;) {
        const ssize_t n = wfs::RetryOnEintr([&] { return read(fd, buffer, sizeof(buffer)); });
        if (n <= 0) break;
        rest.append(buffer, static_cast<size_t>(n));
    }
    return rest;
}

// Reads one frame from `fd`; the error and the dictionary.
std::pair<int, wfs::CFRef<CFDictionaryRef>> ReadFrame(int fd)
{
    wfs::CFRef<CFDictionaryRef> dict;
    const int err = CopyDictionaryFromDescriptor(fd, dict.out());
    return {err, std::move(dict)};
}

std::pair<int, wfs::CFRef<CFDictionaryRef>> ReadResponse(int fd)
{
    wfs::CFRef<CFDictionaryRef> dict;
    const int err = CopyDictionaryTranslatingDescriptors(fd, dict.out());
    return {err, std::move(dict)};
}

// A dictionary whose DescriptorArrayKey holds `value`.
wfs::CFRef<CFMutableDictionaryRef> WithDescriptorValue(CFTypeRef value)
{
    auto dict = MakeDictionary();
    CFDictionarySetValue(dict.get(), CFSTR("Payload"), CFSTR("payload"));
    CFDictionarySetValue(dict.get(), DescriptorArrayKey, value);
    return dict;
}

wfs::UniqueFd OpenTemporaryFile()
{
    char path[] = "/tmp/MoreSecWireXXXXXX";
    wfs::UniqueFd fd(mkostemp(path, O_CLOEXEC));
    EXPECT_TRUE(fd);
    unlink(path);
    return fd;
}

}  // namespace

TEST_F(MoreSecWire, ResponseWithThreeDescriptorsArrivesRenumberedInOrder)
{
    const int before = CountOpenDescriptors();
    {
        // Three different kinds of open file, so a mix-up of order shows.
        wfs::UniqueFd file = OpenTemporaryFile();
        int pipeFds[2];
        ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
        wfs::UniqueFd pipeRead(pipeFds[0]), pipeWrite(pipeFds[1]);
        wfs::UniqueFd devNull(open("/dev/null", O_RDONLY | O_CLOEXEC));
        const int sent[3] = {file.get(), pipeRead.get(), devNull.get()};

        auto fds = MakeArray();
        for (int fd : sent) AppendInt(fds.get(), fd);
        auto dict = WithDescriptorValue(fds.get());

        SocketPair sockets;
        ForkedPeer peer(sockets.theirs.get(), [&](int fd) {
            return WriteDictionaryAndDescriptors(dict.get(), fd) == 0 ? 0 : 1;
        });
        sockets.theirs.reset();

        auto [err, response] = ReadResponse(sockets.ours.get());
        ASSERT_EQ(err, 0);
        EXPECT_EQ(peer.Join(), 0);
        EXPECT_EQ(GetString(response.get(), CFSTR("Payload")), "payload");

        const std::vector<int> got = DescriptorsIn(response.get());
        ASSERT_EQ(got.size(), 3u);
        for (size_t i = 0; i < 3; i++) {
            EXPECT_NE(got[i], sent[i]) << "a received descriptor is a new number";
            EXPECT_TRUE(IdOf(got[i]) == IdOf(sent[i])) << "position " << i;
        }
        // The stream holds nothing beyond the three messages.
        EXPECT_EQ(Remaining(sockets.ours.get()), "");

        MoreSecCloseDescriptorArray(
            static_cast<CFArrayRef>(CFDictionaryGetValue(response.get(), DescriptorArrayKey)));
        for (int fd : got) EXPECT_FALSE(DescriptorIsOpen(fd));
        for (int fd : sent) EXPECT_TRUE(DescriptorIsOpen(fd)) << "the sender keeps its own";
    }
    EXPECT_EQ(CountOpenDescriptors(), before);
    EXPECT_TRUE(NoChildLeft());
}

TEST_F(MoreSecWire, PeerClosingBeforeTheLastDescriptorGivesEPIPEAndLeaksNothing)
{
    const int before = CountOpenDescriptors();
    {
        wfs::UniqueFd a(open("/dev/null", O_RDONLY | O_CLOEXEC));
        wfs::UniqueFd b(open("/dev/null", O_RDONLY | O_CLOEXEC));
        auto fds = MakeArray();
        AppendInt(fds.get(), a.get());
        AppendInt(fds.get(), b.get());
        AppendInt(fds.get(), a.get());
        auto dict = WithDescriptorValue(fds.get());

        SocketPair sockets;
        ForkedPeer peer(sockets.theirs.get(), [&](int fd) {
            if (WriteDictionaryToDescriptor(dict.get(), fd) != 0) return 1;
            if (MoreUNIXWriteDescriptor(fd, a.get()) != 0) return 2;
            if (MoreUNIXWriteDescriptor(fd, b.get()) != 0) return 3;
            return 0;
        });
        sockets.theirs.reset();

        auto [err, response] = ReadResponse(sockets.ours.get());
        EXPECT_EQ(err, EPIPE);
        EXPECT_FALSE(response);
        EXPECT_EQ(peer.Join(), 0);
    }
    EXPECT_EQ(CountOpenDescriptors(), before) << "the two descriptors that arrived are closed";
    EXPECT_TRUE(NoChildLeft());
}

TEST_F(MoreSecWire, FrameLengthBoundaries)
{
    // 0: refused before anything else is read.
    {
        SocketPair sockets;
        const uint32_t zero = 0;
        ASSERT_EQ(MoreUNIXWrite(sockets.theirs.get(), &zero, sizeof(zero), nullptr), 0);
        auto [err, dict] = ReadFrame(sockets.ours.get());
        EXPECT_EQ(err, paramErr);
        EXPECT_FALSE(dict);
    }
    // Exactly the limit: a valid document padded inside a comment to 1,048,576 bytes, written by
    // another process because it does not fit into a socket buffer.
    {
        const std::string head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!--";
        const std::string tail = "-->\n" + kOneKeyDict.substr(kOneKeyDict.find("<plist"));
        std::string xml = head + std::string(kMaxDictionarySize - head.size() - tail.size(), ' ') +
                          tail;
        ASSERT_EQ(xml.size(), 1048576u);
        SocketPair sockets;
        ForkedPeer peer(sockets.theirs.get(), [&](int fd) {
            if (WriteRawFrame(fd, xml) != 0) return 1;
            return MoreUNIXWrite(fd, "NEXT", 4, nullptr) == 0 ? 0 : 2;
        });
        sockets.theirs.reset();
        auto [err, dict] = ReadFrame(sockets.ours.get());
        ASSERT_EQ(err, 0);
        EXPECT_EQ(GetString(dict.get(), CFSTR("a")), "b");
        EXPECT_EQ(Remaining(sockets.ours.get()), "NEXT");
        EXPECT_EQ(peer.Join(), 0);
    }
    // One above the limit, and a length with the top bit set: refused without reading on, so the
    // bytes behind the length are still on the socket.
    for (uint32_t length : {1048577u, 0x80000010u}) {
        SocketPair sockets;
        std::string bytes(reinterpret_cast<const char *>(&length), sizeof(length));
        bytes += "NEXT";
        ASSERT_EQ(MoreUNIXWrite(sockets.theirs.get(), bytes.data(), bytes.size(), nullptr), 0);
        sockets.theirs.reset();
        auto [err, dict] = ReadFrame(sockets.ours.get());
        EXPECT_EQ(err, memFullErr) << length;
        EXPECT_FALSE(dict);
        EXPECT_EQ(Remaining(sockets.ours.get()), "NEXT") << length;
    }
    // The stream ends inside the length, and inside the body.
    for (const std::string &bytes : {std::string("\x10\x00", 2), std::string("\x40\x00\x00\x00<?xml", 9)}) {
        SocketPair sockets;
        ASSERT_EQ(MoreUNIXWrite(sockets.theirs.get(), bytes.data(), bytes.size(), nullptr), 0);
        sockets.theirs.reset();
        auto [err, dict] = ReadFrame(sockets.ours.get());
        EXPECT_EQ(err, EPIPE);
        EXPECT_FALSE(dict);
    }
}

TEST_F(MoreSecWire, FrameContentThatIsNotADictionary)
{
    const struct {
        std::string xml;
        int expected;
    } cases[] = {
        {PlistXML("<array><string>a</string></array>"), paramErr},
        {PlistXML("<string>just a string</string>"), paramErr},
        {PlistXML("<dict><key>a</key><string>b</dict>"), coreFoundationUnknownErr},
        {"this is not XML at all", coreFoundationUnknownErr},
    };
    for (const auto &c : cases) {
        SocketPair sockets;
        ASSERT_EQ(WriteRawFrame(sockets.theirs.get(), c.xml), 0);
        ASSERT_EQ(MoreUNIXWrite(sockets.theirs.get(), "NEXT", 4, nullptr), 0);
        sockets.theirs.reset();
        auto [err, dict] = ReadResponse(sockets.ours.get());
        EXPECT_EQ(err, c.expected) << c.xml;
        EXPECT_FALSE(dict);
        // Exactly one frame was consumed, whatever its content.
        EXPECT_EQ(Remaining(sockets.ours.get()), "NEXT") << c.xml;
    }
}

TEST_F(MoreSecWire, ReceiverRefusesABadDescriptorListBeforeReadingAnyMessage)
{
    const int before = CountOpenDescriptors();
    wfs::UniqueFd devNull(open("/dev/null", O_RDONLY | O_CLOEXEC));

    // Not an array at all.
    {
        auto dict = WithDescriptorValue(CFSTR("3"));
        SocketPair sockets;
        ASSERT_EQ(WriteDictionaryToDescriptor(dict.get(), sockets.theirs.get()), 0);
        auto [err, response] = ReadResponse(sockets.ours.get());
        EXPECT_EQ(err, kCFQUnexpectedDataErr);
        EXPECT_FALSE(response);
    }
    // A negative number or a string among valid descriptors: refused, and the descriptor message
    // that follows the frame is still the next thing on the stream.
    const std::function<void(CFMutableArrayRef)> badLists[] = {
        [](CFMutableArrayRef a) { AppendInt(a, -1); },
        [&](CFMutableArrayRef a) {
            AppendInt(a, devNull.get());
            CFArrayAppendValue(a, CFSTR("4"));
        },
        [&](CFMutableArrayRef a) {
            AppendInt(a, devNull.get());
            double fraction = 2.5;
            wfs::CFRef<CFNumberRef> n(CFNumberCreate(nullptr, kCFNumberDoubleType, &fraction));
            CFArrayAppendValue(a, n.get());
        },
    };
    for (const auto &fill : badLists) {
        auto fds = MakeArray();
        fill(fds.get());
        auto dict = WithDescriptorValue(fds.get());
        SocketPair sockets;
        ASSERT_EQ(WriteDictionaryToDescriptor(dict.get(), sockets.theirs.get()), 0);
        ASSERT_EQ(MoreUNIXWriteDescriptor(sockets.theirs.get(), devNull.get()), 0);
        // Closed, so that a reader that wrongly waits for more messages sees the end instead.
        sockets.theirs.reset();
        auto [err, response] = ReadResponse(sockets.ours.get());
        EXPECT_EQ(err, EINVAL);
        EXPECT_FALSE(response);
        int fdRead = -1;
        ASSERT_EQ(MoreUNIXReadDescriptor(sockets.ours.get(), &fdRead), 0);
        wfs::UniqueFd received(fdRead);
        EXPECT_TRUE(IdOf(received.get()) == IdOf(devNull.get()));
    }
    devNull.reset();
    EXPECT_EQ(CountOpenDescriptors(), before);
}

TEST_F(MoreSecWire, EmptyOrAbsentDescriptorListReadsNoMessages)
{
    {
        auto fds = MakeArray();
        auto dict = WithDescriptorValue(fds.get());
        SocketPair sockets;
        ASSERT_EQ(WriteDictionaryAndDescriptors(dict.get(), sockets.theirs.get()), 0);
        ASSERT_EQ(MoreUNIXWrite(sockets.theirs.get(), "NEXT", 4, nullptr), 0);
        sockets.theirs.reset();
        auto [err, response] = ReadResponse(sockets.ours.get());
        ASSERT_EQ(err, 0);
        CFTypeRef list = CFDictionaryGetValue(response.get(), DescriptorArrayKey);
        ASSERT_NE(list, nullptr);
        ASSERT_EQ(CFGetTypeID(list), CFArrayGetTypeID());
        EXPECT_EQ(CFArrayGetCount(static_cast<CFArrayRef>(list)), 0);
        EXPECT_EQ(Remaining(sockets.ours.get()), "NEXT");
    }
    {
        // Every value type the commands use survives the trip unchanged.
        auto dict = MakeDictionary();
        CFDictionarySetValue(dict.get(), CFSTR("CommandName"), CFSTR("SchedulePowerEvent"));
        wfs::CFRef<CFDateRef> date(CFDateCreate(nullptr, 123456789.5));
        CFDictionarySetValue(dict.get(), CFSTR("Date"), date.get());
        SetInt64(dict.get(), CFSTR("Big"), -9000000000LL);
        auto list = MakeArray();
        CFArrayAppendValue(list.get(), CFSTR("x"));
        CFDictionarySetValue(dict.get(), CFSTR("List"), list.get());
        SocketPair sockets;
        ASSERT_EQ(WriteDictionaryAndDescriptors(dict.get(), sockets.theirs.get()), 0);
        ASSERT_EQ(MoreUNIXWrite(sockets.theirs.get(), "NEXT", 4, nullptr), 0);
        sockets.theirs.reset();
        auto [err, response] = ReadResponse(sockets.ours.get());
        ASSERT_EQ(err, 0);
        EXPECT_TRUE(CFEqual(response.get(), dict.get()));
        EXPECT_EQ(Remaining(sockets.ours.get()), "NEXT");
    }
}

TEST_F(MoreSecWire, SenderRefusesABadDescriptorListAfterTheFrame)
{
    wfs::UniqueFd devNull(open("/dev/null", O_RDONLY | O_CLOEXEC));
    // Not an array: the frame is out, nothing follows.
    {
        auto dict = WithDescriptorValue(CFSTR("x"));
        SocketPair sockets;
        EXPECT_EQ(WriteDictionaryAndDescriptors(dict.get(), sockets.theirs.get()), EINVAL);
        sockets.theirs.reset();
        auto [err, frame] = ReadFrame(sockets.ours.get());
        EXPECT_EQ(err, 0);
        EXPECT_EQ(Remaining(sockets.ours.get()), "");
    }
    // A bad second element: the frame and the first descriptor are out.
    {
        auto fds = MakeArray();
        AppendInt(fds.get(), devNull.get());
        AppendInt(fds.get(), -5);
        auto dict = WithDescriptorValue(fds.get());
        SocketPair sockets;
        EXPECT_EQ(WriteDictionaryAndDescriptors(dict.get(), sockets.theirs.get()), EINVAL);
        sockets.theirs.reset();
        auto [err, frame] = ReadFrame(sockets.ours.get());
        EXPECT_EQ(err, 0);
        int fdRead = -1;
        EXPECT_EQ(MoreUNIXReadDescriptor(sockets.ours.get(), &fdRead), 0);
        wfs::UniqueFd first(fdRead);
        int none = -1;
        EXPECT_EQ(MoreUNIXReadDescriptor(sockets.ours.get(), &none), EPIPE);
    }
    // A peer that has gone away: the write's EPIPE, not a signal.
    {
        auto dict = MakeDictionary();
        SocketPair sockets;
        sockets.ours.reset();
        EXPECT_EQ(WriteDictionaryToDescriptor(dict.get(), sockets.theirs.get()), EPIPE);
    }
}

TEST(MoreSecWireConversions, ErrorsAndToolResults)
{
    const int errors[] = {0, -60005, -60006, 5361, 5362, 5363, 5364, 5365, 5360, -1, EPIPE};
    const int results[] = {0, 2, 3, 1, 2, 3, 4, 4, 4, 4, 4};
    for (size_t i = 0; i < sizeof(errors) / sizeof(errors[0]); i++) {
        EXPECT_EQ(MoreSecErrorToHelperToolResult(errors[i]), results[i]) << errors[i];
    }
    const int toolResults[] = {0, 1, 2, 3, 4, 5, -1, 255};
    const int toolErrors[] = {0, 5361, 5362, 5363, 5364, 5364, 5364, 5364};
    for (size_t i = 0; i < sizeof(toolResults) / sizeof(toolResults[0]); i++) {
        EXPECT_EQ(MoreSecHelperToolResultToError(toolResults[i]), toolErrors[i]) << toolResults[i];
    }
}

TEST(MoreSecWireResponse, ErrorFromResponse)
{
    auto response = MakeDictionary();
    EXPECT_EQ(MoreSecGetErrorFromResponse(response.get()), coreFoundationUnknownErr);

    SInt32 denied = -60005;
    wfs::CFRef<CFNumberRef> n(CFNumberCreate(nullptr, kCFNumberSInt32Type, &denied));
    CFDictionarySetValue(response.get(), ErrorNumberKey, n.get());
    EXPECT_EQ(MoreSecGetErrorFromResponse(response.get()), -60005);

    SetInt64(response.get(), ErrorNumberKey, 1LL << 40);
    EXPECT_EQ(MoreSecGetErrorFromResponse(response.get()), coreFoundationUnknownErr);

    CFDictionarySetValue(response.get(), ErrorNumberKey, CFSTR("0"));
    EXPECT_EQ(MoreSecGetErrorFromResponse(response.get()), coreFoundationUnknownErr);
}

TEST(MoreSecWireResponse, CloseDescriptorArrayClosesEveryListedDescriptor)
{
    MoreSecCloseDescriptorArray(nullptr);

    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    auto fds = MakeArray();
    AppendInt(fds.get(), pipeFds[0]);
    AppendInt(fds.get(), pipeFds[1]);
    MoreSecCloseDescriptorArray(fds.get());
    EXPECT_FALSE(DescriptorIsOpen(pipeFds[0]));
    EXPECT_FALSE(DescriptorIsOpen(pipeFds[1]));
    EXPECT_EQ(CFArrayGetCount(fds.get()), 2) << "the array itself is left as it was";
}

TEST(MoreSecWireDeathTest, CallerErrorsStopWithAnAssertionReport)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    CFDictionaryRef dict = nullptr;
    EXPECT_DEATH(CopyDictionaryFromDescriptor(-1, &dict), "failed assertion `fdIn >= 0'");
    EXPECT_DEATH(CopyDictionaryFromDescriptor(0, nullptr), "failed assertion `dictResult != NULL'");
    CFDictionaryRef notEmpty = reinterpret_cast<CFDictionaryRef>(uintptr_t{1});
    EXPECT_DEATH(CopyDictionaryTranslatingDescriptors(0, &notEmpty),
                 "failed assertion `\\*response == NULL'");
    EXPECT_DEATH(WriteDictionaryToDescriptor(nullptr, 1), "failed assertion `dict != NULL'");
    auto fds = MakeArray();
    AppendInt(fds.get(), -3);
    EXPECT_DEATH(MoreSecCloseDescriptorArray(fds.get()), "failed assertion `fd >= 0'");
}
