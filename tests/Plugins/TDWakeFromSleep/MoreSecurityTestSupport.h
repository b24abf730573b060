// Helpers for the MoreSecurity tests and the helper tool's: requests, frames and authorizations.
// Builds on the shared TestSupport.h and CFTestSupport.h.
#pragma once

#include "MoreSecurityInternal.h"
#include "MoreUNIX.h"

#include <CFTestSupport.h>
#include <TestSupport.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace wfs_test {

using namespace wfstest;

// A request as the controller builds it: the command, and for a power event its date, scheduler and
// type.
inline wfs::CFRef<CFMutableDictionaryRef> Request(const char *command, CFAbsoluteTime date = 0,
                                                  const std::string &scheduler = "",
                                                  const std::string &type = "")
{
    wfs::CFRef<CFMutableDictionaryRef> request = MakeDictionary();
    CFDictionarySetValue(request.get(), CFSTR("CommandName"), Str(command).get());
    if (scheduler.empty()) return request;
    wfs::CFRef<CFDateRef> when(CFDateCreate(nullptr, date));
    CFDictionarySetValue(request.get(), CFSTR("Date"), when.get());
    CFDictionarySetValue(request.get(), CFSTR("Scheduler"), Str(scheduler).get());
    CFDictionarySetValue(request.get(), CFSTR("Type"), Str(type).get());
    return request;
}

inline CFArrayRef DescriptorArrayOf(CFDictionaryRef dict)
{
    return static_cast<CFArrayRef>(CFDictionaryGetValue(dict, DescriptorArrayKey));
}

// The descriptors listed under DescriptorArrayKey.
inline std::vector<int> DescriptorsIn(CFDictionaryRef dict)
{
    std::vector<int> fds;
    CFArrayRef array = DescriptorArrayOf(dict);
    for (CFIndex i = 0; array != nullptr && i < CFArrayGetCount(array); i++) {
        fds.push_back(static_cast<int>(NumberValue(CFArrayGetValueAtIndex(array, i))));
    }
    return fds;
}

// A frame holding `xml` as it stands: length in native order, then the bytes.
inline std::string RawFrame(const std::string &xml)
{
    const uint32_t n = static_cast<uint32_t>(xml.size());
    return std::string(reinterpret_cast<const char *>(&n), sizeof(n)) + xml;
}

inline std::string FrameOf(CFDictionaryRef dict)
{
    wfs::CFRef<CFDataRef> xml(CFPropertyListCreateXMLData(nullptr, dict));
    return RawFrame(std::string(reinterpret_cast<const char *>(CFDataGetBytePtr(xml.get())),
                                static_cast<size_t>(CFDataGetLength(xml.get()))));
}

inline std::string ExternalFormOf(AuthorizationRef auth)
{
    AuthorizationExternalForm form;
    EXPECT_EQ(AuthorizationMakeExternalForm(auth, &form), 0);
    return std::string(form.bytes, sizeof(form.bytes));
}

// Writes `bytes` to `fd` and shuts down its sending direction.
inline void Send(int fd, const std::string &bytes)
{
    EXPECT_EQ(MoreUNIXWrite(fd, bytes.data(), bytes.size(), nullptr), 0);
    EXPECT_EQ(shutdown(fd, SHUT_WR), 0);
}

// What a client writes to the tool: the authorization's external form, then the request's frame.
inline std::string ToolInput(AuthorizationRef auth, CFDictionaryRef request)
{
    return ExternalFormOf(auth) + FrameOf(request);
}

// A new authorization of our own, freed with this object. Failing to make one fails the test (in a
// forked child, the null reference then fails the child's own checks).
struct OwnAuthorization {
    AuthorizationRef ref = nullptr;
    OwnAuthorization() { EXPECT_EQ(AuthorizationCreate(nullptr, nullptr, 0, &ref), 0); }
    ~OwnAuthorization() { AuthorizationFree(ref, kAuthorizationFlagDefaults); }
    OwnAuthorization(const OwnAuthorization &) = delete;
    OwnAuthorization &operator=(const OwnAuthorization &) = delete;
};

// One request to the tool at `tool` as the client sends it; answers the error.
inline int ExecuteRequest(const std::string &tool, AuthorizationRef auth, CFDictionaryRef request,
                          wfs::CFRef<CFDictionaryRef> *response)
{
    return MoreSecExecuteRequestInHelperTool(FileURL(tool).get(), auth, request, response->out());
}

// The dispatcher serving `input` on one end of a socket pair; answers its result and, in
// `response`, what the client then reads. `served` runs between the two, before the client reads.
inline int DispatchInput(const std::string &input, AuthorizationRef auth, MoreSecCommandProcedure proc,
                         wfs::CFRef<CFDictionaryRef> *response, const std::function<void()> &served = {})
{
    SocketPair pair;
    Send(pair.ours.get(), input);
    const int err = ReadAndDispatchCommand(pair.theirs.get(), pair.theirs.get(), auth, proc);
    if (served) served();
    pair.theirs.reset();
    if (response != nullptr) {
        EXPECT_EQ(CopyDictionaryTranslatingDescriptors(pair.ours.get(), response->out()), 0);
    }
    return err;
}

// A test with SIGPIPE ignored (a peer that goes away must show as EPIPE, not end the test) and an
// authorization of its own, freed at the end; on top of `Base`, whose set-up comes first.
template <typename Base = ::testing::Test>
class AuthorizedOn : public Base {
protected:
    void SetUp() override
    {
        Base::SetUp();
        ASSERT_EQ(MoreUNIXIgnoreSIGPIPE(), 0);
        ASSERT_EQ(AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagDefaults, &auth_), 0);
    }
    void TearDown() override
    {
        if (auth_ != nullptr) {
            EXPECT_EQ(AuthorizationFree(std::exchange(auth_, nullptr), kAuthorizationFlagDefaults), 0);
        }
        Base::TearDown();
    }

    AuthorizationRef auth_ = nullptr;
};
using AuthorizedTest = AuthorizedOn<>;

}  // namespace wfs_test
