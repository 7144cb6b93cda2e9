#include "platform/windows.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <ctime>

namespace {

std::u16string wide(const QString& s)
{
    return s.toStdU16String();
}

QString recorderWindowsPath()
{
    // The plug-in's folder with the Windows file name: "<folder>\zdump.dll".
    return QFileInfo(QStringLiteral(ZDUMP_RECORDER_LIB)).absolutePath().replace(QLatin1Char('/'), QLatin1Char('\\'))
           + QStringLiteral("\\zdump.dll");
}

} // namespace

// ---- Modules ----

TEST(Modules, ExecutablePathAndTruncation)
{
    WCHAR buffer[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    const QString exe = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    ASSERT_GT(n, 0u);
    EXPECT_EQ(QString::fromUtf16(buffer, int(n)), exe);

    WCHAR small[5] = {u'x', u'x', u'x', u'x', u'x'};
    EXPECT_EQ(GetModuleFileNameW(nullptr, small, 5), 5u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(small[4], 0);
    EXPECT_EQ(QString::fromUtf16(small), exe.left(4));

    // The module of an address in this program is the program.
    HMODULE self = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   reinterpret_cast<LPCWSTR>(&recorderWindowsPath), &self));
    WCHAR own[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameW(self, own, MAX_PATH), 0u);
    EXPECT_EQ(QString::fromUtf16(own), exe);
}

TEST(Modules, WindowsLibraryNamesMapToSharedObjects)
{
    EXPECT_EQ(Platform::sharedLibraryPath(QStringLiteral("zdump.dll")), QStringLiteral("libzdump.so"));
    EXPECT_EQ(Platform::sharedLibraryPath(QStringLiteral("operation\\cas\\ztally.DLL")),
              QStringLiteral("operation/cas/libztally.so"));
    EXPECT_EQ(Platform::sharedLibraryPath(QStringLiteral("C:\\p\\x.dll")), QStringLiteral("C:/p/libx.so"));
    EXPECT_EQ(Platform::sharedLibraryPath(QStringLiteral("/opt/libq.so")), QStringLiteral("/opt/libq.so"));
}

