#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QString>

/// Percent-encoding and decoding of texts, for query keys and values, URL components and file
/// names placed in URLs.
///
/// The functions work on Unicode characters (a surrogate pair is one character). A character
/// that is escaped is written as the bytes of its UTF-8 form, each as "%" and two upper-case
/// hexadecimal digits, so "é" becomes "%C3%A9" and "😀" "%F0%9F%98%80". A lone surrogate (half of
/// a pair, as a text cut in the wrong place holds) has no UTF-8 form: a function that would have
/// to escape one gives a null QString instead of guessing.
///
/// A null QString in gives a null QString out; all functions are pure and may be called from
/// any thread.
namespace QMURLTranscoding {

/// A percent-encoded copy of `string`. Each character is
///  1. copied unchanged when `leave` contains it (even one that cannot stand in a URL);
///  2. otherwise escaped when `escape` contains it;
///  3. otherwise copied when RFC 2396 allows it in a URL and escaped when not. RFC 2396 allows
///     the letters and digits of ASCII, the marks - _ . ! ~ * ' ( ) and the reserved
///     characters ; / ? : @ & = + $ and the comma; so "%", "#", "[", "]", space, controls and
///     every non-ASCII character are escaped.
/// `leave` and `escape` may be null (no characters). Null when a lone surrogate would have to be
/// escaped.
QMF_CORE_EXPORT QString stringByURLEncodingStringLeavingCharactersInStringUntoched(
        const QString &string, const QString &leave, const QString &escape);

/// stringByURLEncodingStringLeavingCharactersInStringUntoched() with nothing to leave and the
/// critical legal characters "~:/?#[]@!$&'()*+,;=" to escape: exactly the ASCII letters and digits
/// and "-", "_" and "." stay as they are, everything else is escaped ("a b&c=d/é~" gives
/// "a%20b%26c%3Dd%2F%C3%A9%7E").
QMF_CORE_EXPORT QString
stringByURLEncodingIllegalAndCriticalLegalURLCharactersInString(const QString &string);

/// The same as stringByURLEncodingIllegalAndCriticalLegalURLCharactersInString(). This is how
/// the library encodes every query key and value, and the text is safe in any URL component.
QMF_CORE_EXPORT QString stringByURLEncodingString(const QString &string);

/// `string` with every escape ("%" and two hexadecimal digits of either case) replaced by the
/// characters its bytes spell in UTF-8; consecutive escapes are read together, so "%C3%A9" is
/// "é". Null when the bytes of a run of escapes are not valid UTF-8 (a truncated sequence such
/// as "%C3" alone, an overlong form, an encoded surrogate). A "%" not followed by two
/// hexadecimal digits is not an escape and stays as it is, and so does "+" (it is not a space
/// here).
QMF_CORE_EXPORT QString stringByURLDecodingString(const QString &string);

} // namespace QMURLTranscoding
