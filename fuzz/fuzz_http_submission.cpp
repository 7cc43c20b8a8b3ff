// The HTTP front's reading of outside input: a submission's body (JSON or
// form data) with any Content-Type, an Idempotency-Key, and a message ID
// from the path. What passes must be a message marlek-sms send would
// take; an ID that passes names no other folder.
#include "fuzzcheck.h"
#include "messagekind.h"
#include "submission.h"
#include "submissionparse.h"

#include <QByteArray>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray input(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    switch (data[0] % 4) {
    case 0:
    case 1: {
        // The first byte picks the body's type; the rest is the body.
        const auto type = data[0] % 4 == 0 ? HttpSubmission::BodyType::Json : HttpSubmission::BodyType::Form;
        HttpSubmission::Refusal refusal;
        const HttpSubmission::Request request = HttpSubmission::parse(type, input, &refusal);
        check(refusal.status == 0 || refusal.status == 400 || refusal.status == 422);
        check(refusal.status == 0 || !refusal.detail.isEmpty());
        if (refusal.status == 0) {
            check(Submission::checkMessage(request.to, request.from, request.text).isEmpty());
            check(MessageKinds::byWord(request.kind) != nullptr);
            const QByteArray file = Submission::messageFile(request.to, request.from, request.text);
            check(file.count('\n') == 3);
            check(HttpSubmission::fingerprint(request) == HttpSubmission::fingerprint(request));
        }
        break;
    }
    case 2: {
        // A Content-Type header, then the body under it.
        const qsizetype cut = input.indexOf('\n');
        const QByteArray contentType = cut < 0 ? input : input.left(cut);
        HttpSubmission::Refusal refusal;
        HttpSubmission::parse(
            HttpSubmission::bodyType(contentType), cut < 0 ? QByteArray() : input.mid(cut + 1), &refusal);
        check(HttpSubmission::bodyType(contentType) != HttpSubmission::BodyType::Other || refusal.status == 415);
        break;
    }
    default:
        if (Submission::isSubmissionName(input)) {
            check(!input.contains('/') && !input.contains('\0') && !input.startsWith('.'));
            check(MessageKinds::byExtension(input.mid(input.lastIndexOf('.'))) != nullptr);
        }
        if (HttpSubmission::isIdempotencyKey(input))
            check(input.size() <= 255 && !input.contains(' ') && !input.contains('\n'));
        break;
    }
    return 0;
}
