// What this test program wrote to its log file (ServiceTestKit::logFilePath):
// a line is "[" thread id (padded) "|" time "|" severity "|" place "] " text CR LF.
#pragma once

#include "support/ZServiceTestKit.h"

#include <QFile>

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace LogLines {

// The texts, without their prefixes, of the lines written after the first
// `from` bytes (all of them when the logger has emptied an oversized file
// since), as written: a text may end in a space. With `threadErrors`, only
// the ERROR lines of this thread, trimmed.
inline std::vector<std::string> textsSince(qint64 from, bool threadErrors = false)
{
    QFile f(ServiceTestKit::logFilePath());
    if (!f.open(QIODevice::ReadOnly) || !f.seek(f.size() < from ? 0 : from))
        return {};
    const QByteArray thread = QByteArray::number(qlonglong(syscall(SYS_gettid)));
    std::vector<std::string> texts;
    for (const QByteArray& line : f.readAll().split('\n')) {
        const int end = line.indexOf("] ");
        const QList<QByteArray> fields = line.left(end).mid(1).split('|');
        const bool threadError = fields.size() >= 3 && fields[0].trimmed() == thread && fields[2].trimmed() == "ERROR";
        if (end >= 0 && (threadError || !threadErrors))
            texts.push_back(threadErrors ? line.mid(end + 2).trimmed().toStdString()
                                         : line.mid(end + 2).replace('\r', "").toStdString());
    }
    return texts;
}
inline std::vector<std::string> threadErrorsSince(qint64 from) { return textsSince(from, true); }

// Whether a line of exactly this text was written since then.
inline bool wrote(qint64 from, const std::string& text)
{
    const std::vector<std::string> texts = textsSince(from);
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

} // namespace LogLines
