#include "GeneralPreferencePane.h"

#include "TimerText.h"

#include <AppKit/AppKitWidgets.h>

#include <QCheckBox>
#include <QLabel>
#include <QVBoxLayout>

#include <cstring>

namespace tidemark {

using wfs::CFRef;

GeneralPreferencePane::GeneralPreferencePane(std::optional<AutostartEntry> entry) : entry_(std::move(entry)) {}

GeneralPreferencePane::~GeneralPreferencePane() { delete view_.data(); }

std::unique_ptr<PLPlugin> GeneralPreferencePane::MakePlugin(std::optional<AutostartEntry> entry) {
    auto pane = std::make_unique<GeneralPreferencePane>(std::move(entry));
    PLExtension extension;
    extension.className = "GeneralPreferencePane";
    extension.preferencePane = pane.get();
    extension.object = std::move(pane);
    std::vector<PLExtension> extensions;
    extensions.push_back(std::move(extension));
    return std::make_unique<PLPlugin>("tidemark", std::move(extensions));
}

CFRef<CFStringRef> GeneralPreferencePane::preferencePaneIdentifier() {
    return CFRef<CFStringRef>::Retain(CFSTR("org.tidemark.Tidemark.General"));
}

CFRef<CFStringRef> GeneralPreferencePane::preferencePaneTitle() { return CFRef<CFStringRef>::Retain(CFSTR("General")); }

CFRef<CFStringRef> GeneralPreferencePane::preferencePaneLabel() { return preferencePaneTitle(); }

CFRef<CFStringRef> GeneralPreferencePane::preferencePaneTooltip() {
    return CFRef<CFStringRef>::Retain(CFSTR("Open General Preference Pane"));
}

NSImage *GeneralPreferencePane::preferencePaneImage() {
    image_ = std::make_unique<NSImage>(ApplicationIcon());
    return image_.get();
}

NSView *GeneralPreferencePane::preferencePaneView() {
    if (view_) return view_;
    view_ = new QWidget;
    view_->setObjectName("generalPane");
    auto *layout = new QVBoxLayout(view_);
    startAtLogin_ = new QCheckBox("Start Tidemark when you log in", view_);
    startAtLogin_->setObjectName("startAtLogin");
    QObject::connect(startAtLogin_, &QCheckBox::clicked, view_, [this](bool checked) { startAtLoginClicked(checked); });
    auto *why = new QLabel("Alarms ring, and the computer is woken for them, only while Tidemark runs.", view_);
    why->setWordWrap(true);
    problem_ = new QLabel(view_);
    problem_->setObjectName("startAtLoginProblem");
    problem_->setWordWrap(true);
    problem_->setStyleSheet("color: #b00020");
    layout->addWidget(startAtLogin_);
    layout->addWidget(why);
    layout->addWidget(problem_);
    layout->addStretch();
    if (!entry_) {
        startAtLogin_->setEnabled(false);
        problem_->setText("There is no home folder to keep the login item in.");
    }
    return view_;
}

void GeneralPreferencePane::willDisplayPreferencePane() {
    if (startAtLogin_ && entry_) startAtLogin_->setChecked(entry_->exists());
}

void GeneralPreferencePane::startAtLoginClicked(bool checked) {
    if (!entry_) return;
    const int error = checked ? entry_->write() : entry_->remove();
    problem_->setText(error == 0 ? QString()
                                 : QString("Could not %1 %2: %3")
                                       .arg(checked ? "write" : "remove", QString::fromStdString(entry_->path()),
                                            QString::fromLocal8Bit(std::strerror(error))));
    startAtLogin_->setChecked(entry_->exists());
}

}  // namespace tidemark
