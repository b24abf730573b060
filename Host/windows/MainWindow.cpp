#include "MainWindow.h"

#include "TimerCommands.h"
#include "TimerDialog.h"
#include "TimerText.h"

#include <QAction>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace tidemark {
namespace {

enum Column { kOn, kWhen, kRepeat, kLabel, kNext, kColumns };
constexpr int kIdRole = Qt::UserRole;

}  // namespace

MainWindow::MainWindow(AlarmClock &clock, TimerStore &store, QAction *preferences, QAction *quit, QWidget *parent)
    : QMainWindow(parent), clock_(clock), store_(store) {
    setObjectName("mainWindow");
    setWindowTitle("Tidemark");
    auto *addAlarm = new QAction("New &Alarm…", this);
    addAlarm->setShortcut(QKeySequence::New);
    connect(addAlarm, &QAction::triggered, this, &MainWindow::addAlarm);
    auto *addTimer = new QAction("New &Timer…", this);
    addTimer->setShortcut(QKeySequence("Ctrl+T"));
    connect(addTimer, &QAction::triggered, this, &MainWindow::addTimer);

    QMenu *file = menuBar()->addMenu("&Tidemark");
    file->addAction(addAlarm);
    file->addAction(addTimer);
    file->addSeparator();
    file->addAction(preferences);
    file->addSeparator();
    file->addAction(quit);

    list_ = new QTreeWidget(this);
    list_->setObjectName("timers");
    list_->setRootIsDecorated(false);
    list_->setAlternatingRowColors(true);
    list_->setUniformRowHeights(true);
    list_->setColumnCount(kColumns);
    list_->setHeaderLabels({"On", "Time", "Repeats", "Label", "Next ring"});
    list_->header()->setStretchLastSection(true);
    list_->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    connect(list_, &QTreeWidget::itemChanged, this, &MainWindow::itemChanged);
    connect(list_, &QTreeWidget::itemDoubleClicked, this, &MainWindow::editSelected);

    auto *buttons = new QHBoxLayout;
    auto button = [&](const char *name, const QString &text, void (MainWindow::*slot)()) {
        auto *made = new QPushButton(text, this);
        made->setObjectName(name);
        connect(made, &QPushButton::clicked, this, slot);
        buttons->addWidget(made);
        return made;
    };
    button("addAlarmButton", "New Alarm…", &MainWindow::addAlarm);
    button("addTimerButton", "New Timer…", &MainWindow::addTimer);
    buttons->addStretch();
    edit_ = button("editButton", "Edit…", &MainWindow::editSelected);
    remove_ = button("removeButton", "Remove", &MainWindow::removeSelected);
    connect(list_, &QTreeWidget::itemSelectionChanged, this, [this] {
        edit_->setEnabled(selected() != nullptr);
        remove_->setEnabled(selected() != nullptr);
    });

    auto *central = new QWidget(this);
    auto *layout = new QVBoxLayout(central);
    layout->addWidget(list_);
    layout->addLayout(buttons);
    setCentralWidget(central);
    statusBar();  // made now, so that the first message does not change the window's layout
    resize(720, 360);

    connect(&clock_, &AlarmClock::scheduleChanged, this, &MainWindow::refresh);
    // The next ring moves on with the clock even when nothing rings (a snooze used up elsewhere, a
    // new day), so the list is read again each minute while the window is on screen; a hidden
    // window costs the machine no wake-ups.
    tick_ = new QTimer(this);
    tick_->setInterval(60 * 1000);
    connect(tick_, &QTimer::timeout, this, &MainWindow::refresh);
    refresh();
}

