#include "platform/win32_registry.h"

#include "win32/win32_handle.h"

#include <QDir>
#include <QSettings>
#include <QStringList>
#include <QTemporaryFile>

#include <cstring>
#include <vector>

namespace {

constexpr char kHiveFolder[] = "/orvanta/registry.ini";
// A hive larger than this is not a registry file.
constexpr qint64 kMaxHiveBytes = 16 * 1024 * 1024;

// An open key: its hive file and its group there.
struct KeyHandle : Platform::HandleObject {
    HKEY hive = nullptr;
    QString group;
};

bool isHive(HKEY key)
{
    return key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE;
}

QString environmentFolder(const char* name, const QString& fallback)
{
    const QByteArray v = qgetenv(name);
    return v.isEmpty() ? fallback : QFile::decodeName(v);
}

QString wide(LPCWSTR s)
{
    return s ? QString::fromUtf16(s) : QString();
}

// A raw registry value: type and bytes.
struct RegValue {
    DWORD type = REG_NONE;
    QByteArray bytes;
};

bool parseDecimalDword(const QString& text, DWORD* out)
{
    if (text.isEmpty() || text.size() > 10)
        return false;
    for (QChar c : text)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    bool ok = false;
    const qulonglong v = text.toULongLong(&ok);
    if (!ok || v > 0xFFFFFFFFull)
        return false;
    *out = DWORD(v);
    return true;
}

RegValue stringValue(const QString& text)
{
    // UTF-16 text with its terminating NUL.
    return RegValue{REG_SZ, QByteArray(reinterpret_cast<const char*>(text.utf16()),
                                       (text.size() + 1) * int(sizeof(char16_t)))};
}

RegValue valueFromText(const QString& text)
{
    RegValue r;
    DWORD dword = 0;
    const QString lower = text.trimmed().toLower();
    bool ok = false;
    if (parseDecimalDword(text, &dword)
        || (lower.startsWith(QLatin1String("dword:"))
            && (dword = DWORD(lower.mid(6).toULong(&ok, 16)), ok)
            && lower.size() <= 6 + 8)) {
        r.type = REG_DWORD;
        r.bytes.resize(sizeof(DWORD));
        for (size_t i = 0; i < sizeof(DWORD); ++i)
            r.bytes[int(i)] = char((dword >> (8 * i)) & 0xFF);
        return r;
    }
    if (lower.startsWith(QLatin1String("hex:"))) {
        r.type = REG_BINARY;
        const QStringList parts = lower.mid(4).split(QLatin1Char(','), Qt::SkipEmptyParts);
        for (const QString& p : parts) {
            const uint b = p.trimmed().toUInt(&ok, 16);
            if (!ok || b > 0xFF)
                return stringValue(text);
            r.bytes.append(char(b));
        }
        return r;
    }
    return stringValue(text);
}

// Runs f on the hive's settings when the file parses; a missing, unreadable
// or malformed file is an empty hive and f is not called. The settings are
// read from a private copy of the file: QSettings keeps parsed files by path
// and trusts a cached one while size and time stamp look unchanged, which
// misses a rewrite within one tick of the file system's clock.
template <typename F>
bool withHive(HKEY hive, F f)
{
    const QString path = Platform::registryHivePath(hive);
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly) || file.size() > kMaxHiveBytes)
        return false;
    const QByteArray bytes = file.read(kMaxHiveBytes + 1);
    if (bytes.size() > kMaxHiveBytes)
        return false;
    QTemporaryFile copy(QDir::tempPath() + QStringLiteral("/registry-XXXXXX.ini"));
    const bool copied = copy.open() && copy.write(bytes) == bytes.size() && copy.flush();
    QSettings ini(copied ? copy.fileName() : path, QSettings::IniFormat);
    if (ini.status() != QSettings::NoError)
        return false;
    return f(ini);
}

QString joinGroup(const QString& parent, const QString& child)
{
    if (parent.isEmpty())
        return child;
    if (child.isEmpty())
        return parent;
    return parent + QLatin1Char('/') + child;
}

// Keys of the hive under group, matched without regard to case.
bool keyExists(QSettings& ini, const QString& group)
{
    if (group.isEmpty())
        return true;
    const QString prefix = group + QLatin1Char('/');
    const QStringList keys = ini.allKeys();
    for (const QString& k : keys)
        if (k.toLower().startsWith(prefix))
            return true;
    return false;
}

