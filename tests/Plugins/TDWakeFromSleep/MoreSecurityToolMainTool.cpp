// A helper tool for the main-routine and request tests, built like the real one: its entry point
// follows the main routine's contract (descriptors 0 and 1, the authorization from the privileged
// launch, SIGPIPE ignored, exit status from the result). Its command procedure answers a copy of
// the request with the effective, real and saved user IDs it ran with ("CommandEUID", "CommandRUID",
// "CommandSUID") and the external form of the authorization it was given ("AuthForm").
//
// Started as a repairer ("--self-repair") with WFS_FAKE_REPAIRER set, it stands in for a repairer
// that goes wrong: it writes its process ID and then
//   exit:N       exits with status N once the request has arrived, unread
//   signal       is killed by SIGKILL once the request has arrived, unread
//   close-exit0  closes its input and output without reading and exits with 0
//
// With WFS_WIRE_TOOL_MODE set it leaves the main routine out: it reads the external form and the
// request itself and then
//   answer       answers a response echoing the request's "Payload", exit 0
//   fds:N        answers two descriptors of WFS_WIRE_TOOL_FILE, then exits N
//   exit:N       answers nothing, exit N
//   killed       answers nothing, killed by SIGKILL
//   partial      answers half a response frame, exit 0

#include "MoreSecurityInternal.h"
#include "MoreUNIX.h"

#include <Support/CFRef.h>
#include <Support/UniqueFd.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

void SetNumber(CFMutableDictionaryRef dict, CFStringRef key, long long value)
{
    wfs::CFRef<CFNumberRef> number(CFNumberCreate(nullptr, kCFNumberLongLongType, &value));
    CFDictionarySetValue(dict, key, number.get());
}

int EchoCommand(AuthorizationRef auth, CFDictionaryRef request, CFDictionaryRef *response)
{
    wfs::CFRef<CFMutableDictionaryRef> answer(CFDictionaryCreateMutableCopy(nullptr, 0, request));
    uid_t ruid = 0, euid = 0, suid = 0;
    getresuid(&ruid, &euid, &suid);
    SetNumber(answer.get(), CFSTR("CommandEUID"), euid);
    SetNumber(answer.get(), CFSTR("CommandRUID"), ruid);
    SetNumber(answer.get(), CFSTR("CommandSUID"), suid);
    AuthorizationExternalForm form;
    if (AuthorizationMakeExternalForm(auth, &form) == 0) {
        wfs::CFRef<CFDataRef> data(CFDataCreate(nullptr, reinterpret_cast<const UInt8 *>(form.bytes), 32));
        CFDictionarySetValue(answer.get(), CFSTR("AuthForm"), data.get());
    }
    *response = answer.release();
    return 0;
}

int FakeRepairer(const char *mode)
{
    const int32_t pid = getpid();
    if (MoreUNIXWrite(STDOUT_FILENO, &pid, sizeof(pid), nullptr) != 0) return 4;
    // Left unread, the request makes the relay's end see the connection reset, not just closed.
    struct pollfd input = {STDIN_FILENO, POLLIN, 0};
    if (strcmp(mode, "close-exit0") != 0 && poll(&input, 1, 10000) != 1) return 4;
    if (strncmp(mode, "exit:", 5) == 0) return atoi(mode + 5);
    if (strcmp(mode, "signal") == 0) raise(SIGKILL);
    close(STDIN_FILENO);
    close(STDOUT_FILENO);
    return strcmp(mode, "close-exit0") == 0 ? 0 : 4;
}

int ServeWithoutTheMainRoutine(const char *mode)
{
    AuthorizationExternalForm form;
    wfs::CFRef<CFDictionaryRef> request;
    if (MoreUNIXRead(0, &form, sizeof(form), nullptr) != 0) return 4;
    if (CopyDictionaryFromDescriptor(0, request.out()) != 0) return 4;
    wfs::CFRef<CFMutableDictionaryRef> response(CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    int status = 0;
    wfs::UniqueFd files[2];
    if (strcmp(mode, "answer") == 0) {
        CFTypeRef payload = CFDictionaryGetValue(request.get(), CFSTR("Payload"));
        if (payload != nullptr) CFDictionarySetValue(response.get(), CFSTR("Echo"), payload);
    } else if (strncmp(mode, "fds:", 4) == 0) {
        status = atoi(mode + 4);
        wfs::CFRef<CFMutableArrayRef> list(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
        for (wfs::UniqueFd &file : files) {
            file.reset(open(getenv("WFS_WIRE_TOOL_FILE"), O_RDONLY | O_CLOEXEC));
            const int fd = file.get();
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

// The leak check at exit traces this process from a helper, which the kernel refuses for a
// process started set-user-ID (real and saved user differ). Off there only.
extern "C" int __lsan_is_turned_off()
{
    uid_t ruid = 0, euid = 0, suid = 0;
    return getresuid(&ruid, &euid, &suid) == 0 && ruid != suid;
}

int main(int argc, char **argv)
{
    if (MoreUNIXIgnoreSIGPIPE() != 0) return kHelperToolResultFailed;
    if (const char *mode = secure_getenv("WFS_WIRE_TOOL_MODE")) return ServeWithoutTheMainRoutine(mode);
    const char *fake = secure_getenv("WFS_FAKE_REPAIRER");
    if (fake != nullptr && argc == 2) return FakeRepairer(fake);
    if (argc < 1 || argv[0] == nullptr) return kHelperToolResultInternalError;
    return MoreSecErrorToHelperToolResult(MoreSecHelperToolMain(
        STDIN_FILENO, STDOUT_FILENO, MoreSecHelperToolCopyAuthRef(), EchoCommand, argc,
        const_cast<const char **>(argv)));
}
