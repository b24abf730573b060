// The helper tool's whole request path in one process, on arbitrary bytes: the request frame read
// from a descriptor, the tool's command procedure against a store in a temporary folder with a fake
// RTC, and the response written back. Run as root, so that schedules and cancels reach the store.
// Besides the sanitizers' findings it checks what the client relies on: a request that was read
// always gets a whole response carrying ErrorNumberKey, and nothing is left open.
#include "CommandProcedure.h"
#include "MoreSecurityInternal.h"
#include "MoreUNIX.h"

#include <Support/CFRef.h>
#include <Support/UniqueFd.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

namespace {

[[noreturn]] void Fail(const char *what) {
    std::fprintf(stderr, "request path oracle: %s\n", what);
    std::abort();
}

void WriteText(const std::string &path, const std::string &text) {
    FILE *file = std::fopen(path.c_str(), "w");
    if (file == nullptr || std::fputs(text.c_str(), file) < 0 || std::fclose(file) != 0) Fail("set-up write");
}

int CountOpenDescriptors() {
    int count = 0;
    for (int fd = 0; fd < 1024; fd++) count += fcntl(fd, F_GETFD) != -1;
    return count;
}

// The store and the RTC in a memory-backed folder (no fsync cost), named once for the process.
struct Scene {
    AuthorizationRef auth = nullptr;
    int descriptors = 0;
    std::string root;

    Scene() {
        char folder[] = "/dev/shm/wfs-fuzz.XXXXXX";
        if (mkdtemp(folder) == nullptr) Fail("mkdtemp");
        root = folder;
        const std::string rtc = root + "/sys/class/rtc/rtc0";
        if (system(("mkdir -p '" + rtc + "/device/power'").c_str()) != 0) Fail("mkdir");
        WriteText(rtc + "/device/power/wakeup", "enabled\n");
        WriteText(rtc + "/since_epoch", std::to_string(time(nullptr)) + "\n");
        WriteText(rtc + "/wakealarm", "");
        setenv("WFS_POWER_EVENT_STORE", (root + "/store/events.plist").c_str(), 1);
        setenv("WFS_SYSFS_ROOT", (root + "/sys").c_str(), 1);
        if (MoreUNIXIgnoreSIGPIPE() != 0 || AuthorizationCreate(nullptr, nullptr, 0, &auth) != 0) Fail("set-up");
    }
    ~Scene() {
        AuthorizationFree(auth, kAuthorizationFlagDefaults);
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *bytes, std::size_t size) {
    static Scene scene;
    if (scene.descriptors == 0) scene.descriptors = CountOpenDescriptors();

    // The client's side: the request bytes on a memory file, the response on a socket pair.
    wfs::UniqueFd input(memfd_create("request", MFD_CLOEXEC));
    if (!input || (size > 0 && write(input.get(), bytes, size) != static_cast<ssize_t>(size)) ||
        lseek(input.get(), 0, SEEK_SET) != 0) {
        Fail("memfd");
    }
    int pair[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) Fail("socketpair");
    wfs::UniqueFd client(pair[0]), tool(pair[1]);

    const int err = ReadAndDispatchCommand(input.get(), tool.get(), scene.auth, PowerEventCommandProcedure);
    tool.reset();
    wfs::CFRef<CFDictionaryRef> response;
    const int readErr = CopyDictionaryTranslatingDescriptors(client.get(), response.out());
    if (err == 0) {
        if (readErr != 0 || !response) Fail("a served request without a whole response");
        if (CFDictionaryGetValue(response.get(), ErrorNumberKey) == nullptr) Fail("a response without ErrorNumberKey");
        if (CFDictionaryGetValue(response.get(), DescriptorArrayKey) != nullptr) Fail("descriptors nobody asked for");
    } else if (readErr == 0) {
        Fail("a failed request wrote a response");
    }
    client.reset();
    input.reset();
    // The sanitizers open a descriptor or two of their own on first need; a leak per request would
    // pass any small allowance within a few hundred runs.
    if (CountOpenDescriptors() > scene.descriptors + 8) Fail("descriptors left open");
    return 0;
}
