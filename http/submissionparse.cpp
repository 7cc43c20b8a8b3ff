#include "submissionparse.h"

#include "messagekind.h"
#include "submission.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QList>
#include <QStringDecoder>

namespace HttpSubmission {

namespace {

constexpr const char* Fields[] = { "to", "from", "text", "kind" };

bool isField(const QByteArray& name)
{
    for (const char* f : Fields) {
        if (name == f)
            return true;
    }
    return false;
}

void refuse(Refusal* refusal, int status, const QString& detail, const QByteArray& field = {})
{
    refusal->status = status;
    refusal->detail = detail;
    refusal->field = field;
}

// Strict UTF-8: a form field that is not, is malformed.
std::optional<QString> utf8(const QByteArray& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

} // namespace

BodyType bodyType(const QByteArray& contentType)
{
    const QByteArray type
        = contentType.left(contentType.indexOf(';') < 0 ? contentType.size() : contentType.indexOf(';'))
              .trimmed()
              .toLower();
    if (type == "application/json")
        return BodyType::Json;
    if (type == "application/x-www-form-urlencoded")
        return BodyType::Form;
    return BodyType::Other;
}

Request parse(BodyType type, const QByteArray& body, Refusal* refusal)
{
    *refusal = {};
    Request request;
    bool seen[4] = {};
    auto set = [&](const QByteArray& name, const QString& value) {
        for (int i = 0; i < 4; ++i) {
            if (name == Fields[i]) {
                seen[i] = true;
                QString* target[] = { &request.to, &request.from, &request.text, nullptr };
                if (target[i])
                    *target[i] = value;
                else
                    request.kind = value.toLatin1();
                if (i == 3 && QString::fromLatin1(request.kind) != value)
                    request.kind = "?";
            }
        }
    };
    switch (type) {
    case BodyType::Other:
        refuse(refusal, 415, QStringLiteral("send application/json or application/x-www-form-urlencoded"));
        return request;
    case BodyType::Json: {
        QJsonParseError error {};
        const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject()) {
            refuse(refusal, 400,
                doc.isNull()
                    ? QStringLiteral("malformed JSON: %1 at byte %2").arg(error.errorString()).arg(error.offset)
                    : QStringLiteral("the body is no JSON object"));
            return request;
        }
        const QJsonObject object = doc.object();
        for (auto it = object.begin(); it != object.end(); ++it) {
            const QByteArray name = it.key().toUtf8();
            if (!isField(name)) {
                refuse(refusal, 422, QStringLiteral("unknown field \"%1\"").arg(it.key()), name);
                return request;
            }
            if (!it.value().isString()) {
                refuse(refusal, 422, QStringLiteral("%1: give a string").arg(it.key()), name);
                return request;
            }
            set(name, it.value().toString());
        }
        break;
    }
    case BodyType::Form: {
        if (!body.isEmpty()) {
            for (const QByteArray& pair : body.split('&')) {
                const qsizetype eq = pair.indexOf('=');
                QByteArray rawName = eq < 0 ? pair : pair.left(eq);
                QByteArray rawValue = eq < 0 ? QByteArray() : pair.mid(eq + 1);
                rawName.replace('+', ' ');
                rawValue.replace('+', ' ');
                const std::optional<QString> name = utf8(QByteArray::fromPercentEncoding(rawName));
                const std::optional<QString> value = utf8(QByteArray::fromPercentEncoding(rawValue));
                if (!name || !value || pair.isEmpty() || eq < 0) {
                    refuse(refusal, 400, QStringLiteral("malformed form data: name=value pairs in UTF-8, joined by &"));
                    return request;
                }
                const QByteArray key = name->toUtf8();
                if (!isField(key)) {
                    refuse(refusal, 422, QStringLiteral("unknown field \"%1\"").arg(*name), key);
                    return request;
                }
                for (int i = 0; i < 4; ++i) {
                    if (key == Fields[i] && seen[i]) {
                        refuse(refusal, 400, QStringLiteral("malformed form data: the field %1 twice").arg(*name));
                        return request;
                    }
                }
                set(key, *value);
            }
        }
        break;
    }
    }
    for (int i = 0; i < 3; ++i) {
        if (!seen[i]) {
            refuse(refusal, 422, QStringLiteral("%1: missing").arg(QLatin1String(Fields[i])), Fields[i]);
            return request;
        }
    }
    if (!MessageKinds::byWord(request.kind)) {
        refuse(refusal, 422, QStringLiteral("kind: none of %1").arg(Submission::kindWords()), "kind");
        return request;
    }
    if (QString detail = Submission::checkMessage(request.to, request.from, request.text); !detail.isEmpty()) {
        // The command's words, without its options' dashes.
        if (detail.startsWith(u"--"))
            detail.remove(0, 2);
        const QByteArray field = detail.left(detail.indexOf(u':')).toLatin1();
        refuse(refusal, 422, detail, isField(field) ? field : QByteArray());
    }
    return request;
}

QByteArray fingerprint(const Request& request)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (const QString& field : { request.to, request.from, request.text }) {
        const QByteArray bytes = field.toUtf8();
        hash.addData(QByteArray::number(bytes.size()) + ':');
        hash.addData(bytes);
    }
    hash.addData(request.kind);
    return hash.result().toHex();
}

bool isIdempotencyKey(const QByteArray& key)
{
    if (key.isEmpty() || key.size() > 255)
        return false;
    for (const char c : key) {
        if (c < 0x21 || c > 0x7e)
            return false;
    }
    return true;
}

} // namespace HttpSubmission
