// What this test program wrote to its log file (ServiceTestKit::logFilePath):
// a line is "[" thread id (padded) "|" time "|" severity "|" place "] " text CR LF.
#pragma once

#include "support/ZServiceTestKit.h"

#include <QFile>
#include <QStringList>

#include <sys/syscall.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace LogLines {

// The whole lines written after the first `from` bytes; all of them when the
// logger has emptied an oversized file since.
inline QList<QByteArray> linesSince(qint64 from)
{
    QFile f(ServiceTestKit::logFilePath());
    if (!f.open(QIODevice::ReadOnly) || !f.seek(f.size() < from ? 0 : from))
        return {};
    return f.readAll().split('\n');
}

// The text after the prefix, as written (a text may end in a space).
inline QString textOf(const QByteArray& line)
{
    return QString::fromUtf8(line.mid(line.indexOf("] ") + 2)).remove(QLatin1Char('\r'));
}

// The texts of those lines, without their prefixes.
inline QStringList textsSince(qint64 from)
{
    QStringList texts;
    for (const QByteArray& line : linesSince(from))
        if (line.indexOf("] ") >= 0)
            texts.append(textOf(line));
    return texts;
}

// The texts of the ERROR lines this thread wrote since then.
inline std::vector<std::string> threadErrorsSince(qint64 from)
{
    std::vector<std::string> out;
    const QByteArray thread = QByteArray::number(qlonglong(syscall(SYS_gettid)));
    for (const QByteArray& line : linesSince(from)) {
        const QList<QByteArray> fields = line.left(line.indexOf("] ")).mid(1).split('|');
        if (line.indexOf("] ") >= 0 && fields.size() >= 3 && fields[0].trimmed() == thread && fields[2].trimmed() == "ERROR")
            out.push_back(textOf(line).trimmed().toStdString());
    }
    return out;
}

} // namespace LogLines
