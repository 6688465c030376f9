#pragma once

// A JACK server of a test's own, which the test may kill, stop and resume, and while this
// lives the environment that takes the test's JACK clients to it: a jackd of the given name
// (give a fixed one: a killed server's entry in JACK's machine-wide registry is reclaimed by
// the next server of that name) or, when the clients load PipeWire's libjack, a PipeWire
// daemon in a runtime folder of its own. The fixture's server stays untouched.

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <signal.h>

#include "support/jackreceiver.h"

class OwnJackServer {
public:
    explicit OwnJackServer(QString name)
        : m_name(std::move(name)),
          m_pipeWire(jackIsPipeWire()),
          m_variable(m_pipeWire ? "XDG_RUNTIME_DIR" : "JACK_DEFAULT_SERVER"),
          m_saved(qgetenv(m_variable)) {
        qputenv(m_variable, m_pipeWire ? QFile::encodeName(m_runtimeDir.path()) : m_name.toUtf8());
    }
    ~OwnJackServer() {
        stop();
        qputenv(m_variable, m_saved);
    }
    OwnJackServer(const OwnJackServer&) = delete;
    OwnJackServer& operator=(const OwnJackServer&) = delete;

    /// Starts it (again, after kill()) and waits until it takes clients.
    bool start() {
        if (m_pipeWire) {
            // Its default configuration brings the dummy driver JACK clients run on.
            m_process.setProgram(QStringLiteral("pipewire"));
            m_process.setArguments({});
        } else {
            m_process.setProgram(QStringLiteral("jackd"));
            m_process.setArguments({QStringLiteral("--no-realtime"), QStringLiteral("-n"), m_name,
                                    QStringLiteral("-d"), QStringLiteral("dummy"),
                                    QStringLiteral("-r"), QStringLiteral("48000"),
                                    QStringLiteral("-p"), QStringLiteral("256")});
        }
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start();
        if (!m_process.waitForStarted(5000))
            return false;
        // jack_wait finds the server as the test's clients will: through the environment.
        QProcess wait;
        wait.setStandardOutputFile(QProcess::nullDevice());
        wait.setStandardErrorFile(QProcess::nullDevice());
        wait.start(QStringLiteral("jack_wait"),
                   {QStringLiteral("-w"), QStringLiteral("-t"), QStringLiteral("10")});
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
    const QString m_name;
    const bool m_pipeWire;
    const char* const m_variable;
    const QByteArray m_saved;
    QTemporaryDir m_runtimeDir;  // made 0700, as a runtime folder must be
    QProcess m_process;
};
