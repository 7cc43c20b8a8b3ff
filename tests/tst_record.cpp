#include "record.h"

#include <QTest>

using namespace GatewayRecord;

class TestRecord : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void loginRecordLayout();
    void slotsFillAndCut();
    void readsReplies();
    void shortForm();
};

void TestRecord::loginRecordLayout()
{
    const QByteArray key = "ABCDEFGHIJKLMNOP";
    const QByteArray r = buildLoginRecord({ "ab", "", key });
    QCOMPARE(r.size(), 396);
    QCOMPARE(r.left(2), QByteArray("ab"));
    QCOMPARE(r.mid(2, 18), QByteArray(18, '\0'));
    QCOMPARE(r.mid(20, 16), key);
    QCOMPARE(r.at(36), 'P');
    QCOMPARE(r.mid(37), QByteArray(396 - 37, '\0'));
}

void TestRecord::slotsFillAndCut()
{
    // A 10-character name fills its slot; the password still starts at 10.
    const QByteArray name = "0123456789";
    const QByteArray login = buildLoginRecord({ name, "pw", "K" });
    QCOMPARE(login.left(10), name);
    QCOMPARE(login.mid(10, 3), QByteArray("pw\0", 3));
    const QByteArray msg
        = buildMessageRecord({ "+391234567890123", "SENDER-FIFTEEN!", QByteArray(161, 'x') }, 'N', { name, "pw", "K" });
    QCOMPARE(msg.size(), 396);
    QCOMPARE(msg.left(10), name);
    QCOMPARE(msg.mid(10, 3), QByteArray("pw\0", 3));
    QCOMPARE(msg.at(20), 'K');
    QCOMPARE(msg.at(21), '\0');
    QCOMPARE(msg.at(36), 'N');
    QCOMPARE(msg.mid(37, 15), QByteArray("+39123456789012")); // cut to 15
    QCOMPARE(msg.mid(52, 15), QByteArray("SENDER-FIFTEEN!")); // exact fit, no zero
    QCOMPARE(msg.mid(67, 160), QByteArray(160, 'x'));
    QCOMPARE(msg.mid(227), QByteArray(396 - 227, '\0'));
    // Bytes above 127 pass unchanged.
    const QByteArray high = buildMessageRecord({ "1", "2", "\xe9\xff\x80" }, 'F', {});
    QCOMPARE(high.mid(67, 4), QByteArray("\xe9\xff\x80\0", 4));
}

void TestRecord::readsReplies()
{
    QByteArray reply(396, '\0');
    reply.replace(227, 8, "00000012");
    reply[235] = '0';
    reply.replace(236, 11, "Hello\r\nWorld");
    Reply r = readReply(reply);
    QVERIFY(r.success());
    QCOMPARE(r.counter, QByteArray("00000012"));
    QCOMPARE(r.info, QByteArray("Hello\r\nWorld"));

    reply[230] = '\0';
    QCOMPARE(readReply(reply).counter, QByteArray("000"));

    // An info text filling its whole slot has no terminator and ends at 396.
    reply.replace(236, 160, QByteArray(160, 'i'));
    QCOMPARE(readReply(reply).info, QByteArray(160, 'i'));

    // A reply of which only 100 bytes arrived reads as failure, code zero.
    r = readReply(reply.left(100));
    QVERIFY(!r.success());
    QCOMPARE(r.resultCode, '\0');
    QCOMPARE(r.counter, QByteArray());

    reply[235] = '9';
    QCOMPARE(readReply(reply).resultCode, '9');
    QVERIFY(!readReply(reply).success());
}

void TestRecord::shortForm()
{
    const QByteArray r = buildLoginRecord({ "user", "pass", "1234567890123456" }, ShortSize);
    QCOMPARE(r.size(), 236);
    QCOMPARE(r, buildLoginRecord({ "user", "pass", "1234567890123456" }).left(236));
    QByteArray reply(236, '\0');
    reply.replace(227, 8, "00000042");
    reply[235] = '0';
    const Reply rr = readReply(reply, ShortSize);
    QVERIFY(rr.success());
    QCOMPARE(rr.counter, QByteArray("00000042"));
    QVERIFY(rr.info.isEmpty());
}

QTEST_GUILESS_MAIN(TestRecord)
#include "tst_record.moc"
