// A stand-in helper tool for the request tests, started exactly as the real tool is (no arguments,
// the socket on 0 and 1). The client passes its environment on unchanged, so WFS_WIRE_TOOL_MODE
// names what the tool does after reading the external form and the request:
//
//   answer     a response echoing the request's "Payload", exit 0
//   fds:N      a response with two descriptors of WFS_WIRE_TOOL_FILE, then exit N
//   exit:N     no response, exit N
//   killed     no response, killed by SIGKILL
//   partial    half a response frame, exit 0
//   inspect    a response describing how the tool was started, exit 0 (the execute test's; the
//              probe describes a start for the other tests, and this mode goes once it uses that)

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

namespace {

void SetNumber(CFMutableDictionaryRef dict, const char *key, long long value)
{
    wfs::CFRef<CFStringRef> name(CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8));
    wfs::CFRef<CFNumberRef> number(CFNumberCreate(nullptr, kCFNumberLongLongType, &value));
    CFDictionarySetValue(dict, name.get(), number.get());
}

// How the tool was started: argc, argv[0], 0 and 1 one socket made by the client, standard error,
// the inherited marker variable, descriptors above 2, and the 32 bytes that came first.
void Describe(CFMutableDictionaryRef response, int argc, char **argv, const AuthorizationExternalForm &form)
{
    SetNumber(response, "Argc", argc);
    wfs::CFRef<CFStringRef> arg0(CFStringCreateWithCString(nullptr, argv[0], kCFStringEncodingUTF8));
    CFDictionarySetValue(response, CFSTR("Argv0"), arg0.get());
    struct stat st0 {}, st1 {}, st2 {};
    fstat(0, &st0), fstat(1, &st1), fstat(2, &st2);
    SetNumber(response, "Socket01", S_ISSOCK(st0.st_mode) && st0.st_ino == st1.st_ino);
    SetNumber(response, "Fd2Dev", static_cast<long long>(st2.st_dev));
    SetNumber(response, "Fd2Ino", static_cast<long long>(st2.st_ino));
    struct ucred peer {};
    socklen_t length = sizeof(peer);
    if (getsockopt(0, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0) SetNumber(response, "PeerPid", peer.pid);
    const char *marker = getenv("WFS_WIRE_TOOL_MARKER");
    wfs::CFRef<CFStringRef> markerString(
        CFStringCreateWithCString(nullptr, marker != nullptr ? marker : "", kCFStringEncodingUTF8));
    CFDictionarySetValue(response, CFSTR("Marker"), markerString.get());
    long long extra = -1;  // not counting the directory being listed
    DIR *dir = opendir("/proc/self/fd");
    while (struct dirent *entry = dir != nullptr ? readdir(dir) : nullptr) extra += atoi(entry->d_name) > 2;
    if (dir != nullptr) closedir(dir);
    SetNumber(response, "ExtraFds", extra);
    wfs::CFRef<CFDataRef> data(CFDataCreate(nullptr, reinterpret_cast<const UInt8 *>(&form), sizeof(form)));
    CFDictionarySetValue(response, CFSTR("ExternalForm"), data.get());
}

int Serve(const char *mode, int argc, char **argv)
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
    } else if (strcmp(mode, "inspect") == 0) {
        Describe(response.get(), argc, argv, form);
    } else {
        return 1;
    }
    return WriteDictionaryAndDescriptors(response.get(), 1) == 0 ? status : 4;
}

}  // namespace

int main(int argc, char **argv)
{
    const char *mode = getenv("WFS_WIRE_TOOL_MODE");
    if (MoreUNIXIgnoreSIGPIPE() != 0 || mode == nullptr || argc < 1) return 4;
    return Serve(mode, argc, argv);
}
