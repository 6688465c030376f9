// The pattern file on a real file system: the bytes written, how values are read, files
// that are no pattern files, and saves where the system refuses them (the failures that are
// injected into a save are replaceFile's, in tst_atomicfile).

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <random>

#include "editing/editing.h"
#include "filestestsupport.h"
#include "support/fakecontrols.h"

namespace {
constexpr int16_t K = PatternFileReader::kKeep;
using States = std::vector<int>;

/// Kills the test if a call it guards does not return in time: a load that blocks shows up
/// as a failure, not as a run that never ends.
struct Watchdog {
    explicit Watchdog(unsigned seconds) {
        std::signal(SIGALRM, [](int) {
            const char text[] = "FAIL: a file operation blocked and did not return\n";
            (void)!::write(2, text, sizeof text - 1);
            ::_exit(1);
        });
        alarm(seconds);
    }
    ~Watchdog() { alarm(0); }
};

PatternFileReader readWhole(const QByteArray& in) {
    PatternFileReader r;
    r.feed(in.constData(), std::size_t(in.size()));
    r.finish();
    return r;
}

States firstStates(const PatternFileReader& r, int n) {
    States s;
    for (int i = 0; i < n; ++i)
        s.push_back(r.states()[std::size_t(i)]);
    return s;
}

CellStates rockCells() {
    FakeControls live;
    rockPreset(live);
    return cellsOf(live);
}

// A grid in which every cell is dimmed: no file value used in these tests is 2 unless
// meant to be, so a changed cell is easy to tell from one that kept its state.
CellStates allDimmed() {
    CellStates c;
    c.fill(kDimmed);
    return c;
}

QByteArray repeat(const QByteArray& unit, int n) {
    QByteArray out;
    for (int i = 0; i < n; ++i)
        out += unit;
    return out;
}

struct HelperRun {
    int exitCode = -1;
    bool crashed = false;
    QString out;
};

HelperRun runHelper(const QStringList& args) {
    QProcess p;
    p.start(QStringLiteral(PATTERNFILE_HELPER), args);
    HelperRun r;
    if (!p.waitForFinished(30000))
        return r;
    r.crashed = p.exitStatus() == QProcess::CrashExit;
    r.exitCode = p.exitCode();
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    return r;
}

const char* const kNobody = "65534";
}  // namespace

class TestPatternFile : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path(const QString& name) const { return m_dir.filePath(name); }
    QString folderFor(const QString& name) {
        const QString f = path(name);
        QDir().mkpath(f);
        return f;
    }

