// The real-time threads make no call that can block or allocate: the JACK output's process
// thread and the built-in synth's audio thread (its JACK client's process thread), while the
// rock preset plays at 5 ms steps, at a stop, a panic, a withdraw that meets a full queue, a
// receiver that leaves and a render that fails; the step engine's thread handing over what an
// output cannot take; the ALSA output's sender thread when the sequencer refuses a message.
//
// This executable puts its own malloc, calloc, realloc, aligned_alloc, posix_memalign,
// memalign, free, operator new / delete and
// pthread_mutex_lock in front of the C library's, and its own jack_set_process_callback in
// front of libjack's, so that the process callbacks of the program's JACK clients run with
// their thread marked; the engine's thread is one of the test's that sends as the engine does,
// the ALSA sender's is marked by its sink. Each call made on a marked thread is counted, with
// where it came from: the program's own code, FluidSynth, libjack. The program's own code must
// make none (but locks that lend priority); what the libraries do is printed, not judged.
//
// Under AddressSanitizer, which has its own allocator, the allocations are counted through
// the sanitizer's allocation hooks instead (as allocations and frees, not by function).

#include <QTest>

#include <dlfcn.h>
#include <execinfo.h>
#include <fluidsynth.h>
#include <jack/jack.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <new>
#include <thread>

#include "core/monotonicclock.h"
#include "midi/alsa/scheduledsender.h"
#include "midi/jack/jackclient.h"
#include "midi/machineports.h"
#include "midi/ports/midioutput.h"
#include "midi/ports/portroutines.h"
#include "midi/synth/builtinsynth.h"
#include "support/jackreceiver.h"
#include "support/playback.h"
#include "support/recordingports.h"

#if defined(__SANITIZE_ADDRESS__)
#define SEQ_ASAN 1
#endif

// The counting code itself, kept in a section of its own so that the origin of a call can
// look past it: the section's bounds come from the linker.
#define INTERPOSER __attribute__((noinline, section("rt_interposer")))
extern "C" const char __start_rt_interposer[];
extern "C" const char __stop_rt_interposer[];

// ---------------------------------------------------------------- the counting

namespace rt {

enum Role { kUnmarked, kJackOutput, kSynthAudio, kEngine, kAlsaSender, kRoles };
enum Call {
    kMalloc,
    kCalloc,
    kRealloc,
    kAlignedAlloc,
    kFree,
    kFreeNull,
    kNew,
    kDelete,
    kMutexLock,
    kCalls
};
enum Origin { kProgram, kFluidSynth, kOpenMP, kLibJack, kOtherLibrary, kOrigins };

const char* const kRoleNames[kRoles] = {"", "JACK output process thread", "synth audio thread",
                                        "step engine thread", "ALSA sender thread"};
#ifdef SEQ_ASAN
const char* const kCallNames[kCalls] = {"allocation",        "", "", "", "free", "", "", "",
                                        "pthread_mutex_lock"};
#else
const char* const kCallNames[kCalls] = {"malloc",
                                        "calloc",
                                        "realloc",
                                        "aligned_alloc/posix_memalign/memalign",
                                        "free",
                                        "free(NULL)",
                                        "operator new",
                                        "operator delete",
                                        "pthread_mutex_lock"};
#endif
const char* const kOriginNames[kOrigins] = {"the program", "FluidSynth",
                                            "FluidSynth's OpenMP runtime (libgomp)", "libjack",
                                            "another library"};

thread_local int t_role = kUnmarked;
thread_local bool t_inCount = false;
std::atomic<bool> g_counting{false};
std::atomic<uint64_t> g_counts[kRoles][kCalls][kOrigins];
std::atomic<uint64_t> g_callbacks[kRoles];
// Makes the synth's render fail, as a broken audio path would.
std::atomic<bool> g_failRender{false};

bool startsWith(const char* s, const char* prefix) {
    return std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}

// Where the call came from: the first frame, past the counting code itself, that is not in
// the C or C++ runtime (a std::string grows inside libstdc++, a strdup inside libc: the
// caller above them is the one that asked).
INTERPOSER Origin origin() {
    void* frames[48];
    const int n = backtrace(frames, 48);
    for (int i = 0; i < n; ++i) {
        const auto* at = static_cast<const char*>(frames[i]);
        if (at >= __start_rt_interposer && at < __stop_rt_interposer)
            continue;
        Dl_info info{};
        if (!dladdr(frames[i], &info) || !info.dli_fname)
            continue;
        const char* file = std::strrchr(info.dli_fname, '/');
        file = file ? file + 1 : info.dli_fname;
        for (const char* runtime :
             {"libc.so", "libstdc++", "libgcc_s", "libm.so", "ld-linux", "libasan", "libubsan"})
            if (startsWith(file, runtime))
                goto next;
        if (startsWith(file, "libfluidsynth") || startsWith(file, "libglib"))
            return kFluidSynth;
        if (startsWith(file, "libgomp"))
            return kOpenMP;
        if (startsWith(file, "libjack"))
            return kLibJack;
        if (std::strstr(file, ".so"))
            return kOtherLibrary;
        return kProgram;
    next:;
    }
    return kOtherLibrary;
}

INTERPOSER void count(Call call) {
    if (t_role == kUnmarked || t_inCount || !g_counting.load(std::memory_order_relaxed))
        return;
    t_inCount = true;
    g_counts[t_role][call][origin()].fetch_add(1, std::memory_order_relaxed);
    t_inCount = false;
}

// The process callbacks of the program's clients, run with their thread marked.
struct Marked {
    JackProcessCallback callback = nullptr;
    void* arg = nullptr;
    int role = kUnmarked;
};
Marked g_marked[32];
std::atomic<int> g_markedCount{0};

int markedProcess(jack_nframes_t frames, void* arg) {
    auto* m = static_cast<Marked*>(arg);
    t_role = m->role;
    g_callbacks[m->role].fetch_add(1, std::memory_order_relaxed);
    const int result = m->callback(frames, m->arg);
    t_role = kUnmarked;
    return result;
}

}  // namespace rt

