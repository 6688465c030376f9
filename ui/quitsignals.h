#pragma once

#include <QObject>

class QSocketNotifier;

/// Turns SIGTERM, SIGINT and SIGHUP (a session ending, Ctrl+C in a terminal) into a Qt
/// signal on the UI thread, so the program closes its ports and ends as when its window is
/// closed, instead of dying with a note still ringing.
class QuitSignals : public QObject {
    Q_OBJECT
public:
    explicit QuitSignals(QObject* parent = nullptr);
    ~QuitSignals() override;

signals:
    void quitRequested();

private:
    QSocketNotifier* m_notifier = nullptr;
};
