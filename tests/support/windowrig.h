#pragma once

// The real main window over recording ports, for tests. Ending the program is recorded
// instead of done.

#include <memory>

#include "support/recordingports.h"
#include "ui/frmmain.h"

struct WindowRig {
    explicit WindowRig(std::vector<std::string> outPorts = {"synth A", "synth B"},
                       std::vector<std::string> inPorts = {"keys A", "keys B"})
        : ports(std::move(outPorts), std::move(inPorts)) {
        out = ports.output.get();
        in = ports.input.get();
        FrmMainParts parts;
        parts.output = std::move(ports.output);
        parts.input = std::move(ports.input);
        parts.endProgram = [this] { ++ended; };
        window = std::make_unique<frmMain>(std::move(parts));
        startupLog = ports.log.lines();
        ports.log.clear();
    }
    /// The port writes and reads logged since the last clear ("out.…" and "in.…" lines).
    QStringList portCalls() const {
        QStringList calls;
        for (const QString& l : ports.log.lines())
            if (l.startsWith(QLatin1String("out.")) || l.startsWith(QLatin1String("in.")))
                calls << l;
        return calls;
    }

    RecordingPorts ports;
    RecordingMIDIOutput* out = nullptr;
    RecordingMIDIInput* in = nullptr;
    int ended = 0;
    /// What building and loading the window did to the ports.
    QStringList startupLog;
    std::unique_ptr<frmMain> window;
};
