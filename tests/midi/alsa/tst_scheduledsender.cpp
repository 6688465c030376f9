// The sender thread that holds messages until their due time (the ALSA output's), with a
// sink that records what it is given; and the MIDI systems that are not there (no ALSA
// sequencer device on this machine, no JACK server of the name asked for) staying quiet.

#include <QTemporaryFile>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>
#include <mutex>
#include <vector>

#include "core/monotonicclock.h"
#include "midi/alsa/alsaoutput.h"
#include "midi/alsa/rtmidiclient.h"
#include "midi/alsa/scheduledsender.h"
#include "midi/jack/jackoutput.h"

namespace {

struct Delivered {
    unsigned char note;
    int64_t atNs;
};

// Records every message the sender delivers, with the time it was delivered.
struct RecordingSink {
    std::mutex mutex;
    std::vector<Delivered> delivered;
    ScheduledSender::Sink sink() {
        return [this](const ShortMessage& m) {
            std::lock_guard<std::mutex> lock(mutex);
            delivered.push_back({m.bytes[1], monotonicNowNs()});
            return true;
        };
    }
    std::vector<Delivered> copy() {
        std::lock_guard<std::mutex> lock(mutex);
        return delivered;
    }
    size_t count() { return copy().size(); }
};

void post(ScheduledSender& sender, unsigned char note, int64_t dueNs) {
    QVERIFY(sender.post(ShortMessage{3, {0x99, note, 0x66}}, dueNs));
}

// Runs `f` with stderr sent to a file and returns what was written there.
template <typename F>
QByteArray stderrOf(F f) {
    QTemporaryFile file;
    if (!file.open())
        return "cannot capture stderr";
    fflush(stderr);
    const int saved = dup(2);
    dup2(file.handle(), 2);
    f();
    fflush(stderr);
    dup2(saved, 2);
    ::close(saved);
    file.seek(0);
    return file.readAll();
}
}  // namespace

class TestScheduledSender : public QObject {
    Q_OBJECT
private slots:
    void deliversInDueOrderAndNeverEarly() {
        RecordingSink sink;
        ScheduledSender sender(sink.sink());
        const int64_t t0 = monotonicNowNs() + 30'000'000;
        // Posted out of order; two share a due time and keep their posting order.
        const std::vector<std::pair<unsigned char, int64_t>> posts{
            {3, t0 + 20'000'000}, {1, t0}, {2, t0 + 5'000'000}, {4, t0 + 20'000'000}, {0, 0}};
        for (const auto& p : posts)
            post(sender, p.first, p.second);
        QTRY_COMPARE(sink.count(), posts.size());
        const auto got = sink.copy();
        QCOMPARE(got[0].note, 0);  // due at once
        QCOMPARE(got[1].note, 1);
        QCOMPARE(got[2].note, 2);
        QCOMPARE(got[3].note, 3);
        QCOMPARE(got[4].note, 4);
        for (const auto& d : got) {
            for (const auto& p : posts) {
                if (p.first != d.note)
                    continue;
                QVERIFY2(d.atNs >= p.second, qPrintable(QStringLiteral("note %1 left %2 µs early")
                                                            .arg(d.note)
                                                            .arg((p.second - d.atNs) / 1000)));
            }
        }
    }

    void aMessageAlreadyPastLeavesAtOnce() {
        RecordingSink sink;
        ScheduledSender sender(sink.sink());
        post(sender, 7, monotonicNowNs() - 1'000'000'000);
        QTRY_COMPARE(sink.count(), size_t(1));
        QCOMPARE(sender.pending(), size_t(0));
    }

    void endingWithMessagesWaitingDropsThemPromptly() {
        RecordingSink sink;
        {
            ScheduledSender sender(sink.sink());
            post(sender, 1, monotonicNowNs() + 60'000'000'000);
        }
        // The destructor did not wait a minute for the message, nor deliver it.
        QCOMPARE(sink.count(), size_t(0));
    }

    void absentSystemsListNothingAndSayNothing() {
        if (alsaSequencerPresent())
            QSKIP("this machine has an ALSA sequencer device");
        qputenv("JACK_NO_START_SERVER", "1");
        qputenv("JACK_DEFAULT_SERVER", "seqtest-no-such-server");
        std::vector<std::string> alsaPorts{"x"}, jackPorts{"x"};
        std::string alsaError, jackError;
        bool alsaOpened = true, jackOpened = true;
        const QByteArray printed = stderrOf([&] {
            auto alsa = makeAlsaMidiOutSystem();
            alsaPorts = alsa->listPorts();
            alsaOpened = alsa->open("any", alsaError);
            auto jack = makeJackMidiOutSystem();
            jackPorts = jack->listPorts();
            jackOpened = jack->open("any:in", jackError);
        });
        QVERIFY(alsaPorts.empty());
        QVERIFY(!alsaOpened);
        QVERIFY2(alsaError.find("/dev/snd/seq") != std::string::npos, alsaError.c_str());
        QVERIFY(jackPorts.empty());
        QVERIFY(!jackOpened);
        QCOMPARE(QString::fromStdString(jackError), QStringLiteral("no JACK server is running"));
        QCOMPARE(printed, QByteArray());
    }
};

QTEST_GUILESS_MAIN(TestScheduledSender)
#include "tst_scheduledsender.moc"
