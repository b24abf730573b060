// Strings between Core Foundation, in which the plug-ins and their bundles speak, and Qt, in which
// the widgets do.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <Support/CFRef.h>

#include <QString>

#include <vector>

// An empty string for null.
inline QString QStringFromCFString(CFStringRef string) {
    if (string == nullptr) return QString();
    const CFIndex length = CFStringGetLength(string);
    std::vector<UniChar> characters(static_cast<size_t>(length));
    CFStringGetCharacters(string, CFRangeMake(0, length), characters.data());
    return QString(reinterpret_cast<const QChar *>(characters.data()), static_cast<qsizetype>(length));
}

// Null only when memory runs out.
inline wfs::CFRef<CFStringRef> CFStringFromQString(const QString &string) {
    return wfs::CFRef<CFStringRef>(CFStringCreateWithCharacters(
        nullptr, reinterpret_cast<const UniChar *>(string.utf16()), static_cast<CFIndex>(string.size())));
}

// A localized format with one "%@" placeholder, filled with `value`. Only that placeholder is
// replaced: a translation comes from a file, and is never handed to a printf-style formatter,
// which would read arguments that are not there for any other conversion it contained.
inline QString NSStringByFillingPlaceholder(QString format, const QString &value) {
    const qsizetype at = format.indexOf(QStringLiteral("%@"));
    return at < 0 ? format : format.replace(at, 2, value);
}