TEST(Modules, LoadFindAndFree)
{
    const std::u16string path = wide(recorderWindowsPath());
    HMODULE m = LoadLibraryW(path.c_str());
    ASSERT_NE(m, nullptr);
    EXPECT_NE(GetProcAddress(m, "VyxOpenDumpMonitorEx2"), nullptr);
    EXPECT_EQ(GetProcAddress(m, "VyxOpenDumpMonitorEx"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
    EXPECT_EQ(GetModuleHandleW(path.c_str()), m);
    WCHAR file[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameW(m, file, MAX_PATH), 0u);
    EXPECT_EQ(QString::fromUtf16(file), QFileInfo(QStringLiteral(ZDUMP_RECORDER_LIB)).absoluteFilePath());
    EXPECT_TRUE(FreeLibrary(m));
}

TEST(Modules, MissingLibrariesFail)
{
    EXPECT_EQ(LoadLibraryW(u"no-such-library-here.dll"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(LoadLibraryW(u"/nonexistent\\zdump.dll"), nullptr);
    EXPECT_EQ(LoadLibraryW(u""), nullptr);
    EXPECT_EQ(GetModuleHandleW(u"never-loaded.dll"), nullptr);
    EXPECT_EQ(GetProcAddress(nullptr, "x"), nullptr);
}

// ---- Shell folders ----

TEST(ShellFolders, XdgFoldersStandForTheShellFolders)
{
    char path[MAX_PATH];
    ASSERT_EQ(SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path), S_OK);
    EXPECT_EQ(QString::fromUtf8(path), QFile::decodeName(qgetenv("XDG_DATA_HOME")));
    ASSERT_EQ(SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path), S_OK);
    EXPECT_EQ(QString::fromUtf8(path), QFile::decodeName(qgetenv("XDG_CONFIG_HOME")));
    ASSERT_EQ(SHGetFolderPathA(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, path), S_OK);
    EXPECT_EQ(QString::fromUtf8(path), QFile::decodeName(qgetenv("HOME")));
    EXPECT_TRUE(FAILED(SHGetFolderPathA(nullptr, 36, nullptr, SHGFP_TYPE_CURRENT, path)));
    EXPECT_TRUE(FAILED(SHGetFolderPathA(nullptr, 0, nullptr, SHGFP_TYPE_CURRENT, path)));
}

TEST(ShellFolders, TrailingSlashIsDroppedAndCreateMakesTheFolder)
{
    const QByteArray saved = qgetenv("XDG_DATA_HOME");
    const QString fresh = TestSupport::freshDir(QStringLiteral("shell")) + QStringLiteral("/made/here");
    qputenv("XDG_DATA_HOME", QFile::encodeName(fresh + QStringLiteral("//")));
    char path[MAX_PATH];
    ASSERT_EQ(SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, path), S_OK);
    EXPECT_EQ(QString::fromUtf8(path), fresh);
    EXPECT_TRUE(QFileInfo(fresh).isDir());
    qputenv("XDG_DATA_HOME", saved);
}

// ---- Path helpers ----

TEST(PathHelpers, RemoveFileSpec)
{
    auto removed = [](const char16_t* in) {
        WCHAR b[MAX_PATH] = {};
        std::u16string s(in);
        std::copy(s.begin(), s.end(), b);
        PathRemoveFileSpecW(b);
        return std::u16string(b);
    };
    EXPECT_EQ(removed(u"/a/b/searchservice"), u"/a/b");
    EXPECT_EQ(removed(u"/searchservice"), u"/");
    EXPECT_EQ(removed(u"C:\\dir\\S.exe"), u"C:\\dir");
    EXPECT_EQ(removed(u"C:\\S.exe"), u"C:\\");
    EXPECT_EQ(removed(u"S.exe"), u"");
    EXPECT_EQ(removed(u"/"), u"/");
}

TEST(PathHelpers, AppendAndFileNames)
{
    WCHAR b[MAX_PATH] = u"/a/b";
    ASSERT_TRUE(PathAppendW(b, u"\\log\\"));
    EXPECT_EQ(std::u16string(b), u"/a/b\\log\\");
    ASSERT_TRUE(PathAppendW(b, u"x.log"));
    EXPECT_EQ(std::u16string(b), u"/a/b\\log\\x.log");

    WCHAR full[MAX_PATH] = {};
    std::fill(full, full + MAX_PATH - 2, u'a');
    EXPECT_FALSE(PathAppendW(full, u"bc"));
    EXPECT_EQ(full[MAX_PATH - 2], 0);

    EXPECT_EQ(std::u16string(PathFindFileNameW(u"/a/b.c")), u"b.c");
    EXPECT_EQ(std::u16string(PathFindFileNameW(u"C:\\x\\S.exe")), u"S.exe");
    EXPECT_EQ(std::u16string(PathFindFileNameW(u"a\\b\\")), u"b\\");
    EXPECT_EQ(std::u16string(PathFindFileNameW(u"plain")), u"plain");

    WCHAR n1[MAX_PATH] = u"S.x.exe";
    PathRemoveExtensionW(n1);
    EXPECT_EQ(std::u16string(n1), u"S.x");
    WCHAR n2[MAX_PATH] = u"/a.b/searchservice";
    PathRemoveExtensionW(n2);
    EXPECT_EQ(std::u16string(n2), u"/a.b/searchservice");
}

// ---- Time ----

TEST(LocalTime, MatchesTheCLibrary)
{
    SYSTEMTIME st{};
    const time_t before = time(nullptr);
    GetLocalTime(&st);
    tm local{};
    localtime_r(&before, &local);
    EXPECT_EQ(st.wYear, local.tm_year + 1900);
    EXPECT_EQ(st.wMonth, local.tm_mon + 1);
    EXPECT_LT(st.wMilliseconds, 1000);
    EXPECT_LT(st.wSecond, 61);
}
