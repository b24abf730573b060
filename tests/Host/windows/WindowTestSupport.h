// What the window tests share: a home of their own (wfstest::UserHome), and the stored timers in a line each.
#pragma once

#include <TestSupport.h>
#include <UserHome.h>
#include <CommandLine.h>
#include <TimerCommands.h>
#include <TimerFile.h>

#include <filesystem>
#include <string>
#include <vector>

namespace windowtest {

using Home = wfstest::UserHome;

// "1 alarm 07:30 mon,fri on Work", "2 timer 1500s running Tea": what the file holds.
inline std::vector<std::string> Stored(const tidemark::TimerFile &file) {
    tidemark::StoredTimers stored;
    std::string error;
    EXPECT_TRUE(file.load(stored, error)) << error;
    std::vector<std::string> lines;
    for (const tidemark::Timer &t : stored.timers) {
        char text[128];
        if (t.mode == tidemark::TimerMode::Alarm) {
            std::snprintf(text, sizeof text, "%s alarm %02d:%02d %s %s", t.id.c_str(), t.hour, t.minute,
                          tidemark::DaysText(t.days).c_str(), t.on ? "on" : "off");
        } else {
            std::snprintf(text, sizeof text, "%s timer %llds %s", t.id.c_str(), static_cast<long long>(t.duration.count()),
                          t.endsAt ? "running" : "stopped");
        }
        lines.push_back(text + (t.label.empty() ? "" : " " + t.label));
    }
    return lines;
}

}  // namespace windowtest
