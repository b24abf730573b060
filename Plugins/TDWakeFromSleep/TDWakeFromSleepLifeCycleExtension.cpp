#include "TDWakeFromSleepLifeCycleExtension.h"

#include "TDWakeFromSleepController.h"

PL_REGISTER_EXTENSION_CLASS(TDWakeFromSleepLifeCycleExtension);

void TDWakeFromSleepLifeCycleExtension::applicationLaunching() {}

void TDWakeFromSleepLifeCycleExtension::applicationWillFinishLaunching() {}

void TDWakeFromSleepLifeCycleExtension::applicationDidFinishLaunching() {
    // Made once; a later call finds it and registers nothing more.
    (void)TDWakeFromSleepController::sharedInstance();
}

void TDWakeFromSleepLifeCycleExtension::applicationWillTerminate() {}