extern "C" {

int jack_set_process_callback(jack_client_t* client, JackProcessCallback callback, void* arg) {
    using Real = int (*)(jack_client_t*, JackProcessCallback, void*);
    static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "jack_set_process_callback"));
    const char* name = jack_get_client_name(client);
    int role = rt::kUnmarked;
    if (rt::startsWith(name, jackclient::kSynth))
        role = rt::kSynthAudio;
    else if (rt::startsWith(name, jackclient::kMidiOut))
        role = rt::kJackOutput;
    const int slot = role == rt::kUnmarked ? -1 : rt::g_markedCount.fetch_add(1);
    if (slot < 0 || slot >= 32)
        return real(client, callback, arg);
    rt::g_marked[slot] = {callback, arg, role};
    return real(client, &rt::markedProcess, &rt::g_marked[slot]);
}

int fluid_synth_write_float(fluid_synth_t* synth, int len, void* lout, int loff, int lincr,
                            void* rout, int roff, int rincr) {
    using Real = int (*)(fluid_synth_t*, int, void*, int, int, void*, int, int);
    static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "fluid_synth_write_float"));
    if (rt::t_role == rt::kSynthAudio && rt::g_failRender.load(std::memory_order_relaxed))
        return FLUID_FAILED;
    return real(synth, len, lout, loff, lincr, rout, roff, rincr);
}

INTERPOSER int pthread_mutex_lock(pthread_mutex_t* mutex) {
    using Real = int (*)(pthread_mutex_t*);
    static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
    // glibc marks a mutex with priority inheritance in its kind (PTHREAD_MUTEX_PRIO_INHERIT_NP).
    constexpr int kPriorityInheritance = 32;
    if (!(mutex->__data.__kind & kPriorityInheritance))
        rt::count(rt::kMutexLock);
    return real(mutex);
}

}  // extern "C"

#ifdef SEQ_ASAN
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*mallocHook)(const volatile void*,
                                                                            std::size_t),
                                                         void (*freeHook)(const volatile void*));
namespace {
INTERPOSER void onAllocation(const volatile void*, std::size_t) {
    rt::count(rt::kMalloc);
}
INTERPOSER void onFree(const volatile void*) {
    rt::count(rt::kFree);
}
}  // namespace
#else
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);

INTERPOSER void* malloc(std::size_t size) {
    rt::count(rt::kMalloc);
    return __libc_malloc(size);
}
INTERPOSER void* calloc(std::size_t n, std::size_t size) {
    rt::count(rt::kCalloc);
    return __libc_calloc(n, size);
}
INTERPOSER void* realloc(void* p, std::size_t size) {
    rt::count(rt::kRealloc);
    return __libc_realloc(p, size);
}
INTERPOSER void* aligned_alloc(std::size_t alignment, std::size_t size) {
    rt::count(rt::kAlignedAlloc);
    return __libc_memalign(alignment, size);
}
INTERPOSER void* memalign(std::size_t alignment, std::size_t size) {
    rt::count(rt::kAlignedAlloc);
    return __libc_memalign(alignment, size);
}
INTERPOSER int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
    rt::count(rt::kAlignedAlloc);
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0)
        return EINVAL;
    void* p = __libc_memalign(alignment, size);
    if (!p)
        return ENOMEM;
    *out = p;
    return 0;
}
INTERPOSER void free(void* p) {
    rt::count(p ? rt::kFree : rt::kFreeNull);
    __libc_free(p);
}
}  // extern "C"

