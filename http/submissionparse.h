#pragma once

#include <QByteArray>
#include <QString>

// What a POST /v1/messages body asks for, read from JSON or from form data,
// and checked as marlek-sms send checks a message. No I/O: the fuzz target
// runs it alone.
namespace HttpSubmission {

struct Request
{
    QString to;
    QString from;
    QString text;
    QByteArray kind = "normal"; // a --kind word
};

struct Refusal
{
    int status = 0; // 0: none; 400 malformed, 415 other type, 422 a field fails
    QString detail;
    QByteArray field; // the field that fails, for 422
};

enum class BodyType { Json, Form, Other };
// From a Content-Type header's value, parameters and case ignored.
BodyType bodyType(const QByteArray& contentType);

// Reads and checks the body; refusal->status stays 0 when it passes.
Request parse(BodyType type, const QByteArray& body, Refusal* refusal);

// The fields' fingerprint, for the idempotency check: equal exactly when
// the requests ask for the same message.
QByteArray fingerprint(const Request& request);

// Whether an Idempotency-Key header's value is one: 1 to 255 visible ASCII
// characters.
bool isIdempotencyKey(const QByteArray& key);

} // namespace HttpSubmission