bool findValue(QSettings& ini, const QString& group, const QString& name, RegValue* out)
{
    const QString wanted = joinGroup(group, name.toLower());
    const QStringList keys = ini.allKeys();
    for (const QString& k : keys) {
        if (k.toLower() != wanted)
            continue;
        const QVariant v = ini.value(k);
        // QSettings splits unquoted commas into a list; the registry value is
        // the one text.
        const QString text = v.type() == QVariant::StringList ? v.toStringList().join(QLatin1Char(','))
                                                              : v.toString();
        *out = valueFromText(text);
        return true;
    }
    return false;
}

// The hive and group of a predefined or open key; false for anything else.
bool resolveKey(HKEY key, HKEY* hive, QString* group)
{
    if (isHive(key)) {
        *hive = key;
        group->clear();
        return true;
    }
    const uintptr_t raw = reinterpret_cast<uintptr_t>(key);
    constexpr uintptr_t kPredefinedFirst = 0x80000000u;
    constexpr uintptr_t kPredefinedLast = 0x800000FFu;
    if (!key || key == INVALID_HANDLE_VALUE || (raw >= kPredefinedFirst && raw <= kPredefinedLast))
        return false;
    auto* open = dynamic_cast<KeyHandle*>(static_cast<Platform::HandleObject*>(key));
    if (!open)
        return false;
    *hive = open->hive;
    *group = open->group;
    return true;
}

} // namespace

namespace Platform {

QString registryHivePath(HKEY hive)
{
    if (hive == HKEY_CURRENT_USER)
        return environmentFolder("XDG_CONFIG_HOME", QDir::homePath() + QStringLiteral("/.config"))
               + QLatin1String(kHiveFolder);
    if (hive == HKEY_LOCAL_MACHINE) {
        QString dirs = QFile::decodeName(qgetenv("XDG_CONFIG_DIRS"));
        QString first = dirs.section(QLatin1Char(':'), 0, 0);
        if (first.isEmpty())
            first = QStringLiteral("/etc/xdg");
        return first + QLatin1String(kHiveFolder);
    }
    return QString();
}

QString registryGroup(const QString& keyPath)
{
    QStringList parts = keyPath.toLower().split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    return parts.join(QLatin1Char('/'));
}

} // namespace Platform

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM, PHKEY result)
{
    if (!result)
        return LSTATUS(ERROR_INVALID_PARAMETER);
    *result = nullptr;
    HKEY hive = nullptr;
    QString parent;
    if (!resolveKey(key, &hive, &parent))
        return LSTATUS(ERROR_INVALID_HANDLE);
    const QString group = joinGroup(parent, Platform::registryGroup(wide(subKey)));
    const bool exists = withHive(hive, [&](QSettings& ini) { return keyExists(ini, group); });
    if (!exists)
        return LSTATUS(ERROR_FILE_NOT_FOUND);
    auto* h = new KeyHandle;
    h->hive = hive;
    h->group = group;
    *result = h;
    return LSTATUS(ERROR_SUCCESS);
}

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD, LPDWORD type, BYTE* data, LPDWORD dataSize)
{
    HKEY hive = nullptr;
    QString group;
    if (!resolveKey(key, &hive, &group))
        return LSTATUS(ERROR_INVALID_HANDLE);
    if (data && !dataSize)
        return LSTATUS(ERROR_INVALID_PARAMETER);
    RegValue value;
    const bool found = withHive(hive, [&](QSettings& ini) { return findValue(ini, group, wide(valueName), &value); });
    if (!found)
        return LSTATUS(ERROR_FILE_NOT_FOUND);
    if (type)
        *type = value.type;
    const DWORD needed = DWORD(value.bytes.size());
    if (!dataSize)
        return LSTATUS(ERROR_SUCCESS);
    if (!data) {
        *dataSize = needed;
        return LSTATUS(ERROR_SUCCESS);
    }
    if (*dataSize < needed) {
        *dataSize = needed;
        return LSTATUS(ERROR_MORE_DATA);
    }
    std::memcpy(data, value.bytes.constData(), needed);
    *dataSize = needed;
    return LSTATUS(ERROR_SUCCESS);
}

LSTATUS RegCloseKey(HKEY key)
{
    HKEY hive = nullptr;
    QString group;
    if (!resolveKey(key, &hive, &group))
        return LSTATUS(ERROR_INVALID_HANDLE);
    if (!isHive(key))
        delete static_cast<Platform::HandleObject*>(key);
    return LSTATUS(ERROR_SUCCESS);
}
