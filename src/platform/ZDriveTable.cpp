#include "platform/ZDriveTable.h"

#include "devices/live/ZLiveDirectoryVolume.h"
#include "devices/raw/ZRawNtfsVolume.h"
#include "platform/win32_shell.h"
#include "platform/win32_sync.h"

#include <QDir>
#include <QFileInfo>
#include <QtGlobal>

namespace Platform {

namespace {

const char kTableFolder[] = "/orvanta/dosdevices";
const char kRootDirectory[] = "/";
constexpr char16_t kDefaultLetter = u'C';
// A directory drive keeps its state beside the drive caches.
const char kStateFolder[] = "/Orvanta/SearchService";

char16_t upperLetter(char16_t c)
{
    return (c >= u'a' && c <= u'z') ? char16_t(c - u'a' + u'A') : c;
}

bool isLetter(QChar c)
{
    const char16_t u = upperLetter(c.unicode());
    return u >= u'A' && u <= u'Z';
}

} // namespace

QString ZDriveTable::stateFolder()
{
    char base[MAX_PATH];
    if (SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, base) != S_OK)
        return QString();
    const QString folder = QString::fromUtf8(base) + QLatin1String(kStateFolder);
    return QDir::isAbsolutePath(folder) && makePrivateFolder(folder) ? folder : QString();
}

void ZDriveTable::removeDepartedState()
{
    ZLiveDriveState::removeDeparted(stateFolder(), letters());
}

ZDriveTable& ZDriveTable::instance()
{
    static ZDriveTable table;
    return table;
}

QString ZDriveTable::folder()
{
    const QByteArray env = qgetenv("XDG_CONFIG_HOME");
    const QString config = env.isEmpty() ? QDir::homePath() + QStringLiteral("/.config") : QFile::decodeName(env);
    return config + QLatin1String(kTableFolder);
}

std::map<char16_t, ZDriveTable::Entry> ZDriveTable::folderEntries() const
{
    std::map<char16_t, Entry> out;
    const QString dir = folder();
    if (!QFileInfo(dir).isDir()) {
        if (drives_.empty())
            out[kDefaultLetter] = Entry{Kind::Directory, QString::fromLatin1(kRootDirectory)};
        return out;
    }
    const QDir d(dir);
    const QStringList names = d.entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        Kind kind;
        if (name.size() == 2 && isLetter(name[0]) && name[1] == QLatin1Char(':'))
            kind = Kind::Directory;
        else if (name.size() == 3 && isLetter(name[0]) && name[1] == QLatin1Char(':') && name[2] == QLatin1Char(':'))
            kind = Kind::Image;
        else
            continue;
        // "x:" and "x::" both present: the directory wins, as the first found.
        const char16_t letter = upperLetter(name[0].unicode());
        if (out.count(letter) && out[letter].kind == Kind::Directory)
            continue;
        // Keyed by what the link names, so a re-pointed link makes a new device.
        const QString path = d.filePath(name);
        const QString target = QFileInfo(path).canonicalFilePath();
        out[letter] = Entry{kind, target.isEmpty() ? path : target};
    }
    return out;
}

std::shared_ptr<ZVolumeDevice> ZDriveTable::make(char16_t letter, const Entry& entry) const
{
    QString error;
    std::shared_ptr<ZVolumeDevice> device;
    if (entry.kind == Kind::Directory) {
        ZLiveDirectoryVolume::Options options;
        options.stateFolder = stateFolder();
        options.stateName = QString(QChar(letter));
        device = ZLiveDirectoryVolume::open(entry.target, options, &error);
    } else {
        device = openRawNtfsVolume(entry.target, &error);
    }
    if (!device)
        qWarning("drive %s: %s", qPrintable(entry.target), qPrintable(error));
    return device;
}

void ZDriveTable::setDrive(char16_t letter, std::shared_ptr<ZVolumeDevice> device)
{
    std::lock_guard<std::mutex> g(lock_);
    drives_[upperLetter(letter)] = std::move(device);
}

void ZDriveTable::removeDrive(char16_t letter)
{
    std::lock_guard<std::mutex> g(lock_);
    drives_.erase(upperLetter(letter));
}

void ZDriveTable::clear()
{
    std::lock_guard<std::mutex> g(lock_);
    drives_.clear();
    made_.clear();
}

std::shared_ptr<ZVolumeDevice> ZDriveTable::device(char16_t letter)
{
    const char16_t upper = upperLetter(letter);
    std::lock_guard<std::mutex> g(lock_);
    auto it = drives_.find(upper);
    if (it != drives_.end())
        return it->second;
    const auto entries = folderEntries();
    auto e = entries.find(upper);
    if (e == entries.end())
        return nullptr;
    auto m = made_.find(upper);
    if (m != made_.end() && m->second.entry.kind == e->second.kind && m->second.entry.target == e->second.target
        && m->second.device)
        return m->second.device;
    // Made under the lock: two first uses of a letter make one device.
    auto device = make(upper, e->second);
    if (device)
        made_[upper] = Made{e->second, device};
    return device;
}

bool ZDriveTable::root(char16_t letter, QString* path, bool* image)
{
    const char16_t upper = upperLetter(letter);
    std::lock_guard<std::mutex> g(lock_);
    if (drives_.count(upper))
        return false;
    const auto entries = folderEntries();
    const auto e = entries.find(upper);
    if (e == entries.end())
        return false;
    *path = e->second.target;
    *image = e->second.kind == Kind::Image;
    return true;
}

std::vector<char16_t> ZDriveTable::letters()
{
    std::lock_guard<std::mutex> g(lock_);
    std::map<char16_t, bool> all;
    for (const auto& d : drives_)
        all[d.first] = true;
    for (const auto& e : folderEntries())
        all[e.first] = true;
    std::vector<char16_t> out;
    for (const auto& a : all)
        out.push_back(a.first);
    return out;
}

} // namespace Platform
