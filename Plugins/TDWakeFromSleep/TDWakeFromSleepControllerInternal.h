// What the controller's two sources share. Not installed.
#pragma once

// The source file every log line of the controller names.
inline constexpr char kTDControllerLogFile[] = "Plugins/TDWakeFromSleep/TDWakeFromSleepController";
