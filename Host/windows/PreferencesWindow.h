// The preferences window: a sidebar of the preference panes, Tidemark's own and the plug-ins',
// ordered by their order weight, then by title, each with its image, label and tooltip; and the
// selected pane's view beside it.
//
// A pane is shown in this order: its view is asked for, put into the window, the pane is told
// willDisplayPreferencePane (its lock asks polkit then), and only then does the view show. The
// window owns the views it was given, like any child; a pane that deletes its view first (when
// its plug-in goes) takes it out of the window. A pane without a view shows a plain line saying
// so, and is asked again the next time it is selected.
#pragma once

#include <Plinth/Plinth.h>

#include <QWidget>

#include <vector>

class QLabel;
class QListWidget;
class QStackedWidget;

namespace tidemark {

class PreferencesWindow : public QWidget {
    Q_OBJECT
public:
    // The panes stay valid for the window's life.
    explicit PreferencesWindow(std::vector<PLPreferencePaneProtocol *> panes, QWidget *parent = nullptr);

    // Shows the window with the selected pane (the first at first), or brings it to the front.
    void present();

    QListWidget *sidebar() const { return sidebar_; }
    QStackedWidget *pages() const { return pages_; }
    // The panes in the sidebar's order.
    const std::vector<PLPreferencePaneProtocol *> &panes() const { return panes_; }

private:
    void display(int row);

    std::vector<PLPreferencePaneProtocol *> panes_;
    QListWidget *sidebar_;
    QStackedWidget *pages_;
    QLabel *unloadable_;
};

}  // namespace tidemark
