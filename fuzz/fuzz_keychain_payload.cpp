// Reads decrypted keychain payloads (CBOR item sets) with QMKeychainFileFormat::decodeRecords()
// and checks that nothing crashes, that a refused payload yields no records, and that a read set
// encodes and reads back to the same records.

#include "QMFoundation/keychain/QMKeychainFile_p.h"

#include <cstdint>
#include <cstdlib>

namespace Format = QMKeychainFileFormat;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray payload(reinterpret_cast<const char *>(data), qsizetype(size));
    QList<QMKeychainRecord> records;
    const OSStatus status = Format::decodeRecords(payload, &records);
    if (status != errSecSuccess) {
        if (status != errSecDecode || !records.isEmpty())
            abort();
        return 0;
    }
    QList<QMKeychainRecord> again;
    if (Format::decodeRecords(Format::encodeRecords(records), &again) != errSecSuccess
        || again != records)
        abort();
    return 0;
}
