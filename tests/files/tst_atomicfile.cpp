// Replacing a file atomically, on a real file system: modes, links, and saves that fail at
// every point where a save can fail, leaving the old file as it was and nothing behind.

#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "files/atomicfile.h"
#include "filestestsupport.h"

namespace {
const QByteArray kNew = repeat("new contents\r\n", 16);
}  // namespace

class TestAtomicFile : public QObject {
    Q_OBJECT

    TestFolder m_folder;
    QString path(const QString& name) const { return m_folder.path(name); }
    QString folderFor(const QString& name) const { return m_folder.folderFor(name); }
    static SaveResult save(const QString& file, const SaveOptions& options = {}) {
        return replaceFile(str(file), kNew.toStdString(), options);
    }

private slots:
    void initTestCase() { QVERIFY(m_folder.ready()); }

    void createsAFileWithTheUsualMode() {
        const QString file = path(QStringLiteral("new.pat"));
        QFile::remove(file);
        const SaveResult r = save(file);
        QVERIFY2(r.ok, r.error.c_str());
        QCOMPARE(readBytes(file), kNew);
        struct stat st {};
        QVERIFY(::stat(file.toLocal8Bit().constData(), &st) == 0);
        QCOMPARE(st.st_mode & 07777, mode_t(0644));  // 0666 less the umask 022
        QCOMPARE(entries(m_folder.root()).filter(QStringLiteral(".tmp")), QStringList());
    }

    void replacesAFileAndKeepsItsMode() {
        for (bool unnamed : {true, false}) {
            const QString file = path(QStringLiteral("old.pat"));
            QVERIFY(writeBytes(file, "some older content that is longer than a pattern file " +
                                         repeat("0\r\n", 100)));
            QVERIFY(::chmod(file.toLocal8Bit().constData(), 0640) == 0);
            SaveOptions options;
            options.unnamedTemporary = unnamed;
            const SaveResult r = save(file, options);
            QVERIFY2(r.ok, r.error.c_str());
            QCOMPARE(readBytes(file), kNew);
            struct stat st {};
            QVERIFY(::stat(file.toLocal8Bit().constData(), &st) == 0);
            QCOMPARE(st.st_mode & 07777, mode_t(0640));
        }
    }

    void replacesTheTargetOfALink() {
        const QString real = path(QStringLiteral("real.pat"));
        const QString link = path(QStringLiteral("link.pat"));
        QVERIFY(writeBytes(real, repeat("0\r\n", 64)));
        QFile::remove(link);
        QVERIFY(QFile::link(real, link));
        const SaveResult r = save(link);
        QVERIFY2(r.ok, r.error.c_str());
        QVERIFY(QFileInfo(link).isSymLink());
        QCOMPARE(readBytes(real), kNew);

        // A link to a file not made yet, through a second, relative link: the file is made
        // where the chain ends and both links stay.
        const QString later = path(QStringLiteral("later.pat"));
        const QString first = path(QStringLiteral("first link.pat"));
        const QString second = path(QStringLiteral("second link.pat"));
        for (const QString& f : {later, first, second})
            QFile::remove(f);
        QVERIFY(::symlink("later.pat", second.toLocal8Bit().constData()) == 0);
        QVERIFY(::symlink(second.toLocal8Bit().constData(), first.toLocal8Bit().constData()) == 0);
        const SaveResult dangling = save(first);
        QVERIFY2(dangling.ok, dangling.error.c_str());
        QVERIFY(QFileInfo(first).isSymLink() && QFileInfo(second).isSymLink());
        QCOMPARE(readBytes(later), kNew);

        // A link to itself is refused with the system's word for it.
        const QString loop = path(QStringLiteral("loop.pat"));
        QFile::remove(loop);
        QVERIFY(::symlink("loop.pat", loop.toLocal8Bit().constData()) == 0);
        const SaveResult looped = save(loop);
        QVERIFY(!looped.ok);
        QCOMPARE(QString::fromStdString(looped.error),
                 "Cannot save \"" + loop + "\": too many levels of symbolic links.");
        QVERIFY(QFileInfo(loop).isSymLink());
    }

    void failedWriteKeepsTheOldFile_data() {
        QTest::addColumn<bool>("unnamed");
        QTest::addColumn<int>("failAfter");  // bytes written before the disk is "full"
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("cause");
        QTest::newRow("unnamed, disk full part-way")
            << true << 100 << ENOSPC << "no space left on device";
        QTest::newRow("unnamed, I/O error at once") << true << 0 << EIO << "input/output error";
        QTest::newRow("named, disk full part-way")
            << false << 100 << ENOSPC << "no space left on device";
        QTest::newRow("named, quota at once") << false << 0 << EDQUOT << "disk quota exceeded";
    }

