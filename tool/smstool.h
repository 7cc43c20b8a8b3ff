#pragma once

#include "senderverdict.h"
#include "submission.h"

#include <QStringList>

#include <cstdio>

// marlek-sms: hands the sender one message safely, and reads what the sender
// tells other programs (its status file and its ledger of fates). Qt Core
// only; the pieces the tests check on their own are declared here.
namespace SmsTool {

// Exit codes besides the commands' own: those of sysexits.h.
enum Exit { Usage = 64, DataError = 65, NoInput = 66, CannotCreate = 73, NoConfig = 78 };

// Shared with the HTTP front (common/).
using SenderVerdict::describe;
using SenderVerdict::judge;
using SenderVerdict::lockHeld;
using SenderVerdict::Verdict;
using Submission::checkMessage;
using Submission::SubmissionNames;
using Submission::temporaryName;

// Runs the command line (the program's name first); the exit code.
int run(const QStringList& arguments, std::FILE* in, std::FILE* out, std::FILE* err);

} // namespace SmsTool
