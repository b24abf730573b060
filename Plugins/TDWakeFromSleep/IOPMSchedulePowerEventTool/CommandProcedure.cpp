#include "CommandProcedure.h"

#include "CallerIsolation.h"
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

// The power manager's calls on behalf of a user: the events are theirs.
using PowerEventCall = IOReturn (*)(CFDateRef, CFStringRef, CFStringRef, uid_t);

int PerformPowerEventCommand(CFDictionaryRef request, PowerEventCall call)
{
    CFDateRef date = GetValueOfType<CFDateRef>(request, CFSTR("Date"), CFDateGetTypeID());
    CFStringRef scheduler =
        GetValueOfType<CFStringRef>(request, CFSTR("Scheduler"), CFStringGetTypeID());
    CFStringRef type = GetValueOfType<CFStringRef>(request, CFSTR("Type"), CFStringGetTypeID());
    if (date == nullptr || scheduler == nullptr || type == nullptr) return paramErr;

    // From here on the tool is root, on its own, out of its caller's reach: nothing the caller
    // does can stop it half-way through the change. A tool that is not set-user-ID root cannot
    // get there at all; that is the power manager's own "not privileged" answer.
    uid_t invokingUser = 0;
    if (const int err = IsolateFromCaller(&invokingUser)) return err;
    return static_cast<int>(call(date, scheduler, type, invokingUser));
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
        return PerformPowerEventCommand(request, IOPMSchedulePowerEventForUser);
    }
    if (IsCommand(commandName, CFSTR("CancelPowerEvent"))) {
        return PerformPowerEventCommand(request, IOPMCancelScheduledPowerEventForUser);
    }
    return paramErr;
}
