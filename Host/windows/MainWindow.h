// Tidemark's main window: the alarms and countdown timers with their next ring, and the commands
// that add, edit, remove and switch them. Every change is a timer command run against
// timers.plist (locked, atomically replaced) exactly as the command line runs it; the running
// clock then reloads the file, as it does after any other process's change, and the list follows
// the clock.
#pragma once

#include "AlarmClock.h"
#include "TimerDialog.h"
#include "TimerStore.h"

#include <QMainWindow>
#include <QPointer>

#include <string>
#include <vector>

class QAction;
class QPushButton;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;

namespace tidemark {

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    // `preferences` and `quit` are the application's actions, put into the window's menu.
    MainWindow(AlarmClock &clock, TimerStore &store, QAction *preferences, QAction *quit, QWidget *parent = nullptr);

    // With a tray icon to come back through, closing hides the window; without one it is
    // minimized, so that it stays in the desktop's window list with its Quit. Either way the
    // application, and its ringing, go on.
    void setHidesOnClose(bool hides) { hidesOnClose_ = hides; }

    QTreeWidget *list() const { return list_; }
    // The dialog open now, if any.
    TimerDialog *dialog() const { return dialog_; }

    // Runs a timer command given as its words; a refusal goes to the status bar and is answered.
    QString run(const std::vector<std::string> &words);

public slots:
    void addAlarm();
    void addTimer();
    void editSelected();
    void removeSelected();

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private slots:
    void refresh();
    void itemChanged(QTreeWidgetItem *item, int column);

private:
    // The clock's timer that a row shows, or null when it has gone since.
    const Timer *timerOf(const QTreeWidgetItem *item) const;
    const Timer *selected() const;
    void openDialog(TimerMode mode, const Timer *timer);

    AlarmClock &clock_;
    TimerStore &store_;
    QTreeWidget *list_;
    QPushButton *edit_, *remove_;
    QTimer *tick_;
    QPointer<TimerDialog> dialog_;
    bool hidesOnClose_ = false;
};

}  // namespace tidemark
