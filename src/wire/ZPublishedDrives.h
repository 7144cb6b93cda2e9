// What the service serves, as it publishes it beside its socket for its
// clients: one line per drive, the letter, the kind and the root. The file
// is "drives" in the runtime folder, 0644, replaced whole on every change:
//
//   searchservice-drives 1
//   C<TAB>directory<TAB>/srv/tree
//   D<TAB>image<TAB>/var/images/disk.img
//   E<TAB>other<TAB>
//
// The root is percent-encoded (every byte but A-Z a-z 0-9 - . _ ~ /), so a
// name with a tab, a newline or bytes that are not UTF-8 stays one field.
// "other" is a drive without a root on disk (set up in code).
#pragma once

#include <QByteArray>
#include <QString>

#include <map>

namespace SearchEngine {

struct ZPublishedDrive {
    enum Kind { Directory, Image, Other };
    Kind kind = Other;
    QByteArray root;   // the bytes of the path on disk
};

using ZPublishedDriveMap = std::map<char16_t, ZPublishedDrive>;

struct ZPublishedDrives {
    // The file's name in ZServiceLocation::runtimeFolder().
    static constexpr char kFileName[] = "drives";
    static QString filePath();
    static QByteArray format(const ZPublishedDriveMap& drives);
    // False when the text is not this format; unknown kinds read as Other.
    static bool parse(const QByteArray& text, ZPublishedDriveMap* drives);
};

} // namespace SearchEngine
