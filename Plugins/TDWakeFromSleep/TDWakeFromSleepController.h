// The wake scheduling controller: before the machine sleeps or powers off it has a wake event
// scheduled for the earliest alarm ahead among the host's running timers, and withdraws it when the
// machine wakes or any application is launched; all of this only while the installed helper tool
// is privileged. It also holds the authorization that goes with every request to the tool.
//
// Every method runs on the host's main thread. The methods are virtual, as the messages of the
// class they stand for can be overridden: the controller sends them to itself, and a subclass
// sees each one.
#pragma once

#include <AppKit/AppKit.h>
#include <Foundation/Foundation.h>
#include <Security/Security.h>
#include <Support/CFRef.h>

// The user defaults key of the wake date while a wake event is taken to be scheduled.
#define TDWakeFromSleepWakeDateKey CFSTR("TDWakeFromSleepWakeDateKey")

class TDWakeFromSleepController : public NSObject {
public:
    NS_DECLARE_CLASS();

    // The process's controller, made on first use and never released. Null only when it could not
    // be made; the next call then tries again.
    static TDWakeFromSleepController *sharedInstance();

    // Ignores SIGPIPE for the process and registers for the four workspace notifications.
    TDWakeFromSleepController();
    // Leaves the workspace's notification center, and frees the authorization destroying its rights.
    ~TDWakeFromSleepController() override;

    // ---- Notifications and the wake date ------------------------------------------------------

    // Will-sleep and will-power-off: the earliest alarm ahead becomes the wake date.
    virtual void scheduleWakes(const NSNotification &notification);
    // Did-wake and did-launch-application: the wake date is withdrawn.
    virtual void cancelScheduledWakes(const NSNotification &notification);
    // The stored wake date (whatever is stored under the key), or null.
    virtual wfs::CFRef<CFTypeRef> wakeDate();
    // Cancels a stored date still ahead, stores `date` (no sooner than 30 seconds from now) or
    // removes the entry for null, has `date` scheduled, and synchronizes the defaults.
    virtual void setWakeDate(CFDateRef date);

    // ---- The helper tool ----------------------------------------------------------------------

    // Whether the installed tool is owned by root (links followed). Locates, and if need be
    // installs, the tool every time.
    virtual bool toolIsPrivileged();
    // Grants (runs "GetPrivileges") or withdraws (deletes the tool) the privilege, when it differs.
    virtual void setToolIsPrivileged(bool flag);
    // The authorization sent with every request, made without rights on first use; null when that
    // failed.
    virtual AuthorizationRef authorizationRef();
    // Replaces the authorization with the one `form` stands for.
    virtual void setAuthorizationFromExternalForm(AuthorizationExternalForm form);
    virtual void getPrivilegesForTool();
    virtual void removePrivilegesFromTool();
    virtual void scheduleWakeFromSleepAtDate(CFDateRef date);
    virtual void cancelWakeFromSleepAtDate(CFDateRef date);
    // Sends one request to the tool; failures are logged, nothing is answered.
    virtual void performToolCommand(CFStringRef command, CFDateRef date, CFStringRef scheduler, CFStringRef type);
    // The installed and checked tool, or null.
    virtual wfs::CFRef<CFURLRef> toolPath();

private:
    AuthorizationRef myAuthorizationRef = nullptr;
};
