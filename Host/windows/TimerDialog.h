// The dialog that adds or edits an alarm or a countdown timer. It knows no rules of its own: what
// is typed becomes the words of the matching command line ("alarm add 07:30 --days mon"), which
// the window runs; a refusal is shown in the dialog, which stays open with nothing written.
#pragma once

#include "Timer.h"

#include <QDialog>

#include <array>
#include <functional>
#include <string>
#include <vector>

class QCheckBox;
class QLabel;
class QLineEdit;

namespace tidemark {

class TimerDialog : public QDialog {
    Q_OBJECT
public:
    // Runs the words; answers the reason for a refusal, empty when they were carried out.
    using Submit = std::function<QString(const std::vector<std::string> &words)>;

    // A new timer of `mode` when `timer` is null, else an edit of `timer`.
    TimerDialog(TimerMode mode, const Timer *timer, Submit submit, QWidget *parent = nullptr);

    // The command line the fields make.
    std::vector<std::string> words() const;

    void accept() override;

private:
    TimerMode mode_;
    std::string id_;  // empty for a new timer
    Submit submit_;
    QLineEdit *when_;
    QLineEdit *label_;
    std::array<QCheckBox *, 7> days_{};
    QLabel *error_;
};

}  // namespace tidemark
