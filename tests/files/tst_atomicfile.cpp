// Replacing a file atomically, with the failures a test can put into it: no unnamed
// temporary files on the file system, a disk that fills up part-way. The old file stays as
// it was and nothing is left behind.

#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "files/atomicfile.h"
#include "filestestsupport.h"

namespace {
const QByteArray kNew(200, 'n');
const QByteArray kOld = "an old file, kept byte for byte\r\n" + QByteArray(300, 'o');
}  // namespace

class TestAtomicFile : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    QString folderFor(const QString& name) const {
        const QString f = m_dir.filePath(name);
        QDir().mkpath(f);
        return f;
    }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void replacesAFileAndKeepsItsMode() {
        for (bool unnamed : {true, false}) {
            const QString file = m_dir.filePath(QStringLiteral("old.pat"));
            QVERIFY(writeBytes(file, kOld));
            QVERIFY(::chmod(file.toLocal8Bit().constData(), 0640) == 0);
            SaveOptions options;
            options.unnamedTemporary = unnamed;
            const SaveResult r = replaceFile(str(file), kNew.toStdString(), options);
            QVERIFY2(r.ok, r.error.c_str());
            QCOMPARE(readBytes(file), kNew);
            struct stat st {};
            QVERIFY(::stat(file.toLocal8Bit().constData(), &st) == 0);
            QCOMPARE(st.st_mode & 07777, mode_t(0640));
        }
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
        QVERIFY(writeBytes(file, kOld));

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
        const SaveResult r = replaceFile(str(file), kNew.toStdString(), options);
        QVERIFY(!r.ok);
        QCOMPARE(readBytes(file), kOld);
        QCOMPARE(entries(folder), QStringList{QStringLiteral("beat.pat")});
        QCOMPARE(QString::fromStdString(r.error), "Cannot save \"" + file + "\": " + cause +
                                                      ". The file that was there is unchanged.");

        // A new file that cannot be written leaves nothing at all.
        QVERIFY(QFile::remove(file));
        written = 0;
        const SaveResult fresh = replaceFile(str(file), kNew.toStdString(), options);
        QVERIFY(!fresh.ok);
        QCOMPARE(entries(folder), QStringList());
        QCOMPARE(QString::fromStdString(fresh.error),
                 "Cannot save \"" + file + "\": " + cause + ".");
    }
};

QTEST_GUILESS_MAIN(TestAtomicFile)
#include "tst_atomicfile.moc"
