#include "PreferencesWindow.h"

#include <AppKit/AppKitWidgets.h>

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QStackedWidget>

#include <algorithm>

namespace tidemark {
namespace {

QString Text(const wfs::CFRef<CFStringRef> &string) { return QStringFromCFString(string.get()); }

}  // namespace

PreferencesWindow::PreferencesWindow(std::vector<PLPreferencePaneProtocol *> panes, QWidget *parent)
    : QWidget(parent, Qt::Window), panes_(std::move(panes)) {
    setObjectName("preferencesWindow");
    setWindowTitle("Tidemark Preferences");
    struct Entry {
        PLPreferencePaneProtocol *pane;
        float weight;
        QString title;
    };
    std::vector<Entry> entries;
    for (PLPreferencePaneProtocol *pane : panes_) entries.push_back({pane, pane->preferencePaneOrderWeight(), Text(pane->preferencePaneTitle())});
    std::stable_sort(entries.begin(), entries.end(), [](const Entry &a, const Entry &b) {
        if (a.weight != b.weight) return a.weight < b.weight;
        // Titles as a person reads them: "alpha" before "Zeta", whatever the locale's collation.
        if (const int order = a.title.compare(b.title, Qt::CaseInsensitive)) return order < 0;
        return a.title < b.title;
    });

    sidebar_ = new QListWidget(this);
    sidebar_->setObjectName("sidebar");
    sidebar_->setIconSize(QSize(32, 32));
    sidebar_->setSpacing(2);
    panes_.clear();
    int widest = 0;
    for (const Entry &entry : entries) {
        panes_.push_back(entry.pane);
        // The pane's image is valid only until it is asked again: the item keeps a copy.
        const NSImage *image = entry.pane->preferencePaneImage();
        auto *item = new QListWidgetItem(image ? QIcon(*image) : QIcon(), Text(entry.pane->preferencePaneLabel()), sidebar_);
        item->setToolTip(Text(entry.pane->preferencePaneTooltip()));
        widest = std::max(widest, sidebar_->fontMetrics().horizontalAdvance(item->text()));
    }
    sidebar_->setFixedWidth(widest + sidebar_->iconSize().width() + 48);

    pages_ = new QStackedWidget(this);
    pages_->setObjectName("pages");
    unloadable_ = new QLabel("This pane could not be loaded", pages_);
    unloadable_->setObjectName("unloadablePane");
    unloadable_->setAlignment(Qt::AlignCenter);
    unloadable_->setMinimumSize(360, 200);
    pages_->addWidget(unloadable_);

    auto *layout = new QHBoxLayout(this);
    layout->addWidget(sidebar_);
    layout->addWidget(pages_, 1);
    if (!panes_.empty()) sidebar_->setCurrentRow(0);
    // A pane chosen while the window is hidden is shown, and told so, when the window is.
    connect(sidebar_, &QListWidget::currentRowChanged, this, [this](int row) {
        if (isVisible()) display(row);
    });
}

void PreferencesWindow::present() {
    if (!isVisible()) display(sidebar_->currentRow());
    show();
    raise();
    activateWindow();
}

void PreferencesWindow::display(int row) {
    if (row < 0 || static_cast<size_t>(row) >= panes_.size()) return;
    PLPreferencePaneProtocol *pane = panes_[static_cast<size_t>(row)];
    setWindowTitle(Text(pane->preferencePaneTitle()));
    NSView *view = pane->preferencePaneView();
    if (view == nullptr) {
        pages_->setCurrentWidget(unloadable_);
        return;
    }
    if (pages_->indexOf(view) < 0) {
        pages_->addWidget(view);
        // A window already on screen grows to the new pane; a hidden one takes its size when shown.
        if (isVisible()) resize(size().expandedTo(sizeHint()));
    }
    pane->willDisplayPreferencePane();
    pages_->setCurrentWidget(view);
}

}  // namespace tidemark
