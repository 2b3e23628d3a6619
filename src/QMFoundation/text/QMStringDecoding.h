#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QByteArray>
#include <QString>

/// Decoding bytes of unknown origin into text.
namespace QMStringDecoding {

/// `data` decoded as UTF-8, or a null QString when it is not valid UTF-8. Valid means what the
/// Unicode standard calls well-formed: no overlong forms (C0 80 for U+0000), no encoded
/// surrogates (ED A0 80), nothing above U+10FFFF (F4 90 80 80, F5...), no stray continuation
/// bytes and no sequence cut short at the end. Noncharacters such as U+FFFE and U+0000 itself
/// are valid. A leading byte-order mark (EF BB BF) is kept as U+FEFF, so that valid bytes and
/// the text's toUtf8() are always the same. Empty data gives an empty, non-null QString.
QMF_CORE_EXPORT QString stringUsingUTF8Encoding(const QByteArray &data);

/// `data` decoded as UTF-8 the way QString::fromUtf8() does it (each malformed sequence becomes
/// U+FFFD), except that a leading U+FEFF stays a character of the text: QString::fromUtf8()
/// takes it for a byte-order mark and drops it, so a text that begins with one would not
/// survive a trip through UTF-8 (a stored value, an attribute, a password). Never null.
QMF_CORE_EXPORT QString stringByDecodingUTF8(QByteArrayView data);

/// `data` decoded as UTF-8 when it is valid UTF-8 (see stringUsingUTF8Encoding()), else as
/// Mac OS Roman, which gives a character for every byte: ASCII below 0x80, and above it the
/// classic Macintosh letters and symbols (0xE9 is "È", 0xDB the euro sign, 0xF0 the Apple logo
/// U+F8FF of the private use area). Never null; empty data gives an empty QString.
QMF_CORE_EXPORT QString stringUsingBestEncoding(const QByteArray &data);

} // namespace QMStringDecoding
