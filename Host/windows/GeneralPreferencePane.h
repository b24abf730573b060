// Tidemark's own preference pane, "General": whether Tidemark starts when the user logs in (an
// autostart entry, written or removed at once). It is a pane like a plug-in's, shown through the
// same protocol, and made by the host as a plug-in of its own.
#pragma once

#include "AutostartEntry.h"

#include <Plinth/Plinth.h>

#include <QIcon>
#include <QPointer>
#include <QWidget>

#include <memory>
#include <optional>

class QCheckBox;
class QLabel;

namespace tidemark {

class GeneralPreferencePane : public NSObject, public PLPreferencePaneProtocol {
public:
    // No entry when there is no home folder: the check box is then disabled.
    explicit GeneralPreferencePane(std::optional<AutostartEntry> entry);
    // Deletes the view unless the window already took it along.
    ~GeneralPreferencePane() override;

    // The pane as a plug-in, for the host's PluginHost.
    static std::unique_ptr<PLPlugin> MakePlugin(std::optional<AutostartEntry> entry);

    wfs::CFRef<CFStringRef> preferencePaneIdentifier() override;
    wfs::CFRef<CFStringRef> preferencePaneTitle() override;
    wfs::CFRef<CFStringRef> preferencePaneLabel() override;
    wfs::CFRef<CFStringRef> preferencePaneTooltip() override;
    NSImage *preferencePaneImage() override;
    NSView *preferencePaneView() override;
    // Before every pane of a plug-in.
    float preferencePaneOrderWeight() override { return -1.0f; }
    // Reads whether the entry is there: it may have been removed by hand, or by the desktop's own
    // settings, since the pane was last shown.
    void willDisplayPreferencePane() override;

private:
    void startAtLoginClicked(bool checked);

    std::optional<AutostartEntry> entry_;
    QPointer<QWidget> view_;
    QPointer<QCheckBox> startAtLogin_;
    QPointer<QLabel> problem_;
    std::unique_ptr<NSImage> image_;
};

}  // namespace tidemark
