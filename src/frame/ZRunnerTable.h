// The runner table: the jobs the executable can do, by name. The first
// command-line argument names one, in any letter case.
#pragma once

#include <QString>

#include <functional>
#include <map>

namespace SearchEngine {

// int(argc, argv) with the process's whole argument vector.
using Runner = std::function<int(int, char**)>;
// Keyed by the lower-cased runner name.
using RunnerTable = std::map<QString, Runner>;

// The process-wide table, created on first use.
RunnerTable& runnerTable();
// Stores fn under the lower-cased name, replacing an earlier runner of that name.
void registerRunner(const char* name, int (*fn)(int, char**));
// The runner of a command-line name (compared lower-cased), or null.
const Runner* findRunner(const QString& name);

// Registers a runner from a static initialiser, before main runs.
struct ZRunnerRegistration {
    ZRunnerRegistration(const char* name, int (*fn)(int, char**)) { registerRunner(name, fn); }
};

} // namespace SearchEngine
