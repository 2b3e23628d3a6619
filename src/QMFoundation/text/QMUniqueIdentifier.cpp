#include <QMFoundation/text/QMUniqueIdentifier.h>

#include <QUuid>

namespace QMUniqueIdentifier {

QString UUID()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

} // namespace QMUniqueIdentifier
