#include "frame/ProcessHelpers.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

using FrameTest::writeHive;

namespace {

// A query's status, type and size (0 and 0 unless found), and the bytes it gave.
using Answer = std::tuple<LSTATUS, DWORD, DWORD, QByteArray>;

// A reader's steps: opens each key of `path` below the one before (the first
// below root), queries `name` offering `capacity` bytes (no buffer with 0),
// closes what it opened. A failed open ends the steps with its status.
Answer query(HKEY root, const std::vector<const char16_t*>& path, const char16_t* name, DWORD capacity = 32)
{
    std::vector<HKEY> keys{root};
    LSTATUS status = ERROR_SUCCESS;
    for (auto p = path.begin(); p != path.end() && status == ERROR_SUCCESS; ++p) {
        HKEY key = reinterpret_cast<HKEY>(quintptr(1));   // a failed open must leave no handle
        status = RegOpenKeyExW(keys.back(), *p, 0, KEY_READ, &key);
        EXPECT_EQ(key == nullptr, status != ERROR_SUCCESS) << QString::fromUtf16(*p).toStdString();
        if (status == ERROR_SUCCESS)
            keys.push_back(key);
    }
    BYTE data[32] = {};
    DWORD type = 0, size = capacity;
    if (status == ERROR_SUCCESS)
        status = RegQueryValueExW(keys.back(), name, nullptr, &type, capacity ? data : nullptr, &size);
    for (; keys.size() > 1; keys.pop_back())
        EXPECT_EQ(RegCloseKey(keys.back()), LSTATUS(ERROR_SUCCESS));
    const bool found = status == ERROR_SUCCESS || status == ERROR_MORE_DATA;
    const int given = status == ERROR_SUCCESS && capacity ? int(size) : 0;
    return Answer(status, found ? type : 0, found ? size : 0, QByteArray(reinterpret_cast<const char*>(data), given));
}

QByteArray utf16(const char16_t* s, int bytes) { return QByteArray(reinterpret_cast<const char*>(s), bytes); }

class Registry : public ::testing::Test {
protected:
    void SetUp() override
    {
        QFile::remove(Platform::registryHivePath(HKEY_LOCAL_MACHINE));
        QFile::remove(Platform::registryHivePath(HKEY_CURRENT_USER));
    }
    void TearDown() override
    {
        if (key_)
            RegCloseKey(key_);
    }
    HKEY key_ = nullptr;
};

} // namespace

TEST_F(Registry, HivesAreTheXdgFiles)
{
    EXPECT_EQ(Platform::registryHivePath(HKEY_CURRENT_USER),
              QFile::decodeName(qgetenv("XDG_CONFIG_HOME")) + QStringLiteral("/orvanta/registry.ini"));
    EXPECT_EQ(Platform::registryHivePath(HKEY_LOCAL_MACHINE),
              QFile::decodeName(qgetenv("XDG_CONFIG_DIRS")).section(QLatin1Char(':'), 0, 0)
                  + QStringLiteral("/orvanta/registry.ini"));
    EXPECT_EQ(Platform::registryGroup(QStringLiteral("SoftWare\\Orvanta\\\\antivirus\\")),
              QStringLiteral("software/orvanta/antivirus"));
}

TEST_F(Registry, KeysAndValueNamesMatchWithoutRegardToCaseMissingOnesAreNotFound)
{
    const Answer notFound(ERROR_FILE_NOT_FOUND, 0, 0, QByteArray());
    EXPECT_EQ(query(HKEY_LOCAL_MACHINE, {u"Software\\Orvanta"}, u"LogLevel"), notFound);   // no hive file yet
    ASSERT_TRUE(writeHive(HKEY_LOCAL_MACHINE, "[software/orvanta/antivirus/sysopt]\nLogLevel=2\n"));
    const struct {
        const char* what;
        HKEY root;
        std::vector<const char16_t*> path;
        const char16_t* name;
        Answer expected;
    } rows[] = {
        {"another key", HKEY_LOCAL_MACHINE, {u"Software\\Other"}, u"LogLevel", notFound},
        {"the other hive is another file", HKEY_CURRENT_USER, {u"Software\\Orvanta"}, u"LogLevel", notFound},
        {"a key below an open one", HKEY_LOCAL_MACHINE, {u"SOFTWARE\\Orvanta", u"AntiVirus\\SysOpt"}, u"LOGLEVEL",
         Answer(ERROR_SUCCESS, REG_DWORD, 4, QByteArray("\2\0\0\0", 4))},
        {"another value", HKEY_LOCAL_MACHINE, {u"software\\orvanta\\antivirus\\sysopt"}, u"LogLevel2", notFound},
    };
    for (const auto& r : rows)
        EXPECT_EQ(query(r.root, r.path, r.name), r.expected) << r.what;
}

