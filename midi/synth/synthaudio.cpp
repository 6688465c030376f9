#include "midi/synth/synthaudio.h"

#include <fluidsynth.h>

#include <algorithm>

#include "core/rtpriorities.h"
#include "midi/jack/jackclient.h"
#include "midi/synth/synthengine.h"

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

bool SynthAudio::open(const Settings& wanted, const std::shared_ptr<SynthEngine>& enginePtr,
                      std::string& cause) {
    close();
    m_engine = enginePtr;
    m_jackRefused = false;
    SynthEngine& engine = *enginePtr;
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
        const bool onJack = name == "jack";
        if (onJack) {
            auto server = std::make_shared<jackclient::ServerInfo>();
            auto running = std::make_shared<bool>(false);
            const auto probed = m_link->run(
                [server, running] { *running = jackclient::serverRunning(server.get()); });
            if (probed != JackServerLink::Result::Done) {
                m_jackRefused = probed == JackServerLink::Result::Refused;
                reasons.push_back(std::string("JACK: ") + jackclient::kNotAnswering);
                continue;
            }
            if (!*running || server->sampleRate <= 0) {
                reasons.push_back("JACK: no JACK server is running");
                continue;
            }
            rate = server->sampleRate;
            period = server->periodFrames;
        }
        // The rate is set while no audio thread runs; on JACK it must be the server's.
        engine.setRate(rate);
        engine.prepare(period);
        fluid_settings_t* settings = driverSettings(wanted, name, rate);
        fluid_audio_driver_t* driver = nullptr;
        if (settings && onJack) {
            auto made = std::make_shared<fluid_audio_driver_t*>(nullptr);
            enginePtr->setHeld(true);
            const auto result = m_link->run(
                [made, settings, enginePtr] {
                    *made = new_fluid_audio_driver2(settings, &SynthEngine::audioCallback,
                                                    enginePtr.get());
                },
                [made, settings, enginePtr] {
                    // Opened for a caller that has gone on: closed again, and the engine is
                    // free once no driver calls it back.
                    if (*made)
                        delete_fluid_audio_driver(*made);
                    delete_fluid_settings(settings);
                    enginePtr->setHeld(false);
                });
            if (result == JackServerLink::Result::Late) {
                reasons.push_back(std::string("JACK: ") + jackclient::kNotAnswering);
                break;  // the engine stays held: no other driver may use it
            }
            enginePtr->setHeld(false);
            if (result == JackServerLink::Result::Refused) {
                m_jackRefused = true;
                delete_fluid_settings(settings);
                reasons.push_back(std::string("JACK: ") + jackclient::kNotAnswering);
                continue;
            }
            driver = *made;
        } else if (settings) {
            driver = new_fluid_audio_driver2(settings, &SynthEngine::audioCallback, &engine);
        }
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
    if (m_driver && m_name == "jack") {
        // Returns once the JACK client is closed, or once the server failed to answer: the
        // call then holds the driver and the engine it calls back until it can close them.
        auto closeDriver = [driver = m_driver, settings = m_settings, engine = m_engine] {
            delete_fluid_audio_driver(driver);
            delete_fluid_settings(settings);
            engine->setHeld(false);
        };
        m_engine->setHeld(true);
        if (m_link->run(closeDriver) == JackServerLink::Result::Refused)
            m_link->runLater(closeDriver);
    } else if (m_driver) {
        delete_fluid_audio_driver(m_driver);
        delete_fluid_settings(m_settings);
    }
    m_driver = nullptr;
    m_settings = nullptr;
    m_engine.reset();
    m_offline = false;
    m_name.clear();
}
