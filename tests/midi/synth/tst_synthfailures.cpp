// The built-in synth without what it needs (a soundfont, an audio output): one clear
// error, the program goes on, and later messages play to nothing. Also repeated opening.

#include <QTemporaryDir>
#include <QTest>

#include <jack/jack.h>

#include <cstdlib>

#include "midi/ports/midioutput.h"
#include "midi/synth/builtinsynth.h"
#include "support/audioanalysis.h"
#include "support/recordingports.h"
#include "support/threadcount.h"

namespace {

struct SynthPort {
    explicit SynthPort(const FluidSynthOptions& options) {
        auto owned = std::make_unique<BuiltinSynth>(options);
        synth = owned.get();
        out = std::make_unique<MIDIOutput>(std::move(owned),
                                           std::vector<std::unique_ptr<MidiOutSystem>>{});
        errors = std::make_unique<ErrorRecorder>(*out);
        out->setDeviceID(-1);
    }
    void sendNotes(int count) {
        for (int i = 0; i < count; ++i) {
            out->setStatus(153);
            out->setData1(35);
            out->setData2(102);
            out->setAction(7);
        }
    }
    float renderPeak() {
        std::vector<float> l(4800), r(4800);
        if (!synth->render(l.data(), r.data(), 4800, 1))
            return -1.0f;
        return peakOf(l, r, 0, l.size());
    }
    BuiltinSynth* synth = nullptr;
    std::unique_ptr<MIDIOutput> out;
    std::unique_ptr<ErrorRecorder> errors;
};

FluidSynthOptions offlineWith(const std::string& soundfont) {
    FluidSynthOptions o;
    o.soundfontPath = soundfont;
    o.audioDrivers = {kOfflineAudio};
    return o;
}

}  // namespace

class TestSynthFailures : public QObject {
    Q_OBJECT
private slots:
    void noSoundfontIsOneErrorAndPlaysNothing_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        QTest::newRow("missing") << QStringLiteral("missing") << QStringLiteral("does not exist");
        QTest::newRow("a folder") << QStringLiteral("folder") << QStringLiteral("is not a file");
        QTest::newRow("not a soundfont")
            << QStringLiteral("text") << QStringLiteral("is not a SoundFont");
    }

    void noSoundfontIsOneErrorAndPlaysNothing() {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QString path = dir.filePath(QStringLiteral("drums.sf2"));
        if (kind == QLatin1String("folder")) {
            QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("drums.sf2")));
        } else if (kind == QLatin1String("text")) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("these are not the sounds you are looking for\n");
        }

        SynthPort p(offlineWith(path.toStdString()));
        p.out->setAction(1);
        // The port opens and the program goes on; the cause comes as one posted Error.
        QCOMPARE(p.out->PortState(), int16_t(1));
        QCOMPARE(p.errors->count(), 0);
        QTRY_COMPARE(p.errors->count(), 1);
        QCOMPARE(p.errors->codes.at(0), MidiError::kSynthUnavailable);
        const QString text = p.errors->texts.at(0);
        QVERIFY2(text.contains(path) && text.contains(reason), qPrintable(text));

        // Later messages play to nothing, without a word.
        p.sendNotes(50);
        QCOMPARE(p.synth->audioOutput(), std::string());
        QCOMPARE(p.renderPeak(), -1.0f);
        // The setup dialog's OK opens the synth again: the user is not told twice.
        p.out->setAction(2);
        p.out->setAction(1);
        p.sendNotes(5);
        QCoreApplication::processEvents();
        QCOMPARE(p.errors->count(), 1);
    }

    void noAudioOutputIsOneErrorAndPlaysNothing_data() {
        QTest::addColumn<QStringList>("drivers");
        QTest::addColumn<QString>("reason");
        QTest::newRow("no such driver")
            << QStringList{QStringLiteral("no-such-driver")}
            << QStringLiteral("FluidSynth has none of the audio drivers no-such-driver");
        QTest::newRow("no JACK server") << QStringList{QStringLiteral("jack")}
                                        << QStringLiteral("JACK: no JACK server is running");
    }

    void noAudioOutputIsOneErrorAndPlaysNothing() {
        QFETCH(QStringList, drivers);
        QFETCH(QString, reason);
        // A server name nobody uses: JACK is not running for this test.
        qputenv("JACK_DEFAULT_SERVER", "seqtest-synth-nobody");
        FluidSynthOptions o;
        o.audioDrivers.clear();
        for (const QString& d : drivers)
            o.audioDrivers.push_back(d.toStdString());
        SynthPort p(o);
        p.out->setAction(1);
        QCOMPARE(p.out->PortState(), int16_t(1));
        QTRY_COMPARE(p.errors->count(), 1);
        QCOMPARE(p.errors->codes.at(0), MidiError::kSynthUnavailable);
        QVERIFY2(p.errors->texts.at(0).contains(QStringLiteral("no audio output is available")) &&
                     p.errors->texts.at(0).contains(reason),
                 qPrintable(p.errors->texts.at(0)));
        p.sendNotes(50);
        QCOMPARE(p.out->leadNs(), int64_t(0));
        p.out->setAction(2);
        p.out->setAction(1);
        QCoreApplication::processEvents();
        QCOMPARE(p.errors->count(), 1);
    }

    void jackIsNeverStarted() {
        // Even where nothing keeps libjack from starting a server, the synth only joins one
        // that runs.
        const QByteArray noStart = qgetenv("JACK_NO_START_SERVER");
        qunsetenv("JACK_NO_START_SERVER");
        qputenv("JACK_DEFAULT_SERVER", "seqtest-synth-nobody");
        FluidSynthOptions o;
        o.audioDrivers = {"jack"};
        {
            SynthPort p(o);
            p.out->setAction(1);
            QTRY_COMPARE(p.errors->count(), 1);
            QVERIFY2(p.errors->texts.at(0).contains(QStringLiteral("no JACK server is running")),
                     qPrintable(p.errors->texts.at(0)));
        }
        qputenv("JACK_NO_START_SERVER", noStart.isEmpty() ? QByteArray("1") : noStart);
        jack_status_t status{};
        jack_client_t* client = jack_client_open("seq-test-look", JackNoStartServer, &status);
        if (client)
            jack_client_close(client);
        QVERIFY2(!client, "a JACK server was started");
    }

    void soundfontLoadsOnceForManyOpens() {
        // A copy of the soundfont that disappears after the first open: later opens still
        // play, so they do not load it again.
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString copy = dir.filePath(QStringLiteral("gm.sf2"));
        QVERIFY(QFile::copy(QString::fromLatin1(kDefaultSoundfontPath), copy));
        SynthPort p(offlineWith(copy.toStdString()));
        p.out->setAction(1);
        QVERIFY(QFile::remove(copy));
        const int threads = threadCount();
        for (int i = 0; i < 50; ++i) {
            p.out->setAction(2);
            p.out->setAction(1);
        }
        QCOMPARE(p.out->PortState(), int16_t(1));
        p.sendNotes(1);
        QVERIFY(p.renderPeak() > 0.005f);
        QCOMPARE(threadCount(), threads);
        QCoreApplication::processEvents();
        QCOMPARE(p.errors->count(), 0);
    }
};

QTEST_GUILESS_MAIN(TestSynthFailures)
#include "tst_synthfailures.moc"