namespace {
INTERPOSER void* allocate(std::size_t size, std::size_t alignment = 0) {
    rt::count(rt::kNew);
    void* p = alignment > alignof(std::max_align_t) ? __libc_memalign(alignment, size ? size : 1)
                                                    : __libc_malloc(size ? size : 1);
    return p;
}
INTERPOSER void release(void* p) {
    rt::count(rt::kDelete);
    __libc_free(p);
}
}  // namespace

INTERPOSER void* operator new(std::size_t size) {
    if (void* p = allocate(size))
        return p;
    throw std::bad_alloc();
}
INTERPOSER void* operator new[](std::size_t size) {
    if (void* p = allocate(size))
        return p;
    throw std::bad_alloc();
}
INTERPOSER void* operator new(std::size_t size, std::align_val_t a) {
    if (void* p = allocate(size, std::size_t(a)))
        return p;
    throw std::bad_alloc();
}
INTERPOSER void* operator new[](std::size_t size, std::align_val_t a) {
    if (void* p = allocate(size, std::size_t(a)))
        return p;
    throw std::bad_alloc();
}
INTERPOSER void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
INTERPOSER void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
INTERPOSER void operator delete(void* p) noexcept {
    release(p);
}
INTERPOSER void operator delete[](void* p) noexcept {
    release(p);
}
INTERPOSER void operator delete(void* p, std::size_t) noexcept {
    release(p);
}
INTERPOSER void operator delete[](void* p, std::size_t) noexcept {
    release(p);
}
INTERPOSER void operator delete(void* p, std::align_val_t) noexcept {
    release(p);
}
INTERPOSER void operator delete[](void* p, std::align_val_t) noexcept {
    release(p);
}
INTERPOSER void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    release(p);
}
INTERPOSER void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    release(p);
}
INTERPOSER void operator delete(void* p, const std::nothrow_t&) noexcept {
    release(p);
}
INTERPOSER void operator delete[](void* p, const std::nothrow_t&) noexcept {
    release(p);
}
#endif

// ---------------------------------------------------------------- the scenarios

namespace {

// What one scenario counted on one thread.
struct Tally {
    uint64_t callbacks = 0;
    uint64_t counts[rt::kCalls][rt::kOrigins] = {};
    uint64_t from(rt::Origin o) const {
        uint64_t n = 0;
        for (const auto& c : counts)
            n += c[o];
        return n;
    }
    QString describe() const {
        QStringList parts;
        for (int c = 0; c < rt::kCalls; ++c)
            for (int o = 0; o < rt::kOrigins; ++o)
                if (counts[c][o])
                    parts << QStringLiteral("%1 %2 from %3")
                                 .arg(counts[c][o])
                                 .arg(QString::fromLatin1(rt::kCallNames[c]),
                                      QString::fromLatin1(rt::kOriginNames[o]));
        return parts.isEmpty() ? QStringLiteral("no call") : parts.join(QStringLiteral(", "));
    }
};

// Counts what the marked threads call while `during` runs.
template <typename During>
Tally measure(rt::Role role, During during) {
    for (auto& byCall : rt::g_counts[role])
        for (auto& n : byCall)
            n.store(0);
    const uint64_t callbacksBefore = rt::g_callbacks[role].load();
    rt::g_counting.store(true);
    during();
    rt::g_counting.store(false);
    Tally t;
    t.callbacks = rt::g_callbacks[role].load() - callbacksBefore;
    for (int c = 0; c < rt::kCalls; ++c)
        for (int o = 0; o < rt::kOrigins; ++o)
            t.counts[c][o] = rt::g_counts[role][c][o].load();
    return t;
}

// Waits for `n` more process callbacks of `role`.
bool passCallbacks(rt::Role role, uint64_t n) {
    const uint64_t until = rt::g_callbacks[role].load() + n;
    return QTest::qWaitFor([&] { return rt::g_callbacks[role].load() >= until; }, 10000);
}

// From a thread marked as the step engine's, hands over `count` notes due in ten seconds.
void sendFromEngine(MIDIOutput& out, int count) {
    const int64_t later = monotonicNowNs() + 10'000'000'000;
    std::thread engine([&] {
        rt::t_role = rt::kEngine;
        rt::g_callbacks[rt::kEngine].fetch_add(1);
        const uint8_t note[3] = {0x99, 35, 100};
        for (int i = 0; i < count; ++i)
            out.send(note, 3, later + i);
        rt::t_role = rt::kUnmarked;
    });
    engine.join();
}

}  // namespace

