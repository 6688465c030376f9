#include "midi/jack/serverlink.h"

#include <chrono>
#include <deque>
#include <mutex>

struct JackServerLink::Shared {
    struct Job {
        std::function<void()> call, ifLate;
        uint64_t number = 0;
    };
    std::mutex mutex;
    std::condition_variable wake;  // a job queued, or the end
    std::condition_variable done;  // a job finished
    std::deque<Job> jobs;
    bool busy = false;      // a job runs
    uint64_t queued = 0;    // jobs queued so far
    uint64_t finished = 0;  // the number of the last job that finished
    uint64_t lateJob = 0;   // a job whose caller stopped waiting for it
    bool quit = false;

    void serve() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            wake.wait(lock, [this] { return quit || !jobs.empty(); });
            if (jobs.empty())
                return;  // the link is gone and nothing is left to do
            Job job = std::move(jobs.front());
            jobs.pop_front();
            busy = true;
            lock.unlock();
            job.call();
            lock.lock();
            if (lateJob == job.number && job.ifLate) {
                lock.unlock();
                job.ifLate();
                lock.lock();
            }
            busy = false;
            finished = job.number;
            done.notify_all();
        }
    }
};

JackServerLink::JackServerLink() : m_shared(std::make_shared<Shared>()) {
    // The thread holds the shared state itself, so it may outlive the link.
    m_thread = std::thread([shared = m_shared] { shared->serve(); });
}

JackServerLink::~JackServerLink() {
    bool idle = false;
    {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        m_shared->quit = true;
        idle = !m_shared->busy && m_shared->jobs.empty();
        m_shared->wake.notify_all();
    }
    // An idle thread ends at once; one that waits for the server is left to it.
    if (idle)
        m_thread.join();
    else
        m_thread.detach();
}

JackServerLink::Result JackServerLink::run(std::function<void()> call,
                                           std::function<void()> ifLate) {
    Shared& s = *m_shared;
    std::unique_lock<std::mutex> lock(s.mutex);
    if (s.busy || !s.jobs.empty())
        return Result::Refused;
    const uint64_t number = ++s.queued;
    s.jobs.push_back({std::move(call), std::move(ifLate), number});
    s.wake.notify_all();
    if (s.done.wait_for(lock, std::chrono::nanoseconds(kAnswerNs),
                        [&] { return s.finished >= number; }))
        return Result::Done;
    s.lateJob = number;
    return Result::Late;
}

void JackServerLink::runLater(std::function<void()> call) {
    Shared& s = *m_shared;
    std::lock_guard<std::mutex> lock(s.mutex);
    s.jobs.push_back({std::move(call), {}, ++s.queued});
    s.wake.notify_all();
}

bool JackServerLink::answering() const {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    return !m_shared->busy && m_shared->jobs.empty();
}
