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

// Whether a pattern holds a wildcard that no backslash escapes, which
// makes it a glob as locate takes it.
bool isGlob(const QString& pattern)
{
    for (int i = 0; i < pattern.size(); ++i) {
        const QChar c = pattern[i];
        if (c == QLatin1Char('\\'))
            ++i;
        else if (c == QLatin1Char('*') || c == QLatin1Char('?') || c == QLatin1Char('['))
            return true;
    }
    return false;
}

// A glob as fnmatch(3) reads it without flags ('*' and '?' also match '/',
// '[...]' and '[!...]' sets, '\' escapes), as an anchored expression.
QString globExpression(const QString& glob)
{
    QString out = QStringLiteral("\\A(?:");
    for (int i = 0; i < glob.size(); ++i) {
        const QChar c = glob[i];
        if (c == QLatin1Char('*')) {
            out += QLatin1String(".*");
        } else if (c == QLatin1Char('?')) {
            out += QLatin1Char('.');
        } else if (c == QLatin1Char('\\') && i + 1 < glob.size()) {
            out += QRegularExpression::escape(glob.mid(++i, 1));
        } else if (c == QLatin1Char('[')) {
            // A set runs to the first ']' after its first member; none: a literal '['.
            int j = i + 1;
            const bool negated = j < glob.size() && (glob[j] == QLatin1Char('!') || glob[j] == QLatin1Char('^'));
            if (negated)
                ++j;
            // A class such as [:alpha:] inside the set is passed on whole.
            auto classEnd = [&](int at) {
                if (at + 1 >= glob.size() || glob[at] != QLatin1Char('[') || glob[at + 1] != QLatin1Char(':'))
                    return -1;
                const int close = glob.indexOf(QLatin1String(":]"), at + 2);
                return close < 0 ? -1 : close + 2;
            };
            int end = j < glob.size() && glob[j] == QLatin1Char(']') ? j + 1 : j;
            while (end < glob.size() && glob[end] != QLatin1Char(']')) {
                const int past = classEnd(end);
                end = past > 0 ? past : end + 1;
            }
            if (end >= glob.size()) {
                out += QLatin1String("\\[");
                continue;
            }
            out += negated ? QLatin1String("[^") : QLatin1String("[");
            for (int k = j; k < end; ++k) {
                const QChar m = glob[k];
                const int past = classEnd(k);
                if (past > 0) {
                    out += glob.mid(k, past - k);
                    k = past - 1;
                } else if (m == QLatin1Char('-') && k > j && k + 1 < end)
                    out += m;   // a range
                else if (m == QLatin1Char('\\') || m == QLatin1Char('[') || m == QLatin1Char(']')
                         || m == QLatin1Char('^') || m == QLatin1Char('-'))
                    out += QLatin1Char('\\') + QString(m);
                else
                    out += m;
            }
            out += QLatin1Char(']');
            i = end;
        } else {
            out += QRegularExpression::escape(QString(c));
        }
    }
    return out + QLatin1String(")\\z");
}

// A substring pattern as locate reads it: a backslash stands for the
// character after it ("a\*b" is "a*b"); a pattern whose last one escapes
// nothing is refused by the constructor.
QString unescaped(const QString& pattern)
{
    QString out;
    out.reserve(pattern.size());
    for (int i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == QLatin1Char('\\') && i + 1 < pattern.size())
            ++i;
        out += pattern[i];
    }
    return out;
}

} // namespace

ZNameMatcher::ZNameMatcher(const QString& pattern, bool ignoreCase, bool regex)
    : regex_(regex), ignoreCase_(ignoreCase), literal_(pattern.toUtf8()), text_(pattern)
{
    if (!regex_) {
        int backslashes = 0;
        for (int i = pattern.size() - 1; i >= 0 && pattern[i] == QLatin1Char('\\'); --i)
            ++backslashes;
        loneBackslash_ = backslashes % 2 == 1;
    }
    // A wildcard makes the pattern a glob of the whole name or path, as
    // locate does; it is then matched as the expression it stands for.
    const bool glob = !regex_ && isGlob(pattern);
    if (regex_ || glob) {
        regex_ = true;
        expression_.setPattern(glob ? globExpression(pattern) : pattern);
        // A class in a glob ([[:upper:]]) counts every letter it names, as
        // fnmatch does under a UTF-8 locale, not only the ASCII ones.
        const bool unicodeClasses = glob && pattern.contains(QLatin1String("[:"));
        expression_.setPatternOptions((ignoreCase ? QRegularExpression::CaseInsensitiveOption
                                                  : QRegularExpression::NoPatternOption)
                                      | (glob ? QRegularExpression::DotMatchesEverythingOption
                                              : QRegularExpression::NoPatternOption)
                                      | (unicodeClasses ? QRegularExpression::UseUnicodePropertiesOption
                                                        : QRegularExpression::NoPatternOption));
        expression_.optimize();
        return;
    }
    const QString plain = unescaped(pattern);
    literal_ = plain.toUtf8();
    asciiPattern_ = isAscii(literal_.constData(), literal_.size());
    // U+FFFD is the index form of a byte that is not UTF-8, which the pool
    // keeps as it is: such a pattern is matched against the decoded name.
    matchDecoded_ = plain.contains(QChar(QChar::ReplacementCharacter));
    for (char c : literal_)
        foldedLiteral_ += lowerAscii(c);
    // The signature of the longest run of units it may use; a term inside a
    // name has its low and its pair bits in the name's signature.
    const ushort* u = plain.utf16();
    const int n = plain.size();
    for (int start = 0; start < n;) {
        int end = start;
        while (end < n && (!ignoreCase || signatureSafeWhenFolding(u[end])) && u[end] != QChar::ReplacementCharacter)
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
    if (!ignoreCase_ && matchDecoded_)
        return QString::fromUtf8(utf8, length).contains(text_);
    if (!ignoreCase_) {
        return literal_.isEmpty()
               || ::memmem(utf8, size_t(length), literal_.constData(), size_t(literal_.size())) != nullptr;
    }
    if (asciiPattern_ && isAscii(utf8, length))
        return containsFoldedAscii(utf8, length, foldedLiteral_);
    return QString::fromUtf8(utf8, length).contains(text_, Qt::CaseInsensitive);
}

} // namespace SearchEngine
