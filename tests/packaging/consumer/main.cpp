// A program outside the source tree that uses only the installed headers and library.
#include <QMFoundation/QMFoundationVersion.h>
#include <QMFoundation/errors/QMEquality.h>
#include <QMFoundation/options/QMOptionParser.h>
#include <QMFoundation/text/QMBase64Transcoding.h>
#include <QMFoundation/text/QMSHA1.h>

// The library's headers with generic names, and the host's own headers of the same names (the
// host/ folder is on this program's include path): they do not collide.
#include <QMCommon.h>
#include <QMFoundation/dates/QMCommon.h>
#include <QMFoundation/lists/Types.h>
#include <QMFoundation/observation/Tap.h>
#include <QMFoundation/rest/QMCommon.h>
#include <QMFoundation/text/QMCommon.h>
#include <lists/Types.h>
#include <observation/Tap.h>

#include <cstdio>

static_assert(Host::listsTypes + Host::observationTap + Host::common == 6);

int main()
{
    const auto verbose = QMOption::optionWithFlag(QStringLiteral("v"), QStringLiteral("verbose"),
                                                  QString(), QString(), QMOptionTypeNone, false);
    const auto parser
            = QMOptionParser::parserWithOptions({verbose}, {}, QStringLiteral("tool"), {});
    QMError error;
    const auto items
            = parser->parseArguments({QStringLiteral("tool"), QStringLiteral("-v")}, &error);
    if (!items || items->size() != 1 || items->first().option() != verbose) {
        std::fprintf(stderr, "unexpected parse result\n");
        return 1;
    }
    if (!QMEqualStrings(parser->usage(), QStringLiteral("Usage: tool [-v | --verbose]"))) {
        std::fprintf(stderr, "unexpected usage: %s\n", qPrintable(parser->usage()));
        return 1;
    }
    // The digests run on libcrypto, which the library links privately.
    if (QMSHA1::SHA256String("abc")
                != QStringLiteral(
                        "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad")
        || QMBase64Transcoding::encodeBase64("abc") != QStringLiteral("YWJj")) {
        std::fprintf(stderr, "unexpected digest or Base64 text\n");
        return 1;
    }
    std::printf("QMFoundation %s works from its installed package\n", QMFOUNDATION_VERSION_STRING);
    return 0;
}
