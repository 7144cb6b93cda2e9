#include "client/ZNameMatcher.h"

#include "storage/ZItemRecord.h"

#include <algorithm>
#include <cstring>

namespace SearchEngine {

namespace {

bool isAscii(const char* p, int n)
{
    for (int i = 0; i < n; ++i)
        if (static_cast<unsigned char>(p[i]) >= 0x80)
            return false;
    return true;
}

inline char lowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

// Units whose case-folded matches are exactly themselves and their ASCII
// other case: the signature ignores ASCII case already. 'k' and 's' are
// also matched by the Kelvin sign and the long s, whose bits differ.
bool signatureSafeWhenFolding(ushort u)
{
    if (u >= 0x80)
        return false;
    const char c = lowerAscii(char(u));
    return c != 'k' && c != 's';
}

bool containsFoldedAscii(const char* text, int n, const QByteArray& folded)
{
    const int m = folded.size();
    for (int i = 0; i + m <= n; ++i) {
        int j = 0;
        while (j < m && lowerAscii(text[i + j]) == folded[j])
            ++j;
        if (j == m)
            return true;
    }
    return false;
}

} // namespace

ZNameMatcher::ZNameMatcher(const QString& pattern, bool ignoreCase, bool regex)
    : regex_(regex), ignoreCase_(ignoreCase), literal_(pattern.toUtf8()), text_(pattern)
{
    if (regex_) {
        expression_.setPattern(pattern);
        expression_.setPatternOptions(ignoreCase ? QRegularExpression::CaseInsensitiveOption
                                                 : QRegularExpression::NoPatternOption);
        expression_.optimize();
        return;
    }
    asciiPattern_ = isAscii(literal_.constData(), literal_.size());
    for (char c : literal_)
        foldedLiteral_ += lowerAscii(c);
    // The signature of the longest run of units it may use; a term inside a
    // name has its low and its pair bits in the name's signature.
    const ushort* u = pattern.utf16();
    const int n = pattern.size();
    for (int start = 0; start < n;) {
        int end = start;
        while (end < n && (!ignoreCase || signatureSafeWhenFolding(u[end])))
            ++end;
        if (end > start)
            signature_ |= nameSignatureOf(u + start, end - start);
        start = end + 1;
    }
}

bool ZNameMatcher::matches(const char* utf8, int length) const
{
    if (regex_)
        return expression_.match(QString::fromUtf8(utf8, length)).hasMatch();
    if (!ignoreCase_) {
        return literal_.isEmpty()
               || ::memmem(utf8, size_t(length), literal_.constData(), size_t(literal_.size())) != nullptr;
    }
    if (asciiPattern_ && isAscii(utf8, length))
        return containsFoldedAscii(utf8, length, foldedLiteral_);
    return QString::fromUtf8(utf8, length).contains(text_, Qt::CaseInsensitive);
}

} // namespace SearchEngine
