// One search pattern as the scan applies it: a literal (bytes, or Unicode
// case folding with ignoreCase), a glob (a pattern with '*', '?' or '[',
// matched whole as locate does) or a QRegularExpression, with the name
// signature of its literal that rules records out before their bytes are
// looked at.
#pragma once

#include "win32/win32_types.h"

#include <QByteArray>
#include <QRegularExpression>
#include <QString>

namespace SearchEngine {

class ZNameMatcher {
public:
    ZNameMatcher(const QString& pattern, bool ignoreCase, bool regex);

    bool isValid() const { return !loneBackslash_ && (!regex_ || expression_.isValid()); }
    // Why it is not valid.
    QString errorString() const
    {
        return loneBackslash_ ? QStringLiteral("pattern '%1' ends in a backslash that escapes nothing").arg(text_)
                              : QStringLiteral("invalid regular expression '%1': %2").arg(text_, expression_.errorString());
    }
    // Only a literal without '/' can be decided one path component at a
    // time; the others are matched against whole paths.
    bool componentWise() const { return !regex_ && !literal_.contains('/'); }
    bool isRegex() const { return regex_; }
    // Every bit of it is in the signature of each name that may match.
    ULONGLONG signature() const { return signature_; }
    bool mayMatch(ULONGLONG nameSignature) const { return (nameSignature & signature_) == signature_; }
    // Whether UTF-8 text (a name or a whole path) matches.
    bool matches(const char* utf8, int length) const;
    bool matches(const QByteArray& utf8) const { return matches(utf8.constData(), utf8.size()); }

private:
    bool regex_;
    bool loneBackslash_ = false;   // a substring or glob that ends escaping nothing
    bool ignoreCase_;
    bool asciiPattern_ = true;
    bool matchDecoded_ = false;
    QByteArray literal_;        // UTF-8
    QByteArray foldedLiteral_;  // ASCII letters lowered, for ASCII names
    QString text_;
    QRegularExpression expression_;
    ULONGLONG signature_ = 0;
};

} // namespace SearchEngine
