// Answers the dialog's message boxes in tests: records what each box showed
// and what the dialog looked like behind it, then presses OK (or leaves the
// box up when told to, so a test can act while the worker waits on it). A
// Yes/No question gets questionAnswer.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <functional>
#include <vector>

#include "app/qt/UpdaterDlg.h"

namespace zq {

struct SeenNotice {
    QString text;
    QString title;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    int buttonCount = 0;
    bool hasOk = false;
    bool isQuestion = false; // Yes and No, nothing else
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    bool modalToDialog = false;
    int barValue = -1;
    int barMaximum = -1;
    bool startEnabled = true;
};

class NoticeCatcher : public QObject {
public:
    explicit NoticeCatcher(CUpdaterDlg& dialog) : dialog_(dialog)
    {
        timer_.setInterval(10);
        connect(&timer_, &QTimer::timeout, this, [this] { Poll(); });
        timer_.start();
    }

    std::vector<SeenNotice> seen;
    bool pressOk = true;                // false: leave the box up
    QMessageBox::StandardButton questionAnswer = QMessageBox::No;
    std::function<void()> onFirstNotice; // runs once, with the box up
    QPointer<QMessageBox> current;
    // A box left up longer than this is pressed anyway, so a test that
    // expected something else to close it fails instead of hanging.
    int forceAfterMs = 5000;
    bool forced = false;

private:
    void Poll()
    {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box && box == handled_ && !pressOk && shownFor_.elapsed() > forceAfterMs) {
            forced = true;
            if (QAbstractButton* ok = box->button(QMessageBox::Ok))
                ok->click();
            return;
        }
        if (!box || box == handled_)
            return;
        handled_ = box;
        shownFor_.start();
        current = box;
        SeenNotice n;
        n.text = box->text();
        n.title = box->windowTitle();
        n.icon = box->icon();
        n.buttonCount = static_cast<int>(box->buttons().size());
        n.hasOk = box->button(QMessageBox::Ok) != nullptr;
        n.isQuestion = n.buttonCount == 2 && box->button(QMessageBox::Yes) && box->button(QMessageBox::No);
        if (box->defaultButton())
            n.defaultButton = box->standardButton(box->defaultButton());
        n.modalToDialog = box->parentWidget() == &dialog_ && box->isModal();
        n.barValue = dialog_.ProgressBar()->value();
        n.barMaximum = dialog_.ProgressBar()->maximum();
        n.startEnabled = dialog_.StartButton()->isEnabled();
        seen.push_back(n);
        if (n.isQuestion) {
            box->button(questionAnswer)->click();
            return;
        }
        if (++notices_ == 1 && onFirstNotice)
            onFirstNotice();
        if (pressOk && current && current->button(QMessageBox::Ok))
            current->button(QMessageBox::Ok)->click();
    }

    CUpdaterDlg& dialog_;
    QTimer timer_;
    QPointer<QMessageBox> handled_;
    QElapsedTimer shownFor_;
    int notices_ = 0;
};

}  // namespace zq