class TestRealtimeSafety : public QObject {
    Q_OBJECT

    // Scenario name -> what was counted on the thread.
    std::vector<std::pair<QString, Tally>> m_results;

    void record(rt::Role role, const QString& what, const Tally& t) {
        m_results.emplace_back(what, t);
        qInfo().noquote() << QStringLiteral("%1: %2 callbacks of the %3; %4")
                                 .arg(what)
                                 .arg(t.callbacks)
                                 .arg(QString::fromLatin1(rt::kRoleNames[role]), t.describe());
    }

private slots:
    void initTestCase() {
        qputenv("JACK_NO_START_SERVER", "1");
        // Warm up what the counting uses, so its first use allocates nowhere near a
        // marked thread.
        void* frames[4];
        backtrace(frames, 4);
#ifdef SEQ_ASAN
        __sanitizer_install_malloc_and_free_hooks(&onAllocation, &onFree);
#endif
    }

    void jackOutput() {
        auto receiver = std::make_unique<JackReceiver>("seq-test-rtsafe");
        QVERIFY2(receiver->ok(), receiver->error().c_str());
        auto out = makeSystemMidiOutput();
        ErrorRecorder errors(*out);
        const int16_t id = findDevice(
            *out, QStringLiteral("JACK: ") + QString::fromStdString(receiver->portName()));
        QVERIFY(id >= 0);
        out->setDeviceID(id);
        out->setAction(1);
        QCOMPARE(out->PortState(), int16_t(1));
        Playback play(*out, &out->clockOutput());

        record(rt::kJackOutput,
               QStringLiteral("JACK output, playing the rock preset at 5 ms steps"),
               measure(rt::kJackOutput, [&] {
                   play.start(5);
                   QTRY_VERIFY_WITH_TIMEOUT(receiver->events().size() >= 200, 10000);
               }));
        record(rt::kJackOutput, QStringLiteral("JACK output, stop"), measure(rt::kJackOutput, [&] {
                   play.stop();
                   QVERIFY(passCallbacks(rt::kJackOutput, 20));
               }));
        record(rt::kJackOutput, QStringLiteral("JACK output, panic while playing"),
               measure(rt::kJackOutput, [&] {
                   play.start(5);
                   QVERIFY(passCallbacks(rt::kJackOutput, 10));
                   receiver->clear();
                   sendPanic(*out);
                   QTRY_VERIFY_WITH_TIMEOUT(
                       [&] {
                           for (const ReceivedEvent& e : receiver->events())
                               if (e.bytes[0] == 0xB9 && e.bytes[1] == 123)
                                   return true;
                           return false;
                       }(),
                       5000);
                   play.stop();
               }));
        QCoreApplication::processEvents();
        QCOMPARE(errors.count(), 0);
        // More than the queue holds: the output refuses the rest, and says so once.
        record(rt::kEngine,
               QStringLiteral("step engine, sending into the JACK output's full queue"),
               measure(rt::kEngine, [&] { sendFromEngine(*out, 2000); }));
        QTRY_VERIFY(errors.codes.contains(MidiError::kSendFailed));
        record(rt::kJackOutput, QStringLiteral("JACK output, withdraw with a full queue"),
               measure(rt::kJackOutput, [&] {
                   out->cancelPending();
                   QVERIFY(passCallbacks(rt::kJackOutput, 10));
               }));
        // The withdraw took effect: the queue takes messages again, and the withdrawn ones
        // never come.
        receiver->clear();
        sendMessage(*out, 0x99, 40, 100);
        QVERIFY(receiver->waitForEvents(1, 5000));
        QCOMPARE(receiver->events().size(), size_t(1));
        QCOMPARE(receiver->events()[0].bytes[1], uint8_t(40));

        record(rt::kJackOutput, QStringLiteral("JACK output, the receiver leaves while playing"),
               measure(rt::kJackOutput, [&] {
                   play.start(5);
                   QVERIFY(passCallbacks(rt::kJackOutput, 10));
                   receiver.reset();
                   QTRY_COMPARE_WITH_TIMEOUT(out->PortState(), int16_t(0), 5000);
               }));
        play.timer.setEnabled(false);
        QCOMPARE(errors.codes.last(), MidiError::kDeviceLost);
        record(rt::kEngine, QStringLiteral("step engine, sending to the port the loss closed"),
               measure(rt::kEngine, [&] { sendFromEngine(*out, 100); }));
    }

