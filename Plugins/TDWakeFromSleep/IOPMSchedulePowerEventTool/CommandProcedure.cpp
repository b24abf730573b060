#include "CommandProcedure.h"

#include "MoreAssert.h"

#include <IOKit/IOKit.h>

namespace {

// The value under `key` when it is an object of `typeID`, otherwise NULL. The request comes from
// whoever started the tool, so every value is checked before it is used.
template <typename T>
T GetValueOfType(CFDictionaryRef request, CFStringRef key, CFTypeID typeID)
{
    CFTypeRef value = CFDictionaryGetValue(request, key);
    if (value == nullptr || CFGetTypeID(value) != typeID) return nullptr;
    return static_cast<T>(value);
}

bool IsCommand(CFStringRef commandName, CFStringRef command)
{
    return CFStringCompare(commandName, command, 0) == kCFCompareEqualTo;
}

using PowerEventCall = IOReturn (*)(CFDateRef, CFStringRef, CFStringRef);

int PerformPowerEventCommand(CFDictionaryRef request, PowerEventCall call)
{
    CFDateRef date = GetValueOfType<CFDateRef>(request, CFSTR("Date"), CFDateGetTypeID());
    CFStringRef scheduler =
        GetValueOfType<CFStringRef>(request, CFSTR("Scheduler"), CFStringGetTypeID());
    CFStringRef type = GetValueOfType<CFStringRef>(request, CFSTR("Type"), CFStringGetTypeID());
    if (date == nullptr || scheduler == nullptr || type == nullptr) return paramErr;

    // Root only for the one call that needs it. A tool that is not set-user-ID root cannot raise
    // its effective user at all; that is the power manager's own "not privileged" answer.
    if (MoreSecSetPrivilegedEUID() != 0) return kIOReturnNotPrivileged;
    const IOReturn result = call(date, scheduler, type);
    // Going back to the real user after having been root cannot fail; if it did, carrying on
    // as root would be worse than stopping.
    const int restored = MoreSecTemporarilySetNonPrivilegedEUID();
    MoreAssertQ(restored == 0);
    return static_cast<int>(result);
}

}  // namespace

extern "C" int PowerEventCommandProcedure(AuthorizationRef auth, CFDictionaryRef request,
                                          CFDictionaryRef *response)
{
    MoreAssertQ(auth != NULL);
    MoreAssertQ(request != NULL);
    MoreAssertQ(response != NULL);
    MoreAssertQ(*response == NULL);

    CFStringRef commandName =
        GetValueOfType<CFStringRef>(request, CFSTR("CommandName"), CFStringGetTypeID());
    if (commandName == nullptr) return paramErr;

    if (IsCommand(commandName, CFSTR("GetPrivileges"))) return 0;
    if (IsCommand(commandName, CFSTR("SchedulePowerEvent"))) {
        return PerformPowerEventCommand(request, IOPMSchedulePowerEvent);
    }
    if (IsCommand(commandName, CFSTR("CancelPowerEvent"))) {
        return PerformPowerEventCommand(request, IOPMCancelScheduledPowerEvent);
    }
    return paramErr;
}
