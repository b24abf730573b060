#include "TimerDialog.h"

#include "CommandLine.h"
#include "TimerText.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

namespace tidemark {

TimerDialog::TimerDialog(TimerMode mode, const Timer *timer, Submit submit, QWidget *parent)
    : QDialog(parent), mode_(mode), id_(timer ? timer->id : ""), submit_(std::move(submit)) {
    setObjectName("timerDialog");
    const bool alarm = mode == TimerMode::Alarm;
    setWindowTitle(QString(timer ? "Edit " : "New ") + (alarm ? "Alarm" : "Timer"));
    auto *form = new QFormLayout;
    when_ = new QLineEdit(this);
    when_->setObjectName("when");
    when_->setPlaceholderText(alarm ? "HH:MM" : "25m, 1h30m, 90s");
    form->addRow(alarm ? "Time:" : "Duration:", when_);
    if (alarm) {
        auto *row = new QHBoxLayout;
        for (size_t day = 0; day < days_.size(); ++day) {
            QString name = QString::fromLatin1(kDayNames[day]);
            days_[day] = new QCheckBox(name.left(1).toUpper() + name.mid(1), this);
            days_[day]->setObjectName("day-" + name);
            row->addWidget(days_[day]);
        }
        form->addRow("Repeat on:", row);
    }
    label_ = new QLineEdit(this);
    label_->setObjectName("label");
    label_->setPlaceholderText(alarm ? "Alarm" : "Timer");
    form->addRow("Label:", label_);
    error_ = new QLabel(this);
    error_->setObjectName("error");
    error_->setWordWrap(true);
    error_->setStyleSheet("color: #b00020");
    error_->hide();
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &TimerDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &TimerDialog::reject);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(error_);
    layout->addWidget(buttons);

    if (timer) {
        when_->setText(WhenText(*timer));
        label_->setText(QString::fromStdString(timer->label));
        for (size_t day = 0; alarm && day < days_.size(); ++day) days_[day]->setChecked(timer->days & (1u << day));
    }
}

std::vector<std::string> TimerDialog::words() const {
    const bool alarm = mode_ == TimerMode::Alarm;
    std::vector<std::string> words = {alarm ? "alarm" : "timer", id_.empty() ? "add" : "edit"};
    if (!id_.empty()) words.push_back(id_);
    words.push_back(when_->text().trimmed().toStdString());
    std::string days;
    for (size_t day = 0; alarm && day < days_.size(); ++day) {
        if (!days_[day]->isChecked()) continue;
        if (!days.empty()) days += ',';
        days += kDayNames[day];
    }
    if (!days.empty()) words.insert(words.end(), {"--days", days});
    // An empty field means no label; anything else goes to the command's check as typed.
    if (!label_->text().isEmpty()) words.insert(words.end(), {"--label", label_->text().toStdString()});
    return words;
}

void TimerDialog::accept() {
    const QString refused = submit_(words());
    if (refused.isEmpty()) {
        QDialog::accept();
        return;
    }
    error_->setText(refused);
    error_->show();
}

}  // namespace tidemark
