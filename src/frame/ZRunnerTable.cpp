#include "frame/ZRunnerTable.h"

namespace SearchEngine {

RunnerTable& runnerTable()
{
    static RunnerTable table;
    return table;
}

void registerRunner(const char* name, int (*fn)(int, char**))
{
    runnerTable()[QString(name).toLower()] = Runner(fn);
}

const Runner* findRunner(const QString& name)
{
    const RunnerTable& table = runnerTable();
    const auto it = table.find(name.toLower());
    return it == table.end() ? nullptr : &it->second;
}

} // namespace SearchEngine
