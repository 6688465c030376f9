#include "synthaudio.h"

#include <fluidsynth.h>

#include <algorithm>

#include "core/rtpriorities.h"
#include "jackclient.h"
#include "synthengine.h"

namespace {

void collectOption(void* data, const char* /*name*/, const char* option) {
    static_cast<std::vector<std::string>*>(data)->push_back(option);
}

fluid_settings_t* driverSettings(const SynthAudio::Settings& wanted, const std::string& name,
                                 int rate) {
    fluid_settings_t* s = new_fluid_settings();
    if (!s)
        return nullptr;
    fluid_settings_setstr(s, "audio.driver", name.c_str());
    fluid_settings_setnum(s, "synth.sample-rate", rate);
    // A small buffer keeps the notes of a tick close to their time: 64-frame periods, 4 of
    // them in the device buffer (256 frames, 5.3 ms at 48 kHz) on ALSA; PulseAudio and
    // PipeWire take the period as their target latency and may round it up.
    fluid_settings_setint(s, "audio.period-size", wanted.periodFrames);
    fluid_settings_setint(s, "audio.periods", wanted.periods);
    fluid_settings_setint(s, "audio.realtime-prio", rtpriority::kSynthAudio);
    fluid_settings_setstr(s, "audio.jack.id", wanted.jackClientName.c_str());
    // On JACK the synth plays to the speakers without the user wiring it.
    fluid_settings_setint(s, "audio.jack.autoconnect", 1);
    return s;
}

}  // namespace

std::string SynthAudio::label(const std::string& driver) {
    if (driver == "pipewire")
        return "PipeWire";
    if (driver == "pulseaudio")
        return "PulseAudio";
    if (driver == "alsa")
        return "ALSA";
    if (driver == "jack")
        return "JACK";
    return driver;
}

bool SynthAudio::open(const Settings& wanted, SynthEngine& engine, std::string& cause) {
    close();
    std::vector<std::string> builtIn;
    fluid_settings_t* probe = new_fluid_settings();
    if (probe) {
        fluid_settings_foreach_option(probe, "audio.driver", &builtIn, &collectOption);
        delete_fluid_settings(probe);
    }

    std::vector<std::string> reasons;
    for (const std::string& name : wanted.drivers) {
        if (name == std::string(kOffline)) {
            engine.setRate(wanted.sampleRate);
            engine.prepare(wanted.periodFrames);
            m_offline = true;
            m_name = name;
            return true;
        }
        if (std::find(builtIn.begin(), builtIn.end(), name) == builtIn.end())
            continue;
        int rate = wanted.sampleRate;
        int period = wanted.periodFrames;
        if (name == "jack") {
            jackclient::ServerInfo server;
            if (!jackclient::serverRunning(&server) || server.sampleRate <= 0) {
                reasons.push_back("JACK: no JACK server is running");
                continue;
            }
            rate = server.sampleRate;
            period = server.periodFrames;
        }
        // The rate is set while no audio thread runs; on JACK it must be the server's.
        engine.setRate(rate);
        engine.prepare(period);
        fluid_settings_t* settings = driverSettings(wanted, name, rate);
        fluid_audio_driver_t* driver =
            settings ? new_fluid_audio_driver2(settings, &SynthEngine::audioCallback, &engine)
                     : nullptr;
        if (driver) {
            m_driver = driver;
            m_settings = settings;
            m_name = name;
            return true;
        }
        if (settings)
            delete_fluid_settings(settings);
        reasons.push_back(label(name) + ": could not be opened");
    }
    std::string tried;
    for (const std::string& r : reasons)
        tried += (tried.empty() ? "" : "; ") + r;
    if (tried.empty()) {
        for (const std::string& name : wanted.drivers)
            tried += (tried.empty() ? "" : ", ") + label(name);
        tried = tried.empty() ? "no audio driver to try"
                              : "FluidSynth has none of the audio drivers " + tried;
    }
    cause = "no audio output is available (" + tried + ")";
    return false;
}

void SynthAudio::close() {
    if (m_driver) {
        delete_fluid_audio_driver(m_driver);
        m_driver = nullptr;
        delete_fluid_settings(m_settings);
        m_settings = nullptr;
    }
    m_offline = false;
    m_name.clear();
}
