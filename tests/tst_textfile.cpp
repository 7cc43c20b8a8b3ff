#include "intparse.h"
#include "paths.h"
#include "smserror.h"
#include "textfile.h"
#include "timestamp.h"

#include "testsupport.h"
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using Lines = QList<QByteArray>;

class TestTextFile : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void splitLines_data();
    void splitLines();
    void joinLines();
    void fileRoundTrip();
    void fileErrors();
    void parseInteger_data();
    void parseInteger();
    void invalidIntegers_data();
    void invalidIntegers();
    void timeStamps();
    void joinDir();
};

void TestTextFile::splitLines_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<Lines>("lines");

    QTest::newRow("empty") << QByteArray() << Lines {};
    QTest::newRow("crlf") << QByteArray("a\r\nb\r\n") << Lines { "a", "b" };
    QTest::newRow("lone cr") << QByteArray("a\rb\r") << Lines { "a", "b" };
    QTest::newRow("lone lf") << QByteArray("a\nb\n") << Lines { "a", "b" };
    QTest::newRow("lf cr is two ends") << QByteArray("a\n\rb") << Lines { "a", "", "b" };
    QTest::newRow("cr cr lf") << QByteArray("a\r\r\nb") << Lines { "a", "", "b" };
    QTest::newRow("mixed") << QByteArray("1\r\n2\r3\n4") << Lines { "1", "2", "3", "4" };
    QTest::newRow("last line without break") << QByteArray("a\r\nlast") << Lines { "a", "last" };
    QTest::newRow("only a break") << QByteArray("\r\n") << Lines { "" };
    QTest::newRow("empty lines kept") << QByteArray("\r\n\r\nx\r\n\r\n") << Lines { "", "", "x", "" };
    QTest::newRow("nul ends text") << QByteArray("a\r\nb\0c\r\nd\r\n", 11) << Lines { "a", "b" };
    QTest::newRow("nul right after break") << QByteArray("a\r\n\0b", 5) << Lines { "a" };
    QTest::newRow("nul first") << QByteArray("\0abc", 4) << Lines {};
    QTest::newRow("cr before nul") << QByteArray("a\r\0\nb", 5) << Lines { "a" };
    QTest::newRow("bytes above 127") << QByteArray("\xe9t\xe9\r\n\x80\xff") << Lines { "\xe9t\xe9", "\x80\xff" };
    QTest::newRow("blanks kept") << QByteArray("  a \t\r\n b ") << Lines { "  a \t", " b " };
}

void TestTextFile::splitLines()
{
    QFETCH(QByteArray, text);
    QFETCH(Lines, lines);
    QCOMPARE(TextFile::splitLines(text), lines);
}

void TestTextFile::joinLines()
{
    QCOMPARE(TextFile::joinLines({}), QByteArray());
    QCOMPARE(TextFile::joinLines({ "" }), QByteArray("\r\n"));
    QCOMPARE(TextFile::joinLines({ "a", "", "\xe9\xff" }), QByteArray("a\r\n\r\n\xe9\xff\r\n"));
}

void TestTextFile::fileRoundTrip()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QByteArray path = QFile::encodeName(tmp.filePath(QStringLiteral("f.txt")));

    const Lines lines { "+391234567", "", "  text with blanks  ", "\xe8\xe9\x80\xff", "end" };
    TextFile::writeLines(path, lines);
    QCOMPARE(readRaw(QString::fromLocal8Bit(path)),
        QByteArray("+391234567\r\n\r\n  text with blanks  \r\n"
                   "\xe8\xe9\x80\xff\r\nend\r\n"));
    QCOMPARE(TextFile::readLines(path), lines);

    // Writing anew replaces a longer file completely.
    TextFile::writeLines(path, { "x" });
    QCOMPARE(readRaw(QString::fromLocal8Bit(path)), QByteArray("x\r\n"));
    QCOMPARE(TextFile::readLines(path), Lines { "x" });

    // No lines give an empty file, and an empty file has no lines.
    TextFile::writeLines(path, {});
    QCOMPARE(QFileInfo(QString::fromLocal8Bit(path)).size(), 0);
    QCOMPARE(TextFile::readLines(path), Lines {});

    // A file written by someone else with lone LFs and no final break.
    QFile other(tmp.filePath(QStringLiteral("other.txt")));
    QVERIFY(other.open(QIODevice::WriteOnly));
    other.write("one\ntwo\rthree");
    other.close();
    QCOMPARE(TextFile::readLines(QFile::encodeName(other.fileName())), (Lines { "one", "two", "three" }));
}

