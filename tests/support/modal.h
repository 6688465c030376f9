#pragma once

// Acting on modal windows from a test: the code under test blocks in exec(), so the action
// is scheduled beforehand and runs from the modal window's own event loop.

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

/// Runs `action` once on the next visible modal window for which `wanted` holds (polled
/// every 10 ms, given up after `timeoutMs`).
inline void onNextModal(std::function<void(QWidget*)> action, int timeoutMs = 5000,
                        std::function<bool(QWidget*)> wanted = nullptr) {
    auto* timer = new QTimer;
    auto waited = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, [timer, action, waited, timeoutMs, wanted] {
        QWidget* modal = QApplication::activeModalWidget();
        const bool match = modal && modal->isVisible() && (!wanted || wanted(modal));
        *waited += 10;
        if (match || *waited > timeoutMs) {
            timer->stop();
            timer->deleteLater();
            if (match)
                action(modal);
        }
    });
    timer->start(10);
}

/// Closes every message box that comes up while the returned timer lives, recording texts.
inline std::unique_ptr<QTimer> autoCloseMessageBoxes(QStringList& texts) {
    auto timer = std::make_unique<QTimer>();
    QObject::connect(timer.get(), &QTimer::timeout, [&texts] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        texts << box->text();
        box->accept();
    });
    timer->start(10);
    return timer;
}

/// True for a modal window of type T.
template <typename T>
bool isA(QWidget* w) {
    return qobject_cast<T*>(w) != nullptr;
}

/// What a message box showed, and closes it with its OK button.
struct SeenBox {
    QString title, text;
    int buttons = 0;
    bool seen = false;
};

inline void closeNextMessageBox(SeenBox& seen, int timeoutMs = 5000) {
    onNextModal(
        [&seen](QWidget* w) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (!box)
                return;
            seen.seen = true;
            seen.title = box->windowTitle();
            seen.text = box->text();
            seen.buttons = int(box->buttons().size());
            box->button(QMessageBox::Ok) ? box->button(QMessageBox::Ok)->click() : box->accept();
        },
        timeoutMs);
}
