#include "frame/ZSpecialPath.h"

#include <QFile>

#include <gtest/gtest.h>

using SearchEngine::expandSpecialPath;

namespace {

QString env(const char* name)
{
    return QFile::decodeName(qgetenv(name));
}

} // namespace

TEST(SpecialPath, LeadingCsidlNamesTheFirstVariableAndTheXdgFolderAreExpanded)
{
    qputenv("TEMP", "/var/tmp/t");
    qputenv("SP_UTF8", "/h\xc3\xa9");
    qputenv("SP_X", "1");
    qputenv("SP_Y", "2");
    qputenv("SP_EMPTY", "");
    qunsetenv("SP_UNSET");
    const QString data = env("XDG_DATA_HOME"), config = env("XDG_CONFIG_HOME");
    const std::pair<const char*, QString> cases[] = {
        // A name alone is the folder without a trailing separator; more keeps it.
        {"CSIDL_LOCAL_APPDATA", data},
        {"CSIDL_APPDATA", config},
        {"CSIDL_PROFILE", env("HOME")},
        {"CSIDL_LOCAL_APPDATA\\Orvanta\\SearchService\\", data + QStringLiteral("\\Orvanta\\SearchService\\")},
        // Every occurrence of the leading name is replaced, and no variable is expanded after it.
        {"CSIDL_APPDATA\\a\\CSIDL_APPDATA\\b", config + QStringLiteral("\\a\\") + config + QStringLiteral("\\b")},
        {"CSIDL_APPDATA\\%SP_X%", config + QStringLiteral("\\%SP_X%")},
        // One variable, everywhere it occurs; only the first is looked up.
        {"%TEMP%\\x\\%TEMP%", QStringLiteral("/var/tmp/t\\x\\/var/tmp/t")},
        {"%SP_UTF8%/a", QString::fromUtf8("/h\xc3\xa9/a")},
        {"a%SP_X%b%SP_Y%c", QStringLiteral("a1b%SP_Y%c")},
    };
    for (const auto& [path, expected] : cases)
        EXPECT_EQ(expandSpecialPath(QLatin1String(path)), expected) << path;

    // Unknown, wrongly cased or padded names, folders the shell fails or is not asked
    // for, and unset, empty or unclosed variables leave the path unchanged.
    for (const char* p : {"csidl_local_appdata\\x", "CSIDL_Local_AppData\\x", "CSIDL_APPDATA \\x", "CSIDL_NOSUCH\\x",
                          "CSIDL_NOSUCH", "CSIDL_", "CSIDL_WINDOWS\\x", "CSIDL_FONTS", "CSIDL_DRIVES\\x", "CSIDL_DRIVES",
                          "CSIDL_FLAG_CREATE\\x", "CSIDL_NOSUCH\\%SP_X%", "%SP_UNSET%\\x", "%SP_EMPTY%\\x", "50%", "a%b", "%%",
                          "", "plain\\path"})
        EXPECT_EQ(expandSpecialPath(QLatin1String(p)), QLatin1String(p)) << p;

    // The XDG folder loses trailing slashes, falls back under HOME and is not used when too long.
    const QByteArray saved = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", "/srv/data//");
    EXPECT_EQ(expandSpecialPath(QStringLiteral("CSIDL_LOCAL_APPDATA")), QStringLiteral("/srv/data"));
    qunsetenv("XDG_DATA_HOME");
    EXPECT_EQ(expandSpecialPath(QStringLiteral("CSIDL_LOCAL_APPDATA\\x")), env("HOME") + QStringLiteral("/.local/share\\x"));
    // Too long for the shell's buffer.
    qputenv("XDG_DATA_HOME", QByteArray("/") + QByteArray(300, 'd'));
    EXPECT_EQ(expandSpecialPath(QStringLiteral("CSIDL_LOCAL_APPDATA\\x")), QStringLiteral("CSIDL_LOCAL_APPDATA\\x"));
    qputenv("XDG_DATA_HOME", saved);
}
