// A stand-in helper tool for the request tests. It is started exactly as the real tool is (no
// arguments, the socket on 0 and 1), so its behaviour comes from the environment, which the client
// passes on unchanged: WFS_WIRE_TOOL_MODE names what it does after reading the external form and
// the request.
//
//   answer        a response echoing the request's "Payload", exit 0
//   fds-answer    a response with two descriptors of WFS_WIRE_TOOL_FILE, exit 0
//   fds-then-fail a complete response with two descriptors, then exit 4
//   deny          no response, exit 2
//   exit9         no response, exit 9
//   killed        no response, killed by SIGKILL
//   partial       half a response frame, exit 0
//   inspect       a response describing how the tool was started, exit 0

#include "MoreSecurityInternal.h"
#include "MoreUNIX.h"

#include <Support/CFRef.h>
#include <Support/UniqueFd.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

void SetInt64(CFMutableDictionaryRef dict, CFStringRef key, long long value)
{
    wfs::CFRef<CFNumberRef> number(CFNumberCreate(nullptr, kCFNumberLongLongType, &value));
    CFDictionarySetValue(dict, key, number.get());
}

void SetString(CFMutableDictionaryRef dict, CFStringRef key, const char *value)
{
    wfs::CFRef<CFStringRef> string(
        CFStringCreateWithCString(nullptr, value, kCFStringEncodingUTF8));
    CFDictionarySetValue(dict, key, string.get());
}

// Descriptors above 2 open in this process, not counting the one that lists them.
long long CountDescriptorsAboveStandard()
{
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    long long count = 0;
    while (struct dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.' && atoi(entry->d_name) > 2) count++;
    }
    closedir(dir);
    return count - 1;
}

void DescribeStart(CFMutableDictionaryRef response, int argc, char **argv,
                   const AuthorizationExternalForm &extForm)
{
    SetInt64(response, CFSTR("Argc"), argc);
    SetString(response, CFSTR("Argv0"), argc > 0 ? argv[0] : "");
    struct stat st0 {}, st1 {}, st2 {};
    fstat(0, &st0);
    fstat(1, &st1);
    fstat(2, &st2);
    SetInt64(response, CFSTR("Fd0Ino"), static_cast<long long>(st0.st_ino));
    SetInt64(response, CFSTR("Fd1Ino"), static_cast<long long>(st1.st_ino));
    SetInt64(response, CFSTR("Fd0IsSocket"), S_ISSOCK(st0.st_mode) ? 1 : 0);
    SetInt64(response, CFSTR("Fd2Dev"), static_cast<long long>(st2.st_dev));
    SetInt64(response, CFSTR("Fd2Ino"), static_cast<long long>(st2.st_ino));
    // On a socket pair the peer's credentials are those of the process that made the pair.
    struct ucred peer {};
    socklen_t length = sizeof(peer);
    if (getsockopt(0, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0) {
        SetInt64(response, CFSTR("PeerPid"), peer.pid);
    }
    const char *marker = getenv("WFS_WIRE_TOOL_MARKER");
    SetString(response, CFSTR("Marker"), marker != nullptr ? marker : "<unset>");
    SetInt64(response, CFSTR("ExtraFds"), CountDescriptorsAboveStandard());
    wfs::CFRef<CFDataRef> form(CFDataCreate(nullptr, reinterpret_cast<const UInt8 *>(&extForm),
                                            sizeof(extForm)));
    CFDictionarySetValue(response, CFSTR("ExternalForm"), form.get());
}

int Serve(const std::string &mode, int argc, char **argv)
{
    AuthorizationExternalForm extForm;
    if (MoreUNIXRead(0, &extForm, sizeof(extForm), nullptr) != 0) return 4;
    wfs::CFRef<CFDictionaryRef> request;
    if (CopyDictionaryFromDescriptor(0, request.out()) != 0) return 4;

    wfs::CFRef<CFMutableDictionaryRef> response(CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    SetInt64(response.get(), ErrorNumberKey, 0);

    if (mode == "answer") {
        CFTypeRef payload = CFDictionaryGetValue(request.get(), CFSTR("Payload"));
        if (payload != nullptr) CFDictionarySetValue(response.get(), CFSTR("Echo"), payload);
        return WriteDictionaryAndDescriptors(response.get(), 1) == 0 ? 0 : 4;
    }
    if (mode == "fds-answer" || mode == "fds-then-fail") {
        const char *path = getenv("WFS_WIRE_TOOL_FILE");
        wfs::UniqueFd first(open(path != nullptr ? path : "/dev/null", O_RDONLY | O_CLOEXEC));
        wfs::UniqueFd second(open(path != nullptr ? path : "/dev/null", O_RDONLY | O_CLOEXEC));
        if (!first || !second) return 4;
        wfs::CFRef<CFMutableArrayRef> fds(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
        for (int fd : {first.get(), second.get()}) {
            wfs::CFRef<CFNumberRef> number(CFNumberCreate(nullptr, kCFNumberIntType, &fd));
            CFArrayAppendValue(fds.get(), number.get());
        }
        CFDictionarySetValue(response.get(), DescriptorArrayKey, fds.get());
        if (WriteDictionaryAndDescriptors(response.get(), 1) != 0) return 4;
        return mode == "fds-answer" ? 0 : 4;
    }
    if (mode == "deny") return 2;
    if (mode == "exit9") return 9;
    if (mode == "killed") {
        kill(getpid(), SIGKILL);
        return 0;
    }
    if (mode == "partial") {
        const uint32_t claimed = 100;
        if (MoreUNIXWrite(1, &claimed, sizeof(claimed), nullptr) != 0) return 4;
        return MoreUNIXWrite(1, "<?xml vers", 10, nullptr) == 0 ? 0 : 4;
    }
    if (mode == "inspect") {
        DescribeStart(response.get(), argc, argv, extForm);
        return WriteDictionaryAndDescriptors(response.get(), 1) == 0 ? 0 : 4;
    }
    return 1;
}

}  // namespace

int main(int argc, char **argv)
{
    if (MoreUNIXIgnoreSIGPIPE() != 0) return 4;
    const char *mode = getenv("WFS_WIRE_TOOL_MODE");
    return Serve(mode != nullptr ? mode : "", argc, argv);
}