    void synthOnJack() {
        FluidSynthOptions o;
        o.audioDrivers = {"jack"};
        auto owned = std::make_unique<BuiltinSynth>(o);
        BuiltinSynth* synth = owned.get();
        MIDIOutput out(std::move(owned), {});
        ErrorRecorder errors(out);
        out.setDeviceID(-1);
        out.setAction(1);
        QCOMPARE(synth->audioOutput(), std::string("jack"));
        Playback play(out);

        record(rt::kSynthAudio, QStringLiteral("synth, playing the rock preset at 5 ms steps"),
               measure(rt::kSynthAudio, [&] {
                   play.start(5);
                   QTRY_VERIFY_WITH_TIMEOUT(play.timer.TickCount() >= 200, 10000);
                   QVERIFY(passCallbacks(rt::kSynthAudio, 10));
               }));
        record(rt::kSynthAudio, QStringLiteral("synth, stop"), measure(rt::kSynthAudio, [&] {
                   play.stop();
                   QVERIFY(passCallbacks(rt::kSynthAudio, 20));
               }));
        record(rt::kSynthAudio, QStringLiteral("synth, panic while playing"),
               measure(rt::kSynthAudio, [&] {
                   play.start(5);
                   QVERIFY(passCallbacks(rt::kSynthAudio, 10));
                   sendPanic(out);
                   QVERIFY(passCallbacks(rt::kSynthAudio, 10));
                   play.stop();
               }));
        QCoreApplication::processEvents();
        QCOMPARE(errors.count(), 0);
        record(rt::kEngine, QStringLiteral("step engine, sending into the synth's full queue"),
               measure(rt::kEngine, [&] { sendFromEngine(out, 2000); }));
        QTRY_VERIFY(errors.codes.contains(MidiError::kSendFailed));
        record(rt::kSynthAudio, QStringLiteral("synth, withdraw with a full queue"),
               measure(rt::kSynthAudio, [&] {
                   out.cancelPending();
                   QVERIFY(passCallbacks(rt::kSynthAudio, 10));
               }));
        record(rt::kSynthAudio, QStringLiteral("synth, a render that fails"),
               measure(rt::kSynthAudio, [&] {
                   play.start(5);
                   rt::g_failRender.store(true);
                   QTRY_VERIFY_WITH_TIMEOUT(errors.codes.contains(MidiError::kSynthUnavailable),
                                            5000);
                   rt::g_failRender.store(false);
                   play.timer.setEnabled(false);
               }));
        // Told once, though every callback failed until the flag was cleared.
        QCOMPARE(errors.codes.count(MidiError::kSynthUnavailable), 1);
        out.setAction(2);
    }

    void alsaSenderRefused() {
        // The sequencer refuses every message; there is none on this machine, so a sink
        // stands in for it.
        std::atomic<int> refused{0};
        ScheduledSender sender([&](const ShortMessage&) {
            rt::t_role = rt::kAlsaSender;
            rt::g_callbacks[rt::kAlsaSender].fetch_add(1);
            ++refused;
            return false;
        });
        record(rt::kAlsaSender, QStringLiteral("ALSA sender, the sequencer refusing messages"),
               measure(rt::kAlsaSender, [&] {
                   const int64_t soon = monotonicNowNs() + 2'000'000;
                   for (int i = 0; i < 20; ++i)
                       QVERIFY(sender.post(ShortMessage{3, {0x99, 35, 100}}, soon + i * 500'000));
                   QTRY_COMPARE(refused.load(), 20);
               }));
        QVERIFY(sender.sinkFailed());
    }

    void theProgramMakesNoCallOnItsRealTimeThreads() {
        QVERIFY(!m_results.empty());
        for (const auto& [what, t] : m_results) {
            QVERIFY2(t.callbacks > 0, qPrintable(what + QStringLiteral(": the thread never ran")));
            QVERIFY2(t.from(rt::kProgram) == 0,
                     qPrintable(what + QStringLiteral(": ") + t.describe()));
        }
    }
};

QTEST_GUILESS_MAIN(TestRealtimeSafety)
#include "tst_realtime_safety.moc"
