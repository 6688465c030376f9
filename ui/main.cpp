#include <QApplication>

#include <csignal>
#include <cstdlib>

#include "frmmain.h"
#include "midi/machineports.h"
#include "midi/ports/midiinput.h"
#include "midi/ports/midioutput.h"
#include "quitsignals.h"

int main(int argc, char* argv[]) {
    // Never start a JACK server on the user's behalf: JACK clients of this process only
    // join one that already runs.
    setenv("JACK_NO_START_SERVER", "1", 1);
    // A save past a file-size limit fails with an error the user is told about, instead of
    // the process being killed by SIGXFSZ.
    signal(SIGXFSZ, SIG_IGN);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("midi-pattern-sequencer"));
    // Lets the desktop match the window with its launcher entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("io.github.midipatternsequencer.sequencer"));

    FrmMainParts parts;
    // Both ports share one JACK server link, so a stopped server holds up one call only.
    SystemMidiPorts ports = makeSystemMidiPorts();
    parts.output = std::move(ports.output);
    parts.input = std::move(ports.input);
    frmMain window(std::move(parts));
    QuitSignals quitSignals;
    QObject::connect(&quitSignals, &QuitSignals::quitRequested, &window, &frmMain::endSession);
    window.show();
    return app.exec();
}
