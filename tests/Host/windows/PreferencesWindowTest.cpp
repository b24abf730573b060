// The preferences window with panes that record what they are asked: the sidebar's order, images,
// labels and tooltips; the order in which a pane is shown; a pane without a view; and panes that
// go away (deleting their views) before the window does.
#include <AppKit/AppKitWidgets.h>
#include <PreferencesWindow.h>

#include <QLabel>
#include <QListWidget>
#include <QPixmap>
#include <QStackedWidget>

#include <CFTestSupport.h>

namespace windowtest {
namespace {

using tidemark::PreferencesWindow;
using wfs::CFRef;

// A pane as a plug-in makes one, but recording each message, with what the view was like then.
class RecordingPane : public PLPreferencePaneProtocol {
public:
    RecordingPane(std::string title, float weight, bool hasView, std::vector<std::string> &record)
        : title_(std::move(title)), weight_(weight), hasView_(hasView), record_(record) {}
    ~RecordingPane() override { delete view_.data(); }

    CFRef<CFStringRef> preferencePaneIdentifier() override { return wfstest::Str("test." + title_); }
    CFRef<CFStringRef> preferencePaneTitle() override { return wfstest::Str(title_); }
    CFRef<CFStringRef> preferencePaneLabel() override { return wfstest::Str(title_ + " label"); }
    CFRef<CFStringRef> preferencePaneTooltip() override { return wfstest::Str("Open " + title_); }
    // A new image each time, and the last one gone: the window must have taken a copy.
    NSImage *preferencePaneImage() override {
        QPixmap pixmap(32, 32);
        pixmap.fill(Qt::darkCyan);
        image_ = std::make_unique<NSImage>(pixmap);
        return image_.get();
    }
    NSView *preferencePaneView() override {
        record_.push_back(title_ + ": view");
        if (!hasView_) return nullptr;
        if (!view_) {
            view_ = new QLabel(QString::fromStdString(title_));
            view_->setMinimumSize(200, 100);
        }
        return view_;
    }
    float preferencePaneOrderWeight() override { return weight_; }
    void willDisplayPreferencePane() override {
        const bool inWindow = view_ && view_->window() != view_;
        record_.push_back(title_ + ": willDisplay" + (inWindow ? " in the window" : " outside") + (view_ && view_->isVisible() ? ", visible" : ", hidden"));
    }

    QPointer<QWidget> view_;

private:
    std::string title_;
    float weight_;
    bool hasView_;
    std::vector<std::string> &record_;
    std::unique_ptr<NSImage> image_;
};

TEST(PreferencesWindow, OrdersPanesAndShowsEachAfterTellingItWithAPlaceholderForOneWithoutAView) {
    std::vector<std::string> record;
    std::vector<std::unique_ptr<RecordingPane>> owned;
    std::vector<PLPreferencePaneProtocol *> panes;
    const struct {
        const char *title;
        float weight;
        bool view;
    } given[] = {{"Zeta", 0, true}, {"Broken", 5, false}, {"alpha", 0, true}, {"Heavy", 2, true}, {"General", -1, true}};
    for (const auto &g : given) {
        owned.push_back(std::make_unique<RecordingPane>(g.title, g.weight, g.view, record));
        panes.push_back(owned.back().get());
    }
    auto window = std::make_unique<PreferencesWindow>(panes);
    QListWidget *sidebar = window->sidebar();
    std::vector<std::string> rows;
    for (int i = 0; i < sidebar->count(); ++i) {
        rows.push_back(sidebar->item(i)->text().toStdString() + " / " + sidebar->item(i)->toolTip().toStdString());
        EXPECT_FALSE(sidebar->item(i)->icon().pixmap(32).isNull());
    }
    // By weight, then by title without regard to case.
    EXPECT_EQ(rows, (std::vector<std::string>{"General label / Open General", "alpha label / Open alpha", "Zeta label / Open Zeta",
                                              "Heavy label / Open Heavy", "Broken label / Open Broken"}));
    EXPECT_TRUE(record.empty());  // nothing is loaded before the window is shown

    window->present();
    sidebar->setCurrentRow(2);
    sidebar->setCurrentRow(4);
    EXPECT_EQ(window->pages()->currentWidget()->objectName(), "unloadablePane");
    EXPECT_EQ(static_cast<QLabel *>(window->pages()->currentWidget())->text(), "This pane could not be loaded");
    EXPECT_TRUE(window->pages()->currentWidget()->isVisible());
    sidebar->setCurrentRow(2);
    sidebar->setCurrentRow(4);  // asked again, since a pane may load later
    window->hide();
    sidebar->setCurrentRow(0);
    window->present();          // shown again: told again
    EXPECT_EQ(record, (std::vector<std::string>{
                          "General: view", "General: willDisplay in the window, hidden",
                          "Zeta: view", "Zeta: willDisplay in the window, hidden",
                          "Broken: view",
                          "Zeta: view", "Zeta: willDisplay in the window, hidden",
                          "Broken: view",
                          "General: view", "General: willDisplay in the window, hidden",
                      }));
    EXPECT_TRUE(owned[4]->view_->isVisible());

    // A plug-in that goes first takes its view out of the window; the window then goes cleanly
    // with the views it still holds, which the remaining panes see gone.
    owned[0].reset();  // Zeta
    EXPECT_EQ(window->pages()->count(), 2);  // the placeholder and General
    window.reset();
    EXPECT_TRUE(owned[4]->view_.isNull());
}

}  // namespace
}  // namespace windowtest
