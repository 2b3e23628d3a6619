#include <QMFoundation/text/QMRegularExpression.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/errors/QMNull.h>

namespace QMRegularExpression {

bool isMatchedByRegularExpression(const QString &string,
                                  const QRegularExpression &regularExpression)
{
    QMParameterAssert(regularExpression.isValid(), "regularExpression.isValid()");
    return regularExpression.match(string).hasMatch();
}

std::optional<QVariantList>
componentsMatchedByRegularExpression(const QString &string,
                                     const QRegularExpression &regularExpression)
{
    QMParameterAssert(regularExpression.isValid(), "regularExpression.isValid()");
    const QRegularExpressionMatch match = regularExpression.match(string);
    if (!match.hasMatch())
        return std::nullopt;
    // One entry per group of the expression, not just up to the last group that matched, so
    // that the positions of the entries always correspond to the groups.
    QVariantList components;
    const int groups = regularExpression.captureCount();
    components.reserve(groups + 1);
    for (int group = 0; group <= groups; ++group) {
        if (match.capturedStart(group) < 0)
            components.append(QMNull());
        else
            components.append(match.captured(group));
    }
    return components;
}

} // namespace QMRegularExpression
