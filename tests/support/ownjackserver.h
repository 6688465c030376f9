#pragma once

// A JACK server (dummy driver) of a test's own, which the test may kill, stop and resume.
// The fixture's server stays untouched. Give it a fixed name: a killed server's entry in
// JACK's machine-wide registry is reclaimed by the next server of that name.

#include <QProcess>

#include <signal.h>

class OwnJackServer {
public:
    explicit OwnJackServer(QString name) : m_name(std::move(name)) {}
    ~OwnJackServer() { stop(); }
    OwnJackServer(const OwnJackServer&) = delete;
    OwnJackServer& operator=(const OwnJackServer&) = delete;

    /// Starts it and waits until it answers.
    bool start() {
        m_process.setProgram(QStringLiteral("jackd"));
        m_process.setArguments({QStringLiteral("--no-realtime"), QStringLiteral("-n"), m_name,
                                QStringLiteral("-d"), QStringLiteral("dummy"), QStringLiteral("-r"),
                                QStringLiteral("48000"), QStringLiteral("-p"),
                                QStringLiteral("256")});
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start();
        if (!m_process.waitForStarted(5000))
            return false;
        QProcess wait;
        wait.setStandardOutputFile(QProcess::nullDevice());
        wait.setStandardErrorFile(QProcess::nullDevice());
        wait.start(QStringLiteral("jack_wait"), {QStringLiteral("-s"), m_name, QStringLiteral("-w"),
                                                 QStringLiteral("-t"), QStringLiteral("10")});
        return wait.waitForFinished(15000) && wait.exitCode() == 0;
    }
    /// SIGSTOP: the server stops answering, as a machine that freezes it would.
    void pause() { signal(SIGSTOP); }
    /// SIGCONT.
    void resume() { signal(SIGCONT); }
    void kill() {
        signal(SIGCONT);
        signal(SIGKILL);
        m_process.waitForFinished(5000);
    }
    /// Ends it (resumed first) and waits for it.
    void stop() {
        if (m_process.state() == QProcess::NotRunning)
            return;
        resume();
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            kill();
    }
    QString output() { return QString::fromLocal8Bit(m_process.readAll()); }
    const QString& name() const { return m_name; }

private:
    void signal(int sig) {
        if (m_process.state() != QProcess::NotRunning)
            ::kill(static_cast<pid_t>(m_process.processId()), sig);
    }
    QString m_name;
    QProcess m_process;
};