void MainWindow::refresh() {
    const QSignalBlocker quiet(list_);
    const std::string current = selected() ? selected()->id : "";
    const Instant now = AlarmClock::SystemNow();
    list_->clear();
    for (const Timer &timer : clock_.timers()) {
        auto *item = new QTreeWidgetItem(list_);
        item->setData(kOn, kIdRole, QString::fromStdString(timer.id));
        const bool on = timer.mode == TimerMode::Alarm ? timer.on : timer.endsAt.has_value();
        item->setCheckState(kOn, on ? Qt::Checked : Qt::Unchecked);
        item->setToolTip(kOn, timer.mode == TimerMode::Alarm ? "Alarm on or off" : "Countdown running or stopped");
        item->setText(kWhen, WhenText(timer));
        item->setText(kRepeat, timer.mode == TimerMode::Alarm ? RepeatText(timer) : QStringLiteral("timer"));
        item->setText(kLabel, QString::fromStdString(timer.label));
        item->setText(kNext, NextRingText(timer, now));
        if (timer.id == current) item->setSelected(true);
    }
    edit_->setEnabled(selected() != nullptr);
    remove_->setEnabled(selected() != nullptr);
}

const Timer *MainWindow::timerOf(const QTreeWidgetItem *item) const {
    const std::string id = item->data(kOn, kIdRole).toString().toStdString();
    const auto &timers = clock_.timers();
    const auto found = std::find_if(timers.begin(), timers.end(), [&](const Timer &timer) { return timer.id == id; });
    return found == timers.end() ? nullptr : &*found;
}

const Timer *MainWindow::selected() const {
    const QList<QTreeWidgetItem *> items = list_->selectedItems();
    return items.isEmpty() ? nullptr : timerOf(items.front());
}

QString MainWindow::run(const std::vector<std::string> &words) {
    const TimerCommandResult result = RunTimerWords(words, store_, AlarmClock::SystemNow());
    if (result.status != 0) {
        const QString error = QString::fromStdString(result.error);
        statusBar()->showMessage(error);
        return error.isEmpty() ? QStringLiteral("the command failed") : error;
    }
    statusBar()->showMessage(QString::fromStdString(result.output).trimmed(), 10000);
    return QString();
}

void MainWindow::openDialog(TimerMode mode, const Timer *timer) {
    if (dialog_) dialog_->close();
    // Not modal to the whole application: the tray and the other windows stay usable, and the
    // event loop runs on (polkit's answers and the clock's rings come through it).
    dialog_ = new TimerDialog(mode, timer, [this](const std::vector<std::string> &words) { return run(words); }, this);
    dialog_->setAttribute(Qt::WA_DeleteOnClose);
    dialog_->open();
}

void MainWindow::addAlarm() { openDialog(TimerMode::Alarm, nullptr); }

void MainWindow::addTimer() { openDialog(TimerMode::Countdown, nullptr); }

void MainWindow::editSelected() {
    if (const Timer *timer = selected()) openDialog(timer->mode, timer);
}

void MainWindow::removeSelected() {
    if (const Timer *timer = selected()) run({"alarm", "remove", timer->id});
}

void MainWindow::itemChanged(QTreeWidgetItem *item, int column) {
    if (column != kOn) return;
    const Timer *timer = timerOf(item);
    if (timer == nullptr) return;
    const bool on = item->checkState(kOn) == Qt::Checked;
    const QString refused = timer->mode == TimerMode::Alarm ? run({"alarm", on ? "on" : "off", timer->id})
                                                            : run({"timer", on ? "start" : "stop", timer->id});
    // A refused switch shows the timer as it is again; not from inside the item's own signal,
    // since a refresh deletes the items.
    if (!refused.isEmpty()) QTimer::singleShot(0, this, &MainWindow::refresh);
}

void MainWindow::showEvent(QShowEvent *event) {
    QMainWindow::showEvent(event);
    refresh();
    tick_->start();
}

void MainWindow::hideEvent(QHideEvent *event) {
    QMainWindow::hideEvent(event);
    tick_->stop();
}

void MainWindow::closeEvent(QCloseEvent *event) {
    event->ignore();
    if (hidesOnClose_) {
        hide();
    } else {
        showMinimized();
    }
}

}  // namespace tidemark
