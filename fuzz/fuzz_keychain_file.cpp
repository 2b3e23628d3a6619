// Reads keychain files with QMKeychainFileFormat::decrypt() under a fixed key (the password's
// Argon2id derivation is left out: it only turns a password into that key) and checks that
//  - nothing crashes, hangs or throws, and every file is either read whole or refused with
//    errSecDecode (not ours, cut, damaged, or authentic but no item set) or errSecAuthFailed (a
//    key check that does not match, or a version-1 file that does not decrypt), with a reason;
//  - what reads back is written back: encrypting the records and reading them again gives the
//    same records.
// The first byte chooses the use of the rest: 0 reads it as a whole file, 1 seals it as the
// payload under a valid header (so the fuzzer reaches the payload reader through the full path).

#include "QMFoundation/keychain/QMKeychainFile_p.h"

#include <cstdint>
#include <cstdlib>

namespace Format = QMKeychainFileFormat;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    static const QByteArray key(Format::KeySize, '\x2a');
    static const Format::Header header = Format::newHeader();
    const QByteArray rest(reinterpret_cast<const char *>(data) + 1, qsizetype(size - 1));
    const QByteArray file = data[0] == 1 ? Format::seal(header, key, rest) : rest;
    QList<QMKeychainRecord> records;
    const QMKeychainResult result = Format::decrypt(
            file, [](const Format::Header &) { return key; }, &records);
    if (!result.ok()) {
        if ((result.status != errSecAuthFailed && result.status != errSecDecode)
            || result.reason.isEmpty() || !records.isEmpty())
            abort();
        return 0;
    }
    QList<QMKeychainRecord> again;
    if (!Format::decrypt(
                 Format::encrypt(header, key, records), [](const Format::Header &) { return key; },
                 &again)
                 .ok()
        || again != records)
        abort();
    return 0;
}
