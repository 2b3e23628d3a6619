#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QString>

/// Tests of HTTP method names that ignore case: each upper-cases the text (Unicode case
/// mapping) and compares the result with one name exactly, so "get", "Get" and "GET" are all
/// GET, while " GET" and "GET " are not.
namespace HTTPMethods {

/// True for "GET" in any case.
QMF_CORE_EXPORT bool isGETMethod(const QString &method);
/// True for "POST" in any case.
QMF_CORE_EXPORT bool isPOSTMethod(const QString &method);
/// True for "PUT" in any case.
QMF_CORE_EXPORT bool isPUTMethod(const QString &method);
/// True for "DELETE" in any case.
QMF_CORE_EXPORT bool isDELETEMethod(const QString &method);
/// True for "PATCH" in any case.
QMF_CORE_EXPORT bool isPATCHMethod(const QString &method);

} // namespace HTTPMethods
