#include "midi/ports/faultwatcher.h"

#include <time.h>

#include <cerrno>

FaultWatcher::FaultWatcher(std::vector<Condition> conditions, Report report)
    : m_conditions(std::move(conditions)), m_report(std::move(report)) {
    sem_init(&m_wake, 0, 0);
}

FaultWatcher::~FaultWatcher() {
    stop();
    sem_destroy(&m_wake);
}

void FaultWatcher::raiseAndWake(uint32_t faults) noexcept {
    raise(faults);
    sem_post(&m_wake);
}

void FaultWatcher::start(Describe describe, Poll poll) {
    stop();
    m_raised.store(0, std::memory_order_release);
    {
        std::lock_guard<std::mutex> lock(m_toldMutex);
        uint32_t perRun = 0;
        for (const Condition& c : m_conditions)
            if (c.oncePerRun)
                perRun |= c.fault;
        m_told &= perRun;
    }
    while (sem_trywait(&m_wake) == 0) {
    }
    m_describe = std::move(describe);
    m_poll = std::move(poll);
    m_quit.store(false);
    m_thread = std::thread([this] { run(); });
}

void FaultWatcher::stop() {
    if (!m_thread.joinable())
        return;
    m_quit.store(true);
    sem_post(&m_wake);
    m_thread.join();
}

bool FaultWatcher::markTold(uint32_t fault, int16_t& code) {
    std::lock_guard<std::mutex> lock(m_toldMutex);
    if (m_told & fault)
        return false;
    for (const Condition& c : m_conditions) {
        if (c.fault != fault)
            continue;
        m_told |= c.fault | c.silences;
        code = c.code;
        return true;
    }
    return false;  // not a declared condition: nothing to tell
}

void FaultWatcher::tell(uint32_t fault, const std::string& text) {
    int16_t code = 0;
    if (markTold(fault, code) && m_report)
        m_report(code, text);
}

void FaultWatcher::forget(uint32_t faults) {
    std::lock_guard<std::mutex> lock(m_toldMutex);
    m_told &= ~faults;
}

void FaultWatcher::run() {
    for (;;) {
        timespec until{};
        clock_gettime(CLOCK_MONOTONIC, &until);
        until.tv_nsec += static_cast<long>(kPollNs);
        if (until.tv_nsec >= 1'000'000'000) {
            until.tv_nsec -= 1'000'000'000;
            ++until.tv_sec;
        }
        while (sem_clockwait(&m_wake, CLOCK_MONOTONIC, &until) != 0 && errno == EINTR) {
        }
        if (m_quit.load())
            return;
        if (m_poll)
            m_poll();
        const uint32_t raised = m_raised.load(std::memory_order_acquire);
        // In the order the conditions were declared, so the first of a silencing group wins.
        for (const Condition& c : m_conditions) {
            if (!(raised & c.fault))
                continue;
            int16_t code = 0;
            if (markTold(c.fault, code) && m_report)
                m_report(code, m_describe ? m_describe(c.fault) : std::string());
        }
    }
}
