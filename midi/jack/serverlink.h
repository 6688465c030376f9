#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

/// Runs the libjack calls that wait for the server's answer (opening and closing a client,
/// registering a port, activating, connecting) on a thread of its own, so that the thread
/// that asks (the UI thread) waits for each at most kAnswerNs. A server that is stopped
/// (SIGSTOP, a machine that freezes it) never answers: libjack then waits forever. Such a
/// call is left to finish whenever the server answers again, and until it has, every
/// further call is refused at once instead of waiting too; an `ifLate` step given with it
/// runs when it finishes, to undo what it did for a caller that has gone on. What must
/// happen anyway (closing a client) can be queued behind it without waiting.
///
/// Calls that only read the server's shared memory (listing the ports of an open client,
/// looking a port up, its connections) answer at once and need no link.
///
/// Shared by the systems that talk to one server. When the link goes, its thread ends with
/// it, unless a call still waits for a stopped server: that thread is not waited for, and
/// stays behind with what the call holds, for the server to clean up when it answers or
/// for the process's end.
class JackServerLink {
public:
    /// How long a call may wait for the server. JACK answers within a few periods: a client
    /// opens in about 10 ms here, and the synth's JACK driver (a client, two ports, two
    /// connections) took up to about 150 ms on a loaded machine under AddressSanitizer. The
    /// UI thread must not wait more than half a second: the setup dialog's listings (output
    /// and input) make two calls that meet a stopped server, the first of which waits this
    /// long and the second is refused at once, when the two ports share one link.
    static constexpr int64_t kAnswerNs = 300'000'000;

    enum class Result {
        Done,     // the call finished in time
        Late,     // the server did not answer in time: the call goes on, then `ifLate`
        Refused,  // an earlier call still waits for the server: this one did not run
    };

    JackServerLink();
    ~JackServerLink();
    JackServerLink(const JackServerLink&) = delete;
    JackServerLink& operator=(const JackServerLink&) = delete;

    /// Runs `call` on the link's thread and waits for it, for kAnswerNs at most.
    Result run(std::function<void()> call, std::function<void()> ifLate = {});
    /// Queues `call` to run on the link's thread once what is queued before it has run;
    /// does not wait.
    void runLater(std::function<void()> call);
    /// False while a call waits for a server that did not answer in time.
    bool answering() const;

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
    std::thread m_thread;
};
