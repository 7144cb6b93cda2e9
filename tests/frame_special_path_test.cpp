#include "frame/ZSpecialPath.h"
#include "support/TestEnvironment.h"

#include <QDir>

#include <gtest/gtest.h>

#include <cstdlib>

using SearchEngine::csidlFromName;
using SearchEngine::expandSpecialPath;

namespace {

QString env(const char* name)
{
    return QFile::decodeName(qgetenv(name));
}

} // namespace

TEST(CsidlNames, TableHasTheShellsValues)
{
    EXPECT_EQ(csidlFromName(QStringLiteral("CSIDL_DESKTOP")), 0);
    EXPECT_EQ(csidlFromName(QStringLiteral("CSIDL_PERSONAL")), 5);
    EXPECT_EQ(csidlFromName(QStringLiteral("CSIDL_MYDOCUMENTS")), 5);
    EXPECT_EQ(csidlFromName(QStringLiteral("CSIDL_MYMUSIC")), 13);
    EXPECT_EQ(csidlFromName(QStringLiteral("CSIDL_APPDATA")), 26);
    EXPECT_EQ(csidlFromName(QStringLiteral("CSIDL_LOCAL_APPDATA")), 28);
    EXPECT_EQ(csidlFromName(QStringLiteral("CSIDL_PROFILE")), 40);
    EXPECT_EQ(csidlFromName(QStringLiteral("CSIDL_CONNECTIONS")), 49);
    EXPECT_EQ(csidlFromName(QStringLiteral("CSIDL_COMMON_MUSIC")), 53);
    EXPECT_EQ(csidlFromName(QStringLiteral("CSIDL_COMPUTERSNEARME")), 61);
    EXPECT_EQ(csidlFromName(QStringLiteral("CSIDL_FLAG_CREATE")), 0x8000);
    EXPECT_EQ(csidlFromName(QStringLiteral("CSIDL_FLAG_PER_USER_INIT")), 0x800);
    EXPECT_EQ(csidlFromName(QStringLiteral("csidl_appdata")), -1);
    EXPECT_EQ(csidlFromName(QStringLiteral("CSIDL_FONTS ")), -1);
    EXPECT_EQ(csidlFromName(QString()), -1);
}

TEST(SpecialPath, ANameAloneIsTheFolderWithoutTrailingSeparator)
{
    EXPECT_EQ(expandSpecialPath(QStringLiteral("CSIDL_LOCAL_APPDATA")), env("XDG_DATA_HOME"));
    EXPECT_EQ(expandSpecialPath(QStringLiteral("CSIDL_APPDATA")), env("XDG_CONFIG_HOME"));
    EXPECT_EQ(expandSpecialPath(QStringLiteral("CSIDL_PROFILE")), env("HOME"));
}

TEST(SpecialPath, ANameAndMoreKeepsTheSeparator)
{
    EXPECT_EQ(expandSpecialPath(QStringLiteral("CSIDL_LOCAL_APPDATA\\Orvanta\\SearchService\\")),
              env("XDG_DATA_HOME") + QStringLiteral("\\Orvanta\\SearchService\\"));
}

TEST(SpecialPath, UnknownOrWronglyCasedNamesAndFailingFoldersStayUnchanged)
{
    for (const char* p : {"csidl_local_appdata\\x", "CSIDL_NOSUCH\\x", "CSIDL_NOSUCH", "CSIDL_", "CSIDL_WINDOWS\\x",
                          "CSIDL_FONTS", "CSIDL_DRIVES\\x", "CSIDL_FLAG_CREATE\\x"})
        EXPECT_EQ(expandSpecialPath(QLatin1String(p)), QLatin1String(p)) << p;
}

TEST(SpecialPath, DrivesAloneIsNotAskedFor)
{
    EXPECT_EQ(expandSpecialPath(QStringLiteral("CSIDL_DRIVES")), QStringLiteral("CSIDL_DRIVES"));
}

TEST(SpecialPath, EveryOccurrenceOfTheLeadingNameIsReplaced)
{
    const QString folder = env("XDG_CONFIG_HOME");
    EXPECT_EQ(expandSpecialPath(QStringLiteral("CSIDL_APPDATA\\a\\CSIDL_APPDATA\\b")),
              folder + QStringLiteral("\\a\\") + folder + QStringLiteral("\\b"));
}

TEST(SpecialPath, UnsetXdgFolderFallsBackUnderHome)
{
    const QByteArray saved = qgetenv("XDG_DATA_HOME");
    qunsetenv("XDG_DATA_HOME");
    EXPECT_EQ(expandSpecialPath(QStringLiteral("CSIDL_LOCAL_APPDATA\\x")), env("HOME") + QStringLiteral("/.local/share\\x"));
    qputenv("XDG_DATA_HOME", saved);
}

TEST(SpecialPath, FolderPathTooLongForTheShellBufferStaysUnchanged)
{
    const QByteArray saved = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QByteArray("/") + QByteArray(300, 'd'));
    EXPECT_EQ(expandSpecialPath(QStringLiteral("CSIDL_LOCAL_APPDATA\\x")), QStringLiteral("CSIDL_LOCAL_APPDATA\\x"));
    qputenv("XDG_DATA_HOME", saved);
}

TEST(SpecialPath, OneVariableIsExpandedEverywhereItOccurs)
{
    qputenv("TEMP", "/var/tmp/t");
    EXPECT_EQ(expandSpecialPath(QStringLiteral("%TEMP%\\x")), QStringLiteral("/var/tmp/t\\x"));
    EXPECT_EQ(expandSpecialPath(QStringLiteral("%TEMP%\\x\\%TEMP%")), QStringLiteral("/var/tmp/t\\x\\/var/tmp/t"));
    qputenv("SP_UTF8", "/h\xc3\xa9");
    EXPECT_EQ(expandSpecialPath(QStringLiteral("%SP_UTF8%/a")), QString::fromUtf8("/h\xc3\xa9/a"));
}

TEST(SpecialPath, OnlyTheFirstVariableIsLookedUp)
{
    qputenv("SP_X", "1");
    qputenv("SP_Y", "2");
    EXPECT_EQ(expandSpecialPath(QStringLiteral("a%SP_X%b%SP_Y%c")), QStringLiteral("a1b%SP_Y%c"));
}

TEST(SpecialPath, UnsetEmptyOrUnclosedVariablesStayUnchanged)
{
    qunsetenv("SP_UNSET");
    qputenv("SP_EMPTY", "");
    for (const char* p : {"%SP_UNSET%\\x", "%SP_EMPTY%\\x", "50%", "a%b", "%%", "", "plain\\path"})
        EXPECT_EQ(expandSpecialPath(QLatin1String(p)), QLatin1String(p)) << p;
}

TEST(SpecialPath, ACsidlPathGetsNoVariableExpansion)
{
    qputenv("SP_X", "1");
    EXPECT_EQ(expandSpecialPath(QStringLiteral("CSIDL_APPDATA\\%SP_X%")), env("XDG_CONFIG_HOME") + QStringLiteral("\\%SP_X%"));
    EXPECT_EQ(expandSpecialPath(QStringLiteral("CSIDL_NOSUCH\\%SP_X%")), QStringLiteral("CSIDL_NOSUCH\\%SP_X%"));
}
