#include <QMFoundation/text/QMBinaryDetection.h>

#include <QByteArrayView>

bool QMBinaryDetection::isBinaryData(const QByteArray &data)
{
    constexpr qsizetype inspectedBytes = 2048;
    const QByteArrayView head = QByteArrayView(data).first(std::min(data.size(), inspectedBytes));
    return head.indexOf(QByteArrayView("\0\0\0", 3)) >= 0;
}
