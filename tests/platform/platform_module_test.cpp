#include "platform/windows.h"

#include <QFileInfo>

#include <gtest/gtest.h>

namespace {

QString recorderWindowsPath()
{
    // The plug-in's folder with the Windows file name: "<folder>\zdump.dll".
    return QFileInfo(QStringLiteral(ZDUMP_RECORDER_LIB)).absolutePath().replace(QLatin1Char('/'), QLatin1Char('\\'))
           + QStringLiteral("\\zdump.dll");
}

} // namespace

TEST(Modules, ExecutableLoadedAndMissingModules)
{
    WCHAR buffer[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    const QString exe = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    ASSERT_GT(n, 0u);
    EXPECT_EQ(QString::fromUtf16(buffer, int(n)), exe);
    WCHAR small[5] = {u'x', u'x', u'x', u'x', u'x'};
    EXPECT_EQ(GetModuleFileNameW(nullptr, small, 5), 5u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(QString::fromUtf16(small), exe.left(4)); // cut, and ended within the buffer
    // The module of an address in this program is the program.
    HMODULE self = nullptr;
    ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   reinterpret_cast<LPCWSTR>(&recorderWindowsPath), &self));
    ASSERT_GT(GetModuleFileNameW(self, buffer, MAX_PATH), 0u);
    EXPECT_EQ(QString::fromUtf16(buffer), exe);

    const std::u16string path = recorderWindowsPath().toStdU16String();
    HMODULE m = LoadLibraryW(path.c_str());
    ASSERT_NE(m, nullptr);
    EXPECT_NE(GetProcAddress(m, "VyxOpenDumpMonitorEx2"), nullptr);
    EXPECT_EQ(GetProcAddress(m, "VyxOpenDumpMonitorEx"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
    EXPECT_EQ(GetModuleHandleW(path.c_str()), m);
    ASSERT_GT(GetModuleFileNameW(m, buffer, MAX_PATH), 0u);
    EXPECT_EQ(QString::fromUtf16(buffer), QFileInfo(QStringLiteral(ZDUMP_RECORDER_LIB)).absoluteFilePath());
    EXPECT_TRUE(FreeLibrary(m));

    EXPECT_EQ(LoadLibraryW(u"no-such-library-here.dll"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(LoadLibraryW(u"/nonexistent\\zdump.dll"), nullptr);
    EXPECT_EQ(LoadLibraryW(u""), nullptr);
    EXPECT_EQ(GetModuleHandleW(u"never-loaded.dll"), nullptr);
    EXPECT_EQ(GetProcAddress(nullptr, "x"), nullptr);

    const std::pair<const char*, const char*> names[] = {
        {"zdump.dll", "libzdump.so"},
        {"operation\\cas\\ztally.DLL", "operation/cas/libztally.so"},
        {"C:\\p\\x.dll", "C:/p/libx.so"},
        {"/opt/libq.so", "/opt/libq.so"},
    };
    for (const auto& [windows, shared] : names)
        EXPECT_EQ(Platform::sharedLibraryPath(QLatin1String(windows)), QLatin1String(shared));
}

TEST(PathHelpers, RemoveAppendAndFindFileNames)
{
    auto edited = [](const char16_t* in, void (*edit)(WCHAR*)) {
        WCHAR b[MAX_PATH] = {};
        std::u16string(in).copy(b, MAX_PATH - 1);
        edit(b);
        return std::u16string(b);
    };
    auto removeSpec = [](WCHAR* b) { PathRemoveFileSpecW(b); };
    auto removeExtension = [](WCHAR* b) { PathRemoveExtensionW(b); };
    const struct {
        const char16_t* in;
        void (*edit)(WCHAR*);
        const char16_t* out;
    } cases[] = {
        {u"/a/b/searchservice", removeSpec, u"/a/b"}, {u"/searchservice", removeSpec, u"/"},
        {u"C:\\dir\\S.exe", removeSpec, u"C:\\dir"},  {u"C:\\S.exe", removeSpec, u"C:\\"},
        {u"S.exe", removeSpec, u""},                   {u"/", removeSpec, u"/"},
        {u"S.x.exe", removeExtension, u"S.x"},         {u"/a.b/searchservice", removeExtension, u"/a.b/searchservice"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(edited(c.in, c.edit), c.out);

    WCHAR b[MAX_PATH] = u"/a/b";
    ASSERT_TRUE(PathAppendW(b, u"\\log\\"));
    ASSERT_TRUE(PathAppendW(b, u"x.log"));
    EXPECT_EQ(std::u16string(b), u"/a/b\\log\\x.log");
    WCHAR full[MAX_PATH] = {};
    std::fill(full, full + MAX_PATH - 2, u'a');
    EXPECT_FALSE(PathAppendW(full, u"bc"));
    EXPECT_EQ(full[MAX_PATH - 2], 0);

    for (const auto& [path, name] : {std::make_pair(u"/a/b.c", u"b.c"), std::make_pair(u"C:\\x\\S.exe", u"S.exe"),
                                     std::make_pair(u"a\\b\\", u"b\\"), std::make_pair(u"plain", u"plain")})
        EXPECT_EQ(std::u16string(PathFindFileNameW(path)), name);
}
