#include "midi/ports/faultwatcher.h"

#include <chrono>

FaultWatcher::FaultWatcher(std::vector<Condition> conditions, Describe describe, Poll poll,
                           Report report)
    : m_conditions(std::move(conditions)),
      m_describe(std::move(describe)),
      m_poll(std::move(poll)),
      m_report(std::move(report)) {}

FaultWatcher::~FaultWatcher() {
    stop();
}

void FaultWatcher::start() {
    if (m_thread.joinable())
        return;
    m_quit = false;
    m_thread = std::thread([this] { run(); });
}

void FaultWatcher::stop() {
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(m_quitMutex);
        m_quit = true;
    }
    m_quitChanged.notify_all();
    m_thread.join();
}

void FaultWatcher::run() {
    std::unique_lock<std::mutex> lock(m_quitMutex);
    while (!m_quitChanged.wait_for(lock, std::chrono::nanoseconds(kPollNs),
                                   [this] { return m_quit; })) {
        lock.unlock();
        look();
        lock.lock();
    }
}

const FaultWatcher::Condition* FaultWatcher::find(int16_t code) const {
    for (const Condition& c : m_conditions)
        if (c.code == code)
            return &c;
    return nullptr;
}

bool FaultWatcher::markTold(const Condition& c) {
    std::lock_guard<std::mutex> lock(m_toldMutex);
    if (m_told & bit(c.code))
        return false;
    m_told |= bit(c.code);
    for (int16_t silenced : c.silences)
        m_told |= bit(silenced);
    return true;
}

void FaultWatcher::tell(int16_t code, const std::string& text) {
    const Condition* c = find(code);
    if (c && markTold(*c) && m_report)
        m_report(code, text);
}

void FaultWatcher::look() {
    std::lock_guard<std::mutex> lock(m_lookMutex);
    if (m_poll)
        m_poll();
    const uint32_t raised = m_raised.load(std::memory_order_acquire);
    // In the order the conditions were declared, so of two raised at once where one
    // silences the other, the first declared is told.
    for (const Condition& c : m_conditions) {
        if ((raised & bit(c.code)) && markTold(c) && m_report)
            m_report(c.code, m_describe ? m_describe(c.code) : std::string());
    }
}

void FaultWatcher::betweenLooks(const std::function<void()>& change) {
    std::lock_guard<std::mutex> lock(m_lookMutex);
    change();
}

void FaultWatcher::rearm() {
    // Between looks, so that a look does not tell what it read before the rearm.
    std::lock_guard<std::mutex> look(m_lookMutex);
    m_raised.store(0, std::memory_order_release);
    uint32_t lasting = 0;
    for (const Condition& c : m_conditions)
        if (c.lasting)
            lasting |= bit(c.code);
    std::lock_guard<std::mutex> told(m_toldMutex);
    m_told &= lasting;
}

void FaultWatcher::forget(int16_t code) {
    std::lock_guard<std::mutex> lock(m_toldMutex);
    m_told &= ~bit(code);
}