TEST_F(Registry, ValueTypesAndSizes)
{
    ASSERT_TRUE(writeHive(HKEY_CURRENT_USER, "[k]\nText=hello world\nBig=4294967295\nTooBig=4294967296\n"
                                             "HexWord=dword:0000002a\nBytes=hex:01,ff,7f\nList=a,b\n"));
    // Per query: the buffer offered (none with 0) and the answer. A text is
    // 11 characters and the NUL, two bytes each; a number too big for a DWORD
    // is text.
    const struct {
        const char16_t* name;
        DWORD capacity;
        Answer expected;
    } rows[] = {
        {u"Text", 0, Answer(ERROR_SUCCESS, REG_SZ, 24, {})},
        {u"Text", 8, Answer(ERROR_MORE_DATA, REG_SZ, 24, {})},
        {u"Text", 24, Answer(ERROR_SUCCESS, REG_SZ, 24, utf16(u"hello world", 24))},
        {u"Big", 4, Answer(ERROR_SUCCESS, REG_DWORD, 4, QByteArray("\xff\xff\xff\xff"))},
        {u"TooBig", 4, Answer(ERROR_MORE_DATA, REG_SZ, 22, {})},
        {u"HexWord", 4, Answer(ERROR_SUCCESS, REG_DWORD, 4, QByteArray("\x2a\0\0\0", 4))},
        {u"Bytes", 8, Answer(ERROR_SUCCESS, REG_BINARY, 3, QByteArray("\x01\xff\x7f"))},
        {u"List", 16, Answer(ERROR_SUCCESS, REG_SZ, 8, utf16(u"a,b", 8))},
    };
    for (const auto& r : rows)
        EXPECT_EQ(query(HKEY_CURRENT_USER, {u"K"}, r.name, r.capacity), r.expected)
            << QString::fromUtf16(r.name).toStdString() << " " << r.capacity;
}

TEST_F(Registry, MalformedOrUnreadableHiveIsEmpty)
{
    for (const QByteArray& junk : {QByteArray("\xff\xfe\x00\x01[[[[\n==\n\x00", 14), QByteArray("[unclosed\nA=1\n"),
                                   QByteArray(100000, '['), QByteArray("=\n=\n[]\n")}) {
        ASSERT_TRUE(writeHive(HKEY_LOCAL_MACHINE, junk));
        EXPECT_EQ(std::get<0>(query(HKEY_LOCAL_MACHINE, {u"Software\\Orvanta\\antivirus\\sysopt"}, u"LogLevel")),
                  LSTATUS(ERROR_FILE_NOT_FOUND));
        EXPECT_NE(std::get<0>(query(HKEY_LOCAL_MACHINE, {}, u"LogLevel")), LSTATUS(ERROR_SUCCESS));
    }
    // A folder where the file should be.
    QFile::remove(Platform::registryHivePath(HKEY_LOCAL_MACHINE));
    QDir().mkpath(Platform::registryHivePath(HKEY_LOCAL_MACHINE));
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software", 0, KEY_READ, &key_), LSTATUS(ERROR_FILE_NOT_FOUND));
}

TEST_F(Registry, BadHandlesAndArgumentsAreRefused)
{
    DWORD size = 4, value = 0;
    EXPECT_EQ(RegQueryValueExW(nullptr, u"x", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
              LSTATUS(ERROR_INVALID_HANDLE));
    EXPECT_EQ(RegQueryValueExW(HKEY_CLASSES_ROOT, u"x", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
              LSTATUS(ERROR_INVALID_HANDLE));
    EXPECT_EQ(RegCloseKey(nullptr), LSTATUS(ERROR_INVALID_HANDLE));
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"x", 0, KEY_READ, nullptr), LSTATUS(ERROR_INVALID_PARAMETER));
    ASSERT_TRUE(writeHive(HKEY_CURRENT_USER, "[k]\nA=1\n"));
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"k", 0, KEY_READ, &key_), LSTATUS(ERROR_SUCCESS));
    EXPECT_EQ(RegQueryValueExW(key_, u"A", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), nullptr),
              LSTATUS(ERROR_INVALID_PARAMETER));
}
