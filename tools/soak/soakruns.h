#pragma once

struct SoakOptions;

// One function per run; each prints its figures and closing lines and
// returns the exit code (0 every check held, 1 a check failed, 2 a set-up
// that failed).
int runPlain(const SoakOptions& options);
int runKill(const SoakOptions& options);
int runKillChild(const SoakOptions& options);
int runDrop(const SoakOptions& options);
int runSenders(const SoakOptions& options);