void TestTextFile::fileErrors()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QByteArray dir = QFile::encodeName(tmp.path());

    const QByteArray missing = dir + "/missing.txt";
    QCOMPARE(errorOf([&] { TextFile::readLines(missing); }),
        QStringLiteral("Cannot open file ") + QString::fromLocal8Bit(missing));
    // A directory is not a text file.
    QCOMPARE(
        errorOf([&] { TextFile::readLines(dir); }), QStringLiteral("Cannot open file ") + QString::fromLocal8Bit(dir));

    const QByteArray nowhere = dir + "/no/such/dir/f.txt";
    QCOMPARE(errorOf([&] { TextFile::writeLines(nowhere, { "a" }); }),
        QStringLiteral("Cannot create file ") + QString::fromLocal8Bit(nowhere));
    QCOMPARE(errorOf([&] { TextFile::writeLines(dir, { "a" }); }),
        QStringLiteral("Cannot create file ") + QString::fromLocal8Bit(dir));
    QVERIFY(QFileInfo(tmp.path()).isDir());
}

void TestTextFile::parseInteger_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("value");

    QTest::newRow("plain") << QByteArray("1000") << 1000;
    QTest::newRow("zero") << QByteArray("0") << 0;
    QTest::newRow("leading zeros") << QByteArray("007") << 7;
    QTest::newRow("leading blanks") << QByteArray("   42") << 42;
    QTest::newRow("plus") << QByteArray("+5") << 5;
    QTest::newRow("minus") << QByteArray("-5") << -5;
    QTest::newRow("blanks then sign") << QByteArray("  -12") << -12;
    QTest::newRow("dollar hex") << QByteArray("$1F") << 31;
    QTest::newRow("0x hex") << QByteArray("0x1f") << 31;
    QTest::newRow("0X hex") << QByteArray("0XfF") << 255;
    QTest::newRow("negative hex") << QByteArray("-$10") << -16;
    QTest::newRow("int max") << QByteArray("2147483647") << 2147483647;
    QTest::newRow("int min") << QByteArray("-2147483648") << int(-2147483647 - 1);
}

void TestTextFile::parseInteger()
{
    QFETCH(QByteArray, text);
    QFETCH(int, value);
    QCOMPARE(::parseInteger(text), value);
}

void TestTextFile::invalidIntegers_data()
{
    QTest::addColumn<QByteArray>("text");

    QTest::newRow("word") << QByteArray("abc");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("blanks only") << QByteArray("   ");
    QTest::newRow("trailing junk") << QByteArray("12a");
    QTest::newRow("trailing blank") << QByteArray("12 ");
    QTest::newRow("inner blank") << QByteArray("1 2");
    QTest::newRow("sign only") << QByteArray("-");
    QTest::newRow("two signs") << QByteArray("--1");
    QTest::newRow("blank after sign") << QByteArray("- 1");
    QTest::newRow("dollar only") << QByteArray("$");
    QTest::newRow("0x only") << QByteArray("0x");
    QTest::newRow("hex digit in decimal") << QByteArray("1f");
    QTest::newRow("decimal point") << QByteArray("1.5");
    QTest::newRow("above int max") << QByteArray("2147483648");
    QTest::newRow("below int min") << QByteArray("-2147483649");
    QTest::newRow("far too long") << QByteArray("99999999999999999999999999");
    QTest::newRow("hex too large") << QByteArray("$1FFFFFFFF");
    QTest::newRow("byte above 127") << QByteArray("1\xe9");
}

void TestTextFile::invalidIntegers()
{
    QFETCH(QByteArray, text);
    QCOMPARE(errorOf([&] { ::parseInteger(text); }),
        QStringLiteral("'") + QString::fromLatin1(text) + QStringLiteral("' is not a valid integer value"));
}

void TestTextFile::timeStamps()
{
    QCOMPARE(timeStamp(QDateTime(QDate(2007, 3, 5), QTime(9, 4, 7, 89))), QByteArray("2007_3_5_9_4_7_89"));
    QCOMPARE(timeStamp(QDateTime(QDate(2010, 12, 31), QTime(0, 0, 0, 0))), QByteArray("2010_12_31_0_0_0_0"));
    QCOMPARE(timeStamp(QDateTime(QDate(1999, 10, 20), QTime(23, 59, 59, 999))), QByteArray("1999_10_20_23_59_59_999"));
}

void TestTextFile::joinDir()
{
    QCOMPARE(::joinDir("/out/", "a.sms"), QByteArray("/out/a.sms"));
    // A directory typed without its separator still holds the file.
    QCOMPARE(::joinDir("/out", "a.sms"), QByteArray("/out/a.sms"));
    QCOMPARE(::joinDir("", "a.sms"), QByteArray("a.sms"));
    QCOMPARE(::joinDir("rel/dir/", "x"), QByteArray("rel/dir/x"));
    QCOMPARE(::joinDir("/", "x"), QByteArray("/x"));
    QCOMPARE(::joinDir("/d\xe9/", "\xe9.sms"), QByteArray("/d\xe9/\xe9.sms"));
}

QTEST_GUILESS_MAIN(TestTextFile)
#include "tst_textfile.moc"
