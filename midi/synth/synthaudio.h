#pragma once

#include <memory>
#include <string>
#include <vector>

class JackServerLink;
class SynthEngine;
typedef struct _fluid_audio_driver_t fluid_audio_driver_t;
typedef struct _fluid_hashtable_t fluid_settings_t;

/// Where the built-in synth's sound goes: the first of a list of FluidSynth audio drivers
/// that opens, its thread calling the engine's audio callback.
///
/// FluidSynth's JACK driver is opened and closed through the JACK server link, so a server
/// that does not answer holds nobody up. Its driver, and the engine it calls back, then stay
/// with the call that waits for the server, the engine marked held() until the call has
/// let go of it: it may still be called back once the server answers.
class SynthAudio {
public:
    /// An audio output that opens no device: the owner pulls the sound itself.
    static constexpr const char* kOffline = "offline";

    struct Settings {
        std::vector<std::string> drivers;
        int sampleRate = 48000;
        int periodFrames = 64;
        int periods = 4;
        std::string jackClientName;
    };

    explicit SynthAudio(std::shared_ptr<JackServerLink> link) : m_link(std::move(link)) {}
    ~SynthAudio() { close(); }
    SynthAudio(const SynthAudio&) = delete;
    SynthAudio& operator=(const SynthAudio&) = delete;

    /// Tries the drivers of `settings` in order and opens the first that works, with
    /// `engine` made ready (its rate, a fresh queue and clock) just before. Drivers this
    /// FluidSynth was built without are passed over, and "jack" is tried only when a JACK
    /// server already runs (FluidSynth's own JACK driver would start one). False with the
    /// cause, which names each driver tried and why it failed.
    bool open(const Settings& settings, const std::shared_ptr<SynthEngine>& engine,
              std::string& cause);
    /// Stops the audio thread; returns once it has (on JACK: once the client is closed, or
    /// once the server has failed to answer in time).
    void close();

    bool isOpen() const { return m_driver != nullptr || m_offline; }
    /// Whether the last open() passed JACK over because an earlier call still waits for a
    /// server that stopped answering (that call's caller has told the user).
    bool jackRefused() const { return m_jackRefused; }
    /// The driver in use ("alsa", "jack", kOffline ...); empty while closed.
    const std::string& driver() const { return m_name; }
    /// Whether a thread of the driver's calls the engine back (false offline).
    bool hasThread() const { return m_driver != nullptr; }

    /// How the driver is named to the user ("PulseAudio", "JACK" ...).
    static std::string label(const std::string& driver);

private:
    std::shared_ptr<JackServerLink> m_link;
    std::shared_ptr<SynthEngine> m_engine;
    bool m_jackRefused = false;
    fluid_audio_driver_t* m_driver = nullptr;
    fluid_settings_t* m_settings = nullptr;
    bool m_offline = false;
    std::string m_name;
};
