#include "frame/ProcessHelpers.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

using FrameTest::writeHive;

namespace {

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
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Orvanta", 0, KEY_READ, &key_), LSTATUS(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(key_, nullptr);
    ASSERT_TRUE(writeHive(HKEY_LOCAL_MACHINE, "[software/orvanta/antivirus/sysopt]\nLogLevel=2\n"));
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Other", 0, KEY_READ, &key_), LSTATUS(ERROR_FILE_NOT_FOUND));
    // The other hive is another file.
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"Software\\Orvanta", 0, KEY_READ, &key_), LSTATUS(ERROR_FILE_NOT_FOUND));

    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Orvanta", 0, KEY_READ, &key_), LSTATUS(ERROR_SUCCESS));
    HKEY sub = nullptr;
    ASSERT_EQ(RegOpenKeyExW(key_, u"AntiVirus\\SysOpt", 0, KEY_READ, &sub), LSTATUS(ERROR_SUCCESS));
    DWORD type = 99, value = 77, size = sizeof value;
    ASSERT_EQ(RegQueryValueExW(sub, u"LOGLEVEL", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
              LSTATUS(ERROR_SUCCESS));
    EXPECT_EQ(std::make_tuple(type, value, size), std::make_tuple(DWORD(REG_DWORD), 2u, 4u));
    EXPECT_EQ(RegQueryValueExW(sub, u"LogLevel2", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
              LSTATUS(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(RegCloseKey(sub), LSTATUS(ERROR_SUCCESS));
}

TEST_F(Registry, ValueTypesAndSizes)
{
    ASSERT_TRUE(writeHive(HKEY_CURRENT_USER, "[k]\nText=hello world\nBig=4294967295\nTooBig=4294967296\n"
                                             "HexWord=dword:0000002a\nBytes=hex:01,ff,7f\nList=a,b\n"));
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, u"K", 0, KEY_READ, &key_), LSTATUS(ERROR_SUCCESS));
    // Per query: the buffer offered (none with 0), the status, the type, the
    // size, and the data. A text is 11 characters and the NUL, two bytes each;
    // a number too big for a DWORD is text.
    const struct {
        const char16_t* name;
        DWORD capacity;
        LSTATUS status;
        DWORD type, size;
        QByteArray data;
    } rows[] = {
        {u"Text", 0, ERROR_SUCCESS, REG_SZ, 24, {}},
        {u"Text", 8, ERROR_MORE_DATA, REG_SZ, 24, {}},
        {u"Text", 24, ERROR_SUCCESS, REG_SZ, 24, QByteArray::fromRawData(reinterpret_cast<const char*>(u"hello world"), 24)},
        {u"Big", 4, ERROR_SUCCESS, REG_DWORD, 4, QByteArray("\xff\xff\xff\xff")},
        {u"TooBig", 4, ERROR_MORE_DATA, REG_SZ, 22, {}},
        {u"HexWord", 4, ERROR_SUCCESS, REG_DWORD, 4, QByteArray("\x2a\0\0\0", 4)},
        {u"Bytes", 8, ERROR_SUCCESS, REG_BINARY, 3, QByteArray("\x01\xff\x7f")},
        {u"List", 16, ERROR_SUCCESS, REG_SZ, 8, QByteArray::fromRawData(reinterpret_cast<const char*>(u"a,b"), 8)},
    };
    for (const auto& r : rows) {
        BYTE data[32] = {};
        DWORD type = 0, size = r.capacity;
        EXPECT_EQ(RegQueryValueExW(key_, r.name, nullptr, &type, r.capacity ? data : nullptr, &size), r.status)
            << QString::fromUtf16(r.name).toStdString();
        EXPECT_EQ(std::make_pair(type, size), std::make_pair(r.type, r.size)) << QString::fromUtf16(r.name).toStdString();
        if (!r.data.isEmpty()) {
            EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(data), r.data.size()), r.data);
        }
    }
}

TEST_F(Registry, MalformedOrUnreadableHiveIsEmpty)
{
    for (const QByteArray& junk : {QByteArray("\xff\xfe\x00\x01[[[[\n==\n\x00", 14), QByteArray("[unclosed\nA=1\n"),
                                   QByteArray(100000, '['), QByteArray("=\n=\n[]\n")}) {
        ASSERT_TRUE(writeHive(HKEY_LOCAL_MACHINE, junk));
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Orvanta\\antivirus\\sysopt", 0, KEY_READ, &key),
                  LSTATUS(ERROR_FILE_NOT_FOUND));
        DWORD value = 0, size = sizeof value;
        EXPECT_NE(RegQueryValueExW(HKEY_LOCAL_MACHINE, u"LogLevel", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
                  LSTATUS(ERROR_SUCCESS));
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
