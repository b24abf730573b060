// A stand-in helper tool for the request tests, started exactly as the real tool is (no arguments,
// the socket on 0 and 1). The client passes its environment on unchanged, so WFS_WIRE_TOOL_MODE
// names what the tool does after reading the external form and the request:
//
//   answer     a response echoing the request's "Payload", exit 0
//   fds:N      a response with two descriptors of WFS_WIRE_TOOL_FILE, then exit N
//   exit:N     no response, exit N
//   killed     no response, killed by SIGKILL
//   partial    half a response frame, exit 0

#include "MoreSecurityInternal.h"
#include "MoreUNIX.h"

#include <Support/CFRef.h>
#include <Support/UniqueFd.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

int Serve(const char *mode)
{
    AuthorizationExternalForm form;
    wfs::CFRef<CFDictionaryRef> request;
    if (MoreUNIXRead(0, &form, sizeof(form), nullptr) != 0 ||
        CopyDictionaryFromDescriptor(0, request.out()) != 0) {
        return 4;
    }
    wfs::CFRef<CFMutableDictionaryRef> response(CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    int status = 0;
    wfs::UniqueFd first, second;
    if (strcmp(mode, "answer") == 0) {
        CFTypeRef payload = CFDictionaryGetValue(request.get(), CFSTR("Payload"));
        if (payload != nullptr) CFDictionarySetValue(response.get(), CFSTR("Echo"), payload);
    } else if (strncmp(mode, "fds:", 4) == 0) {
        status = atoi(mode + 4);
        const char *path = getenv("WFS_WIRE_TOOL_FILE");
        first.reset(open(path, O_RDONLY | O_CLOEXEC));
        second.reset(open(path, O_RDONLY | O_CLOEXEC));
        int fds[] = {first.get(), second.get()};
        wfs::CFRef<CFMutableArrayRef> list(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
        for (int &fd : fds) {
            wfs::CFRef<CFNumberRef> number(CFNumberCreate(nullptr, kCFNumberIntType, &fd));
            CFArrayAppendValue(list.get(), number.get());
        }
        CFDictionarySetValue(response.get(), DescriptorArrayKey, list.get());
    } else if (strncmp(mode, "exit:", 5) == 0) {
        return atoi(mode + 5);
    } else if (strcmp(mode, "killed") == 0) {
        raise(SIGKILL);
    } else if (strcmp(mode, "partial") == 0) {
        const uint32_t claimed = 100;
        return MoreUNIXWrite(1, &claimed, sizeof(claimed), nullptr) + MoreUNIXWrite(1, "<?xml", 5, nullptr);
    } else {
        return 1;
    }
    return WriteDictionaryAndDescriptors(response.get(), 1) == 0 ? status : 4;
}

}  // namespace

int main(int argc, char **)
{
    const char *mode = getenv("WFS_WIRE_TOOL_MODE");
    if (MoreUNIXIgnoreSIGPIPE() != 0 || mode == nullptr || argc < 1) return 4;
    return Serve(mode);
}
