// The reader over many generated and mutated inputs, from fixed seeds so a failure repeats:
// it must never crash or hang, must agree with a plain reference reading, must not depend on
// how the input is split, and may only ever write 0, 1 or 2 into cells 0..63. A share of
// the inputs also goes through real files and the whole load.

#include <QTemporaryDir>
#include <QTest>

#include <random>

#include "filestestsupport.h"
#include "readerchecks.h"

namespace {
// Pieces that make up pattern files and the ways they go wrong.
// clang-format off
const std::vector<std::string> kTokens = {
    "0", "1", "2", "3", "-", "+", " ", "  ", ",", "\r", "\n", "\r\n", "\r\n",
    "0\r\n", "1\r\n", "2\r\n", "01", "-0", "+1", "32767", "32768", "-32768", "-32769",
    "65537", "99999999999999999999", "x", "1x", "\t", "\f", "\v", ".", "1.0", "0x1",
    "\xef\xbb\xbf", "\xc3\xa9", "\xff",
    // Bytes that make an input binary, and the end-of-file mark; kept last.
    std::string(1, '\0'), "\x1b", "\x7f", "\x1a", "\x01"};
// clang-format on
constexpr std::size_t kBinaryTokens = 5;

// Three inputs in four are made without the binary tokens.
std::string generated(std::mt19937& gen) {
    std::string s;
    const std::size_t choices = gen() % 4 == 0 ? kTokens.size() : kTokens.size() - kBinaryTokens;
    const int count = int(gen() % 400);
    for (int i = 0; i < count; ++i)
        s += kTokens[gen() % choices];
    return s;
}

std::string validFile(std::mt19937& gen) {
    CellStates cells{};
    for (auto& c : cells)
        c = int16_t(gen() % 3);
    std::string s = formatPatternFile(cells);
    switch (gen() % 4) {
        case 0:
            break;
        case 1:
            for (auto& c : s)
                if (c == '\r')
                    c = ',';
            break;
        case 2:
            s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
            break;
        case 3:
            for (auto& c : s)
                if (c == '\n')
                    c = ' ';
            break;
    }
    return s;
}

std::string mutated(std::string s, std::mt19937& gen) {
    const int edits = 1 + int(gen() % 8);
    for (int e = 0; e < edits; ++e) {
        const std::size_t at = s.empty() ? 0 : gen() % s.size();
        switch (gen() % 6) {
            case 0:
                if (!s.empty())
                    s[at] = char(gen() % 256);
                break;
            case 1:
                s.insert(at, kTokens[gen() % kTokens.size()]);
                break;
            case 2:
                s.erase(at, gen() % 8);
                break;
            case 3:
                s.insert(at, s.substr(at, gen() % 40));
                break;
            case 4:
                s += s.substr(at, gen() % 200);
                break;
            case 5:
                if (!s.empty())
                    s[at] = "\r\n ,"[gen() % 4];
                break;
        }
    }
    return s;
}

std::string randomBytes(std::mt19937& gen) {
    std::string s(gen() % 500, '\0');
    const bool textOnly = gen() % 2;
    for (auto& c : s)
        c = textOnly ? char(0x20 + gen() % 0x5f) : char(gen() % 256);
    return s;
}

QByteArray hex(const std::string& s) {
    return QByteArray::fromStdString(s).left(400).toHex(' ');
}
}  // namespace

class TestPatternReaderRandom : public QObject {
    Q_OBJECT
private slots:
    void manyInputs_data() {
        QTest::addColumn<int>("kind");
        QTest::addColumn<unsigned>("seed");
        QTest::newRow("generated from tokens") << 0 << 1u;
        QTest::newRow("valid files, mutated") << 1 << 2u;
        QTest::newRow("random bytes") << 2 << 3u;
    }

    void manyInputs() {
        QFETCH(int, kind);
        QFETCH(unsigned, seed);
        std::mt19937 gen(seed);
        int binary = 0, full = 0;
        for (int n = 0; n < 20000; ++n) {
            const std::string input = kind == 0   ? generated(gen)
                                      : kind == 1 ? mutated(validFile(gen), gen)
                                                  : randomBytes(gen);
            const std::string fault = checkReader(input, unsigned(gen()));
            QVERIFY2(fault.empty(),
                     qPrintable(QStringLiteral("input %1 (seed %2): %3\n%4")
                                    .arg(n)
                                    .arg(seed)
                                    .arg(QString::fromStdString(fault), hex(input))));
            PatternFileReader r;
            r.feed(input.data(), input.size());
            binary += r.binary();
            full += r.valueCount() == kCells;
        }
        // The inputs reach both ends: binary ones and (but for random bytes) ones with all
        // 64 values.
        QVERIFY2(binary > 100 && (kind == 2 || full > 100),
                 qPrintable(QStringLiteral("binary %1, full %2").arg(binary).arg(full)));
    }

    void throughRealFiles() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString file = dir.filePath(QStringLiteral("random.pat"));
        std::mt19937 gen(4);
        for (int n = 0; n < 500; ++n) {
            const std::string input = n % 2 ? mutated(validFile(gen), gen) : generated(gen);
            QVERIFY(writeBytes(file, QByteArray::fromStdString(input)));
            PatternFileReader expected;
            expected.feed(input.data(), input.size());
            expected.finish();

            SpyPattern grid;
            for (int i = 0; i < kCells; ++i)
                grid.cells[i] = int16_t(i % 3);
            const CellStates before = grid.cells;
            const LoadResult r = loadPatternFile(str(file), grid);
            QCOMPARE(r.applied, !expected.binary());
            for (const auto& w : grid.writes) {
                QVERIFY(w.index >= 0 && w.index < kCells);
                QVERIFY(w.state >= 0 && w.state <= 2);
            }
            for (int i = 0; i < kCells; ++i) {
                const int16_t s = expected.states()[i];
                QCOMPARE(grid.cells[i],
                         expected.binary() || s == PatternFileReader::kKeep ? before[i] : s);
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestPatternReaderRandom)
#include "tst_patternreader_random.moc"
