// The controller's side of the helper tool: whether the installed tool is privileged, granting and
// withdrawing that, the authorization sent along, and the requests themselves.
#include "TDWakeFromSleepController.h"

#include "TDWakeFromSleepControllerInternal.h"

#include "MoreSecurity.h"

#include <CoreServices/CoreServices.h>
#include <Plinth/Plinth.h>

using wfs::CFRef;

namespace {

// The sub-folder is named after the host process, and must be a file name.
constexpr CFIndex kMaxFileNameLength = 255;

CFRef<CFStringRef> PathOf(CFURLRef url) {
    return CFRef<CFStringRef>(CFURLCopyFileSystemPath(url, kCFURLPOSIXPathStyle));
}

}  // namespace

bool TDWakeFromSleepController::toolIsPrivileged() {
    CFRef<CFURLRef> tool = toolPath();
    if (!tool) return false;
    CFRef<CFStringRef> path = PathOf(tool.get());
    if (!path) return false;
    // With links followed: what runs is the file a link points to.
    CFRef<CFDictionaryRef> attributes = NSFileManager::defaultManager().fileAttributesAtPath(path.get(), true);
    if (!attributes) return false;
    CFTypeRef owner = CFDictionaryGetValue(attributes.get(), NSFileOwnerAccountName);
    return owner != nullptr && CFGetTypeID(owner) == CFStringGetTypeID() && CFEqual(owner, CFSTR("root"));
}

void TDWakeFromSleepController::setToolIsPrivileged(bool flag) {
    if (toolIsPrivileged() == flag) return;
    if (flag) {
        getPrivilegesForTool();
    } else {
        removePrivilegesFromTool();
    }
}

AuthorizationRef TDWakeFromSleepController::authorizationRef() {
    // A failure leaves the reference null; the request that wanted it then reports that.
    if (myAuthorizationRef == nullptr) {
        (void)AuthorizationCreate(nullptr, kAuthorizationEmptyEnvironment, kAuthorizationFlagDefaults,
                                  &myAuthorizationRef);
    }
    return myAuthorizationRef;
}

void TDWakeFromSleepController::setAuthorizationFromExternalForm(AuthorizationExternalForm form) {
    if (myAuthorizationRef != nullptr) {
        // The default flags keep the rights: they belong to the authorization the pane still holds.
        (void)AuthorizationFree(myAuthorizationRef, kAuthorizationFlagDefaults);
        myAuthorizationRef = nullptr;
    }
    if (AuthorizationCreateFromExternalForm(&form, &myAuthorizationRef) != errAuthorizationSuccess) {
        myAuthorizationRef = nullptr;
        PLLog::error(CFSTR("error creating authorizationRef from external form"), __LINE__, kTDControllerLogFile,
                     "-[TDWakeFromSleepController setAuthorizationFromExternalForm:]");
    }
}

void TDWakeFromSleepController::getPrivilegesForTool() {
    // The tool repairs itself into a set-user-ID root program on the way in; the command itself
    // does nothing.
    performToolCommand(CFSTR("GetPrivileges"), nullptr, nullptr, nullptr);
}

void TDWakeFromSleepController::removePrivilegesFromTool() {
    CFRef<CFURLRef> tool = toolPath();
    if (!tool) return;
    CFRef<CFStringRef> path = PathOf(tool.get());
    // Not checked: a copy that stays is simply still privileged.
    if (path) (void)NSFileManager::defaultManager().removeFileAtPath(path.get(), nullptr);
}

void TDWakeFromSleepController::scheduleWakeFromSleepAtDate(CFDateRef date) {
    // The host's identifier, read again for every request.
    performToolCommand(CFSTR("SchedulePowerEvent"), date, NSBundle::mainBundle()->bundleIdentifier().get(),
                       CFSTR("wakepoweron"));
}

void TDWakeFromSleepController::cancelWakeFromSleepAtDate(CFDateRef date) {
    performToolCommand(CFSTR("CancelPowerEvent"), date, NSBundle::mainBundle()->bundleIdentifier().get(),
                       CFSTR("wakepoweron"));
}

void TDWakeFromSleepController::performToolCommand(CFStringRef command, CFDateRef date, CFStringRef scheduler,
                                                   CFStringRef type) {
    constexpr const char kMethod[] = "-[TDWakeFromSleepController performToolCommand:date:scheduler:type:]";
    PLLog::assert_(command != nullptr, CFSTR("command != nil"), __LINE__, kTDControllerLogFile, kMethod);
    if (command == nullptr) return;

    CFRef<CFMutableDictionaryRef> request(
        CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    if (!request) return;
    CFDictionarySetValue(request.get(), CFSTR("CommandName"), command);
    if (date != nullptr) CFDictionarySetValue(request.get(), CFSTR("Date"), date);
    if (scheduler != nullptr) CFDictionarySetValue(request.get(), CFSTR("Scheduler"), scheduler);
    if (type != nullptr) CFDictionarySetValue(request.get(), CFSTR("Type"), type);

    CFRef<CFURLRef> tool = toolPath();
    AuthorizationRef auth = authorizationRef();
    // The tool cannot be run without both; the request then fails like any other, with an error
    // that says which was missing.
    int err = 0;
    CFRef<CFDictionaryRef> response;
    if (!tool) {
        err = fnfErr;
    } else if (auth == nullptr) {
        err = errAuthorizationInvalidRef;
    } else {
        err = MoreSecExecuteRequestInHelperTool(tool.get(), auth, request.get(), response.out());
    }
    if (err != 0) {
        CFRef<CFStringRef> message(
            CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%@ failed with error %i"), command, err));
        PLLog::error(message ? message.get() : command, __LINE__, kTDControllerLogFile, kMethod);
    }
    // Nothing else in the response matters here, not even the command's own result; any
    // descriptors that came with it are ours to close.
    if (response) {
        MoreSecCloseDescriptorArray(static_cast<CFArrayRef>(CFDictionaryGetValue(response.get(), DescriptorArrayKey)));
    }
}

CFRef<CFURLRef> TDWakeFromSleepController::toolPath() {
    // The plug-in's own bundle, which carries the template; not the host's.
    CFRef<CFStringRef> bundlePath = NSBundle::bundleForClass(class_())->bundlePath();
    CFRef<CFURLRef> bundleURL(
        bundlePath ? CFURLCreateWithFileSystemPath(nullptr, bundlePath.get(), kCFURLPOSIXPathStyle, true) : nullptr);
    CFRef<CFBundleRef> bundle(bundleURL ? CFBundleCreate(kCFAllocatorDefault, bundleURL.get()) : nullptr);
    CFRef<CFStringRef> hostName = NSProcessInfo::processInfo().processName();
    // The search stops the process on a missing bundle or an overlong name; the host must not.
    if (!bundle || !hostName || CFStringGetLength(hostName.get()) > kMaxFileNameLength) return CFRef<CFURLRef>();

    CFRef<CFURLRef> tool;
    const int err = MoreSecCopyHelperToolURLAndCheckBundled(bundle.get(), CFSTR("IOPMSchedulePowerEventToolTemplate"),
                                                            kApplicationSupportFolderType, hostName.get(),
                                                            CFSTR("IOPMSchedulePowerEventTool"), tool.out());
    if (err == kMoreSecUnsuitableFolderErr) {
        PLLog::error(CFSTR("home directory is on an volume that doesn't support setuid root helper tools"), __LINE__,
                     kTDControllerLogFile, "-[TDWakeFromSleepController toolPath]");
    }
    return err == 0 ? std::move(tool) : CFRef<CFURLRef>();
}
