#include <QMFoundation/rest/HTTPMethods.h>

using namespace Qt::StringLiterals;

namespace HTTPMethods {

bool isGETMethod(const QString &method)
{
    return method.toUpper() == u"GET"_s;
}

bool isPOSTMethod(const QString &method)
{
    return method.toUpper() == u"POST"_s;
}

bool isPUTMethod(const QString &method)
{
    return method.toUpper() == u"PUT"_s;
}

bool isDELETEMethod(const QString &method)
{
    return method.toUpper() == u"DELETE"_s;
}

bool isPATCHMethod(const QString &method)
{
    return method.toUpper() == u"PATCH"_s;
}

} // namespace HTTPMethods