private slots:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        // The helper may run as another user, who must be able to reach the folders inside.
        QVERIFY(::chmod(m_dir.path().toLocal8Bit().constData(), 0755) == 0);
        ::umask(022);
    }

    // ------------------------------------------------------------ writing

    void writesOneValueAndCrLfPerCell() {
        CellStates cells{};
        QCOMPARE(patternBytes(cells), repeat("0\r\n", 64));
        QCOMPARE(patternBytes(cells).size(), 192);

        cells[0] = kOn;
        cells[17] = kDimmed;
        cells[63] = kOn;
        const QByteArray bytes = patternBytes(cells);
        QCOMPARE(bytes.size(), 192);
        const QList<QByteArray> lines = bytes.split('\n');
        QCOMPARE(lines.size(), 65);  // 64 lines, and nothing after the last line end
        QCOMPARE(lines.last(), QByteArray());
        QCOMPARE(lines[0], QByteArray("1\r"));
        QCOMPARE(lines[17], QByteArray("2\r"));
        QCOMPARE(lines[63], QByteArray("1\r"));
    }

    void rockPresetGivesTheKnownBytes() {
        const QByteArray bytes = patternBytes(rockCells());
        const QByteArray start =
            QByteArray::fromHex("310D0A300D0A300D0A300D0A300D0A300D0A310D0A300D0A310D0A");
        QVERIFY2(bytes.startsWith(start), bytes.left(27).toHex(' ').constData());
        QCOMPARE(bytes.size(), 192);
        QCOMPARE(bytes.count("1\r\n"), 21);
    }

    // ------------------------------------------------------------ reading values

    void readsValues_data() {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<States>("expected");  // states of the values read, in order

        QTest::newRow("CR LF") << QByteArray("1\r\n0\r\n2\r\n") << States{1, 0, 2};
        QTest::newRow("LF only") << QByteArray("1\n0\n2\n") << States{1, 0, 2};
        QTest::newRow("CR only") << QByteArray("1\r0\r2\r") << States{1, 0, 2};
        QTest::newRow("no final line end") << QByteArray("1\r\n0") << States{1, 0};
        QTest::newRow("blank lines") << QByteArray("\r\n1\r\n\r\n\n\r0\r\n\r\n") << States{1, 0};
        QTest::newRow("commas") << QByteArray("1,0,2") << States{1, 0, 2};
        QTest::newRow("comma ends line") << QByteArray("1,0,\r\n2,1,\r\n") << States{1, 0, 2, 1};
        QTest::newRow("spaces between") << QByteArray("1 0  2") << States{1, 0, 2};
        QTest::newRow("spaces round comma") << QByteArray("  1  ,  0 ,2  \r\n") << States{1, 0, 2};
        QTest::newRow("empty between commas") << QByteArray("1,,0") << States{1, K, 0};
        QTest::newRow("comma at line start") << QByteArray("1\r\n,0") << States{1, K, 0};
        QTest::newRow("blank between commas") << QByteArray("1, ,0") << States{1, K, 0};
        QTest::newRow("empty") << QByteArray() << States{};
        QTest::newRow("only line ends") << QByteArray("\r\n\n\r  \r\n") << States{};

        // What a field that is not written the program's way gives.
        QTest::newRow("leading space") << QByteArray(" 1") << States{1};
        QTest::newRow("leading zero") << QByteArray("01\r\n002") << States{1, 2};
        QTest::newRow("plus sign") << QByteArray("+1") << States{1};
        QTest::newRow("minus zero") << QByteArray("-0") << States{0};
        QTest::newRow("trailing letter") << QByteArray("1x,1") << States{K, 1};
        QTest::newRow("negative") << QByteArray("-1,1") << States{K, 1};
        QTest::newRow("three") << QByteArray("3,1") << States{K, 1};
        QTest::newRow("16-bit max") << QByteArray("32767,1") << States{K, 1};
        QTest::newRow("past 16 bits") << QByteArray("32768,-32769,1") << States{K, K, 1};
        QTest::newRow("huge") << QByteArray("99999999999999999999999,000000000000000001")
                              << States{K, 1};
        QTest::newRow("sign alone") << QByteArray("+,-,1") << States{K, K, 1};
        QTest::newRow("two signs") << QByteArray("+-1,1+") << States{K, K};
        QTest::newRow("decimal point") << QByteArray("1.0,1") << States{K, 1};
        QTest::newRow("hex") << QByteArray("0x1,1") << States{K, 1};
        QTest::newRow("tab is no space") << QByteArray("\t1,1\t,1") << States{K, K, 1};
        QTest::newRow("form feed") << QByteArray("\f1,1") << States{K, 1};
        QTest::newRow("non-ASCII") << QByteArray("\xc3\xa9,1") << States{K, 1};
        QTest::newRow("byte order mark") << QByteArray(
                                                "\xef\xbb\xbf"
                                                "1\r\n1")
                                         << States{K, 1};
        // Ctrl-Z, the DOS end-of-file mark, ends the text; what follows is never looked at.
        QTest::newRow("Ctrl-Z after a line end")
            << QByteArray("1\r\n0\r\n\x1a\0\x01junk", 10) << States{1, 0};
        QTest::newRow("Ctrl-Z ends a value") << QByteArray(
                                                    "1,2\x1a"
                                                    "1")
                                             << States{1, 2};
        QTest::newRow("Ctrl-Z first") << QByteArray(
                                             "\x1a"
                                             "1,1")
                                      << States{};
    }

    void readsValues() {
        QFETCH(QByteArray, input);
        QFETCH(States, expected);
        const PatternFileReader whole = readWhole(input);
        QVERIFY(!whole.binary());
        QCOMPARE(whole.valueCount(), int(expected.size()));
        QCOMPARE(firstStates(whole, int(expected.size())), expected);
        for (int i = int(expected.size()); i < kCells; ++i)
            QCOMPARE(whole.states()[i], K);

        // The same, one byte at a time: where the pieces break makes no difference.
        PatternFileReader bytewise;
        for (char c : input)
            bytewise.feed(&c, 1);
        bytewise.finish();
        QCOMPARE(bytewise.states(), whole.states());
        QCOMPARE(bytewise.valueCount(), whole.valueCount());
    }

    void takesSixtyFourValuesAndNoMore() {
        // 70 values, then bytes that would mark the file as binary: none of it is looked at.
        const QByteArray input =
            repeat("1\r\n", 64) + "0\r\n2\r\n0\r\n0\r\n0\r\n0\r\n" + QByteArray("\0\0\0", 3);
        PatternFileReader r;
        QVERIFY(!r.feed(input.constData(), std::size_t(input.size())));
        QCOMPARE(r.valueCount(), 64);
        QVERIFY(!r.binary());
        for (int16_t s : r.states())
            QCOMPARE(s, kOn);
    }

    void binaryInputIsRefusedWhole() {
        for (const QByteArray& input :
             {QByteArray("1\r\n0\r\n\0", 7), QByteArray("1,1,\x1b"), QByteArray("1\x7f"),
              QByteArray::fromHex("7F454C4602010100"), QByteArray("1\r\n\x01\r\n1")}) {
            const PatternFileReader r = readWhole(input);
            QVERIFY2(r.binary(), input.toHex(' ').constData());
            SpyPattern grid;
            r.applyTo(grid);
            QVERIFY(grid.writes.empty());
        }
    }

    // ------------------------------------------------------------ loading files

    void roundTrip() {
        std::mt19937 gen(7);
        for (int round = 0; round < 20; ++round) {
            CellStates saved{};
            for (auto& s : saved)
                s = int16_t(gen() % 3);
            const QString file = path(QStringLiteral("round.pat"));
            const SaveResult w = savePatternFile(str(file), saved);
            QVERIFY2(w.ok, w.error.c_str());

            CellStates loaded{};
            for (int i = 0; i < kCells; ++i)
                loaded[i] = int16_t((saved[i] + 1) % 3);
            const LoadResult r = loadPatternFile(str(file), loaded);
            QVERIFY2(r.applied, r.error.c_str());
            QCOMPARE(r.values, 64);
            QCOMPARE(loaded, saved);
        }
    }

    void loadsFiles_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<States>("expected");  // the whole grid after loading into all-dimmed

        States voice0(64, 2);
        for (int i = 0; i < 16; ++i)
            voice0[i] = i % 2;
        QByteArray sixteen;
        for (int i = 0; i < 16; ++i)
            sixteen += QByteArray::number(i % 2) + "\r\n";
        QTest::newRow("16 values change only voice 0") << sixteen << voice0;

        States rock;
        for (int16_t s : rockCells())
            rock.push_back(s);
        const QByteArray rockLines = patternBytes(rockCells());
        QByteArray rockCommas = rockLines;
        rockCommas.replace("\r\n", ",");
        QTest::newRow("rock, one value per line") << rockLines << rock;
        QTest::newRow("rock, commas on one line") << rockCommas << rock;
        QByteArray rockLf = rockLines, rockCr = rockLines;
        rockLf.replace("\r\n", "\n");
        rockCr.replace("\r\n", "\r");
        QTest::newRow("rock, LF only") << rockLf << rock;
        QTest::newRow("rock, CR only") << rockCr << rock;
        QTest::newRow("rock, more than 64 values") << rockLines + repeat("0\r\n", 100) << rock;

        States bad(64, 2);
        bad[0] = 1;
        bad[3] = 0;
        QTest::newRow("invalid and out of range keep their cells")
            << QByteArray("1\r\nx\r\n-7\r\n0\r\n40000\r\n") << bad;
        QTest::newRow("empty file") << QByteArray() << States(64, 2);
    }

    void loadsFiles() {
        QFETCH(QByteArray, content);
        QFETCH(States, expected);
        const QString file = path(QStringLiteral("load.pat"));
        QVERIFY(writeBytes(file, content));
        CellStates grid = allDimmed();
        const LoadResult r = loadPatternFile(str(file), grid);
        QVERIFY2(r.applied, r.error.c_str());
        QCOMPARE(States(grid.begin(), grid.end()), expected);
    }

    void loadLeavesGridAloneForWhatIsNoPatternFile_data() {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("why");

        const QString folder = folderFor(QStringLiteral("a folder.pat"));
        QTest::newRow("folder") << folder << "is a folder";

        const QString fifo = path(QStringLiteral("pipe.pat"));
        ::unlink(fifo.toLocal8Bit().constData());
        QVERIFY(::mkfifo(fifo.toLocal8Bit().constData(), 0644) == 0);
        QTest::newRow("FIFO without a writer") << fifo << "is a pipe";

        QTest::newRow("/dev/zero") << QStringLiteral("/dev/zero") << "is a device";
        QTest::newRow("/dev/null") << QStringLiteral("/dev/null") << "is a device";
        const QString link = path(QStringLiteral("zero.pat"));
        QFile::remove(link);
        QVERIFY(QFile::link(QStringLiteral("/dev/zero"), link));
        QTest::newRow("link to /dev/zero") << link << "is a device";

        QTest::newRow("missing") << path(QStringLiteral("gone.pat")) << "no such file or directory";

        // The start of a program file, then what would otherwise be a full grid.
        const QString binary = path(QStringLiteral("program.pat"));
        QVERIFY(writeBytes(binary,
                           QByteArray::fromHex("7F454C460201010000000000") + repeat("1\r\n", 64)));
        QTest::newRow("binary") << binary << "binary data";
        const QString late = path(QStringLiteral("late-binary.pat"));
        QVERIFY(writeBytes(late, repeat("1\r\n", 40) + QByteArray("\0", 1)));
        QTest::newRow("binary after 40 values") << late << "binary data";
    }

    void loadLeavesGridAloneForWhatIsNoPatternFile() {
        QFETCH(QString, target);
        QFETCH(QString, why);
        CellStates grid = rockCells();
        LoadResult r;
        {
            Watchdog watchdog(10);
            r = loadPatternFile(str(target), grid);
        }
        QVERIFY(!r.applied);
        QCOMPARE(grid, rockCells());
        const QString error = QString::fromStdString(r.error);
        QVERIFY2(error.contains(target) && error.contains(why), r.error.c_str());
    }

    void loadReadsOnlyTheStartOfAHugeFile() {
        // 64 values, then 4 GiB of hole (zero bytes, which would also mark it binary).
        const QString file = path(QStringLiteral("huge.pat"));
        QVERIFY(writeBytes(file, repeat("1\r\n", 64)));
        QVERIFY(::truncate(file.toLocal8Bit().constData(), off_t(4) << 30) == 0);
        CellStates grid{};
        const LoadResult r = loadPatternFile(str(file), grid);
        QVERIFY2(r.applied, r.error.c_str());
        QCOMPARE(r.values, 64);
        QVERIFY2(r.bytesRead <= 4096, std::to_string(r.bytesRead).c_str());
        for (int16_t s : grid)
            QCOMPARE(s, kOn);
    }

    void loadGivesUpOnAFileOfNothingButSpaces() {
        const QString file = path(QStringLiteral("spaces.pat"));
        QVERIFY(writeBytes(file, QByteArray(int(kMaxPatternFileRead) + 4096, ' ') + "1\r\n"));
        CellStates grid = rockCells();
        const LoadResult r = loadPatternFile(str(file), grid);
        QCOMPARE(r.bytesRead, kMaxPatternFileRead);
        QCOMPARE(r.values, 0);
        QCOMPARE(grid, rockCells());
    }

    void loadOfAnUnreadableFileChangesNothing() {
        const QString file = path(QStringLiteral("secret.pat"));
        QVERIFY(writeBytes(file, repeat("1\r\n", 64)));
        QVERIFY(::chmod(file.toLocal8Bit().constData(), 0) == 0);
        // As another user when run as root, who could read it anyway.
        const HelperRun run = runHelper({"load", file, "user", kNobody});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.out.contains("Cannot open \"" + file + "\": permission denied"),
                 qPrintable(run.out));
        QVERIFY2(run.out.contains(QString(64, 'k')), qPrintable(run.out));
    }

    // ------------------------------------------------------------ saving

    void saveCreatesAFileWithTheUsualMode() {
        const QString file = path(QStringLiteral("new.pat"));
        QFile::remove(file);
        const SaveResult r = savePatternFile(str(file), rockCells());
        QVERIFY2(r.ok, r.error.c_str());
        QCOMPARE(readBytes(file), patternBytes(rockCells()));
        struct stat st {};
        QVERIFY(::stat(file.toLocal8Bit().constData(), &st) == 0);
        QCOMPARE(st.st_mode & 07777, mode_t(0644));  // 0666 less the umask 022
        QCOMPARE(entries(m_dir.path()).filter(QStringLiteral(".tmp")), QStringList());
    }

    void saveThroughALinkReplacesItsTarget() {
        const QString real = path(QStringLiteral("real.pat"));
        const QString link = path(QStringLiteral("link.pat"));
        QVERIFY(writeBytes(real, repeat("0\r\n", 64)));
        QFile::remove(link);
        QVERIFY(QFile::link(real, link));
        const SaveResult r = savePatternFile(str(link), rockCells());
        QVERIFY2(r.ok, r.error.c_str());
        QVERIFY(QFileInfo(link).isSymLink());
        QCOMPARE(readBytes(real), patternBytes(rockCells()));

        // A link to a file not made yet, through a second, relative link: the file is made
        // where the chain ends and both links stay.
        const QString later = path(QStringLiteral("later.pat"));
        const QString first = path(QStringLiteral("first link.pat"));
        const QString second = path(QStringLiteral("second link.pat"));
        for (const QString& f : {later, first, second})
            QFile::remove(f);
        QVERIFY(::symlink("later.pat", second.toLocal8Bit().constData()) == 0);
        QVERIFY(::symlink(second.toLocal8Bit().constData(), first.toLocal8Bit().constData()) == 0);
        const SaveResult dangling = savePatternFile(str(first), rockCells());
        QVERIFY2(dangling.ok, dangling.error.c_str());
        QVERIFY(QFileInfo(first).isSymLink() && QFileInfo(second).isSymLink());
        QCOMPARE(readBytes(later), patternBytes(rockCells()));

        // A link to itself is refused with the system's word for it.
        const QString loop = path(QStringLiteral("loop.pat"));
        QFile::remove(loop);
        QVERIFY(::symlink("loop.pat", loop.toLocal8Bit().constData()) == 0);
        const SaveResult looped = savePatternFile(str(loop), rockCells());
        QVERIFY(!looped.ok);
        QCOMPARE(QString::fromStdString(looped.error),
                 "Cannot save \"" + loop + "\": too many levels of symbolic links.");
        QVERIFY(QFileInfo(loop).isSymLink());
    }

    void saveRefusesWhatIsNoFile() {
        const QString folder = folderFor(QStringLiteral("target is a folder.pat"));
        SaveResult r = savePatternFile(str(folder), rockCells());
        QVERIFY(!r.ok);
        QCOMPARE(QString::fromStdString(r.error),
                 "Cannot save \"" + folder + "\": it is a folder.");
        QVERIFY(QFileInfo(folder).isDir());

        const QString fifo = path(QStringLiteral("save-pipe.pat"));
        ::unlink(fifo.toLocal8Bit().constData());
        QVERIFY(::mkfifo(fifo.toLocal8Bit().constData(), 0644) == 0);
        {
            Watchdog watchdog(10);
            r = savePatternFile(str(fifo), rockCells());
        }
        QVERIFY(!r.ok);
        QVERIFY(r.error.find("it is a pipe") != std::string::npos);
        struct stat st {};
        QVERIFY(::stat(fifo.toLocal8Bit().constData(), &st) == 0 && S_ISFIFO(st.st_mode));

        const QString nowhere = path(QStringLiteral("no such folder/beat.pat"));
        r = savePatternFile(str(nowhere), rockCells());
        QVERIFY(!r.ok);
        QCOMPARE(QString::fromStdString(r.error),
                 "Cannot save \"" + nowhere + "\": there is no folder \"" +
                     path(QStringLiteral("no such folder")) + "\".");
    }

    void saveInAReadOnlyFolderKeepsTheOldFile() {
        const QString folder = folderFor(QStringLiteral("read-only"));
        const QString file = folder + QStringLiteral("/beat.pat");
        const QByteArray old = patternBytes(rockCells());
        QVERIFY(writeBytes(file, old));
        // The file itself may be written by the saving user; only the folder may not.
        if (geteuid() == 0)
            QVERIFY(::chown(file.toLocal8Bit().constData(), 65534, 65534) == 0);
        QVERIFY(::chmod(folder.toLocal8Bit().constData(), 0555) == 0);

        const HelperRun run = runHelper({"save", file, "user", kNobody});
        QVERIFY(::chmod(folder.toLocal8Bit().constData(), 0755) == 0);
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.out.trimmed(), "Cannot save \"" + file +
                                        "\": permission denied in the folder \"" + folder +
                                        "\". The file that was there is unchanged.");
        QCOMPARE(readBytes(file), old);
        QCOMPARE(entries(folder), QStringList{QStringLiteral("beat.pat")});
    }

    void saveInAStickyFolderTellsItIsTheFolder() {
        // A folder like /tmp: anyone may make files, only a file's owner may replace one.
        // The old file is writable by all, so only the rename can fail.
        if (geteuid() != 0)
            QSKIP("needs root to give the old file to another user than the saving one");
        const QString folder = folderFor(QStringLiteral("sticky"));
        const QString file = folder + QStringLiteral("/shared.pat");
        const QByteArray old = patternBytes(rockCells());
        QVERIFY(writeBytes(file, old));
        QVERIFY(::chmod(file.toLocal8Bit().constData(), 0666) == 0);
        QVERIFY(::chmod(folder.toLocal8Bit().constData(), 01777) == 0);

        const HelperRun run = runHelper({"save", file, "user", kNobody});
        QVERIFY(::chmod(folder.toLocal8Bit().constData(), 0755) == 0);
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.out.trimmed(), "Cannot save \"" + file +
                                        "\": operation not permitted in the folder \"" + folder +
                                        "\". The file that was there is unchanged.");
        QCOMPARE(readBytes(file), old);
        QCOMPARE(entries(folder), QStringList{QStringLiteral("shared.pat")});
    }

    void saveDoesNotReplaceAReadOnlyFile() {
        const QString folder = folderFor(QStringLiteral("open folder"));
        const QString file = folder + QStringLiteral("/locked.pat");
        const QByteArray old = patternBytes(rockCells());
        QVERIFY(writeBytes(file, old));
        if (geteuid() == 0)
            QVERIFY(::chown(file.toLocal8Bit().constData(), 65534, 65534) == 0);
        QVERIFY(::chmod(file.toLocal8Bit().constData(), 0444) == 0);
        QVERIFY(::chmod(folder.toLocal8Bit().constData(), 0777) == 0);

        const HelperRun run = runHelper({"save", file, "user", kNobody});
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.out.contains("Cannot save \"" + file + "\": permission denied."),
                 qPrintable(run.out));
        QCOMPARE(readBytes(file), old);
        QCOMPARE(entries(folder), QStringList{QStringLiteral("locked.pat")});
    }

    void saveOverTheFileSizeLimitKeepsTheOldFile() {
        // 100 bytes allowed: the 192-byte file is cut off part-way and the write fails.
        const QString folder = folderFor(QStringLiteral("limit"));
        const QString file = folder + QStringLiteral("/beat.pat");
        const QByteArray old = patternBytes(rockCells());
        QVERIFY(writeBytes(file, old));
        const HelperRun run = runHelper({"save", file, "fsize", "100", "ignore"});
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(
            run.out.trimmed(),
            "Cannot save \"" + file + "\": file too large. The file that was there is unchanged.");
        QCOMPARE(readBytes(file), old);
        QCOMPARE(entries(folder), QStringList{QStringLiteral("beat.pat")});
    }

    void saveKilledWhileWritingLeavesNothingBehind() {
        // The file size signal kills the saving process in the middle of its write.
        const QString folder = folderFor(QStringLiteral("killed"));
        const QString file = folder + QStringLiteral("/beat.pat");
        const QByteArray old = patternBytes(rockCells());
        QVERIFY(writeBytes(file, old));
        const HelperRun run = runHelper({"save", file, "fsize", "100", "default"});
        QVERIFY(run.crashed);
        QCOMPARE(readBytes(file), old);
        QCOMPARE(entries(folder), QStringList{QStringLiteral("beat.pat")});
    }
};

QTEST_GUILESS_MAIN(TestPatternFile)
#include "tst_patternfile.moc"
