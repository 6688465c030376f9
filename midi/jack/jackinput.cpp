#include "midi/jack/jackinput.h"

#include <jack/jack.h>

#include <atomic>

#include "midi/jack/jackclient.h"

namespace {

// One open input's client; as for the output, a close the server does not answer keeps it.
struct InClient {
    jack_client_t* client = nullptr;
    std::atomic<bool> shutDown{false};

    bool open(const std::string& port, std::string& error) {
        client = jackclient::open(jackclient::kMidiIn, &error);
        if (!client)
            return false;
        jack_on_info_shutdown(client, &InClient::serverShutDown, this);
        jack_port_t* in =
            jack_port_register(client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
        if (!in)
            error = "JACK refused to register an input port";
        else if (jackclient::activateAndConnect(client, port, port.c_str(), jack_port_name(in),
                                                error))
            return true;
        close();
        return false;
    }

    void close() {
        if (!client)
            return;
        if (!shutDown.load())
            jack_deactivate(client);
        jack_client_close(client);
        client = nullptr;
    }

    // May run where only async-signal-safe calls are allowed: it only notes the loss.
    static void serverShutDown(jack_status_t, const char*, void* arg) {
        static_cast<InClient*>(arg)->shutDown.store(true);
    }
};

// MIDI input from JACK through this program's own client: a port "in" connected from the
// chosen output port. Nothing in the program reads what comes in, and JACK keeps a period's
// messages only for that period, so the port has no process callback: they are dropped as
// they come and never pile up. A server that does not answer is not reported here: the
// output's listing, made at the same time, tells it.
class JackMidiInSystem final : public MidiInSystem {
public:
    explicit JackMidiInSystem(std::shared_ptr<JackServerLink> link)
        : m_link(link ? std::move(link) : std::make_shared<JackServerLink>()) {}
    ~JackMidiInSystem() override { close(); }

    std::string systemName() const override { return "JACK"; }

    std::vector<std::string> listPorts() override {
        bool answered = false;
        return jackclient::listThroughLink(*m_link, JackPortIsOutput, answered);
    }

    bool open(const std::string& port, std::string& error) override {
        close();
        auto c = jackclient::openThroughLink<InClient>(*m_link, port, error);
        if (!c)
            return false;
        m_open = c;
        return true;
    }

    void close() override {
        if (!m_open)
            return;
        jackclient::closeThroughLink(*m_link, std::move(m_open));
    }

    void setReceiving(bool /*on*/) override {
        // Messages are dropped whether or not the port takes them in: nothing reads them.
    }

private:
    std::shared_ptr<JackServerLink> m_link;
    std::shared_ptr<InClient> m_open;
};

}  // namespace

std::unique_ptr<MidiInSystem> makeJackMidiInSystem(std::shared_ptr<JackServerLink> link) {
    return std::make_unique<JackMidiInSystem>(std::move(link));
}