    void failedWriteKeepsTheOldFile() {
        QFETCH(bool, unnamed);
        QFETCH(int, failAfter);
        QFETCH(int, error);
        QFETCH(QString, cause);
        const QString folder = folderFor(QStringLiteral("full-%1-%2").arg(unnamed).arg(failAfter));
        const QString file = folder + QStringLiteral("/beat.pat");
        const QByteArray old = "an old pattern, kept byte for byte\r\n" + repeat("1\r\n", 64);
        QVERIFY(writeBytes(file, old));

        SaveOptions options;
        options.unnamedTemporary = unnamed;
        std::size_t written = 0;
        // Short writes of 64 bytes until the limit, then the failure.
        options.write = [&](int fd, const void* data, std::size_t size) -> ssize_t {
            if (written >= std::size_t(failAfter)) {
                errno = error;
                return -1;
            }
            const std::size_t n = std::min<std::size_t>({size, 64, failAfter - written});
            written += n;
            return ::write(fd, data, n);
        };
        const SaveResult r = save(file, options);
        QVERIFY(!r.ok);
        QCOMPARE(readBytes(file), old);
        QCOMPARE(entries(folder), QStringList{QStringLiteral("beat.pat")});
        QCOMPARE(QString::fromStdString(r.error), "Cannot save \"" + file + "\": " + cause +
                                                      ". The file that was there is unchanged.");

        // A new file that cannot be written leaves nothing at all.
        QVERIFY(QFile::remove(file));
        written = 0;
        const SaveResult fresh = save(file, options);
        QVERIFY(!fresh.ok);
        QCOMPARE(entries(folder), QStringList());
        QCOMPARE(QString::fromStdString(fresh.error),
                 "Cannot save \"" + file + "\": " + cause + ".");
    }

    void refusesWhatIsNoFile() {
        const QString folder = folderFor(QStringLiteral("target is a folder.pat"));
        SaveResult r = save(folder);
        QVERIFY(!r.ok);
        QCOMPARE(QString::fromStdString(r.error),
                 "Cannot save \"" + folder + "\": it is a folder.");
        QVERIFY(QFileInfo(folder).isDir());

        const QString fifo = path(QStringLiteral("save-pipe.pat"));
        ::unlink(fifo.toLocal8Bit().constData());
        QVERIFY(::mkfifo(fifo.toLocal8Bit().constData(), 0644) == 0);
        {
            Watchdog watchdog(10);
            r = save(fifo);
        }
        QVERIFY(!r.ok);
        QVERIFY(r.error.find("it is a pipe") != std::string::npos);
        struct stat st {};
        QVERIFY(::stat(fifo.toLocal8Bit().constData(), &st) == 0 && S_ISFIFO(st.st_mode));

        const QString nowhere = path(QStringLiteral("no such folder/beat.pat"));
        r = save(nowhere);
        QVERIFY(!r.ok);
        QCOMPARE(QString::fromStdString(r.error),
                 "Cannot save \"" + nowhere + "\": there is no folder \"" +
                     path(QStringLiteral("no such folder")) + "\".");
    }

    void aReadOnlyFolderKeepsTheOldFile() {
        const QString folder = folderFor(QStringLiteral("read-only"));
        const QString file = folder + QStringLiteral("/beat.pat");
        const QByteArray old = repeat("old contents\r\n", 8);
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

    void aStickyFolderIsNamedAsTheCause() {
        // A folder like /tmp: anyone may make files, only a file's owner may replace one.
        // The old file is writable by all, so only the rename can fail.
        if (geteuid() != 0)
            QSKIP("needs root to give the old file to another user than the saving one");
        const QString folder = folderFor(QStringLiteral("sticky"));
        const QString file = folder + QStringLiteral("/shared.pat");
        const QByteArray old = repeat("old contents\r\n", 8);
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

    void doesNotReplaceAReadOnlyFile() {
        const QString folder = folderFor(QStringLiteral("open folder"));
        const QString file = folder + QStringLiteral("/locked.pat");
        const QByteArray old = repeat("old contents\r\n", 8);
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

    void overTheFileSizeLimitKeepsTheOldFile() {
        // 100 bytes allowed: the 192-byte file is cut off part-way and the write fails.
        const QString folder = folderFor(QStringLiteral("limit"));
        const QString file = folder + QStringLiteral("/beat.pat");
        const QByteArray old = repeat("old contents\r\n", 8);
        QVERIFY(writeBytes(file, old));
        const HelperRun run = runHelper({"save", file, "fsize", "100", "ignore"});
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(
            run.out.trimmed(),
            "Cannot save \"" + file + "\": file too large. The file that was there is unchanged.");
        QCOMPARE(readBytes(file), old);
        QCOMPARE(entries(folder), QStringList{QStringLiteral("beat.pat")});
    }

    void killedWhileWritingLeavesNothingBehind() {
        // The file size signal kills the saving process in the middle of its write.
        const QString folder = folderFor(QStringLiteral("killed"));
        const QString file = folder + QStringLiteral("/beat.pat");
        const QByteArray old = repeat("old contents\r\n", 8);
        QVERIFY(writeBytes(file, old));
        const HelperRun run = runHelper({"save", file, "fsize", "100", "default"});
        QVERIFY(run.crashed);
        QCOMPARE(readBytes(file), old);
        QCOMPARE(entries(folder), QStringList{QStringLiteral("beat.pat")});
    }
};

QTEST_GUILESS_MAIN(TestAtomicFile)
#include "tst_atomicfile.moc"
