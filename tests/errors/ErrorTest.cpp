#include "support/Failures.h"
#include <QMFoundation/errors/QMError.h>
#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/errors/QMNull.h>
#include <QMFoundation/errors/QMObjectDescribing.h>

#include <gtest/gtest.h>

#include <QObject>
#include <QRegularExpression>

#include <optional>
#include <stdexcept>

using namespace Qt::StringLiterals;
using TestSupport::failureOf;

TEST(QMErrorTest, ReadsLocalizedTextsFromUserInfo)
{
    const QMError error(QStringLiteral("AppDomain"), 7,
                        {{QMLocalizedDescriptionKey, QStringLiteral("File missing")},
                         {QMLocalizedFailureReasonErrorKey, QStringLiteral("It was deleted")},
                         {QMLocalizedRecoverySuggestionErrorKey, QStringLiteral("Restore it")}});
    EXPECT_EQ(error.domain(), QStringLiteral("AppDomain"));
    EXPECT_EQ(error.code(), 7);
    EXPECT_EQ(error.localizedDescription(), QStringLiteral("File missing"));
    EXPECT_EQ(error.localizedFailureReason(), QStringLiteral("It was deleted"));
    EXPECT_EQ(error.localizedRecoverySuggestion(), QStringLiteral("Restore it"));
    EXPECT_FALSE(error.isNull());

    // Without a description the error still says which domain and code failed, and the domain
    // is taken literally even when it looks like a placeholder.
    struct Row
    {
        QString domain;
        qint64 code;
        QString description;
    };
    const Row rows[] = {
            {QStringLiteral("AppDomain"), -3,
             QStringLiteral("The operation could not be completed. (AppDomain error -3.)")},
            {QStringLiteral("%2%1"), 7,
             QStringLiteral("The operation could not be completed. (%2%1 error 7.)")},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.domain.toStdString());
        const QMError bare(row.domain, row.code);
        EXPECT_EQ(bare.localizedDescription(), row.description);
        EXPECT_TRUE(bare.localizedFailureReason().isNull());
    }
    EXPECT_TRUE(QMError().isNull());
}

TEST(QMInternalInconsistencyExceptionTest, CarriesExactMessage)
{
    try {
        QMParameterAssert(false, "launchPath != nil");
        FAIL() << "no exception";
    } catch (const QMInternalInconsistencyException &e) {
        EXPECT_EQ(e.reason(),
                  QStringLiteral("Invalid parameter not satisfying: launchPath != nil"));
        EXPECT_STREQ(e.what(), "Invalid parameter not satisfying: launchPath != nil");
        EXPECT_EQ(e.name(), QStringLiteral("NSInternalInconsistencyException"));
    }
    EXPECT_NO_THROW(QMParameterAssert(true, "x"));

    // Non-ASCII reasons survive the round trip through what().
    try {
        QMAssert(false, QStringLiteral("Ung\u00fcltig"));
        FAIL() << "no exception";
    } catch (const std::exception &e) {
        EXPECT_EQ(QString::fromUtf8(e.what()), QStringLiteral("Ung\u00fcltig"));
    }
}

TEST(QMNullTest, NullMarkerIsDistinctFromAbsentAndFromOtherValues)
{
    EXPECT_TRUE(QMIsNull(QMNull()));
    EXPECT_FALSE(QMIsNull(QVariant()));
    EXPECT_FALSE(QMIsNull(QVariant(0)));
    EXPECT_FALSE(QMIsNull(QVariant(QString())));
    QVariantList list {QMNull(), 1};
    EXPECT_TRUE(QMIsNull(list.first()));
}

namespace {

// Descriptions with every "0x..." identity replaced by "0x1", for comparing layouts.
QString withoutAddresses(QString text)
{
    static const QRegularExpression address(u"0x[0-9a-f]+"_s);
    return text.replace(address, u"0x1"_s);
}

} // namespace

TEST(QMErrorTest, ContainsErrorForPositiveCodesOnly)
{
    const struct
    {
        qint64 code;
        bool contains;
    } rows[] = {{0, false}, {-1, false}, {1, true}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.code);
        EXPECT_EQ(QMError(u"D"_s, row.code).containsError(), row.contains);
    }
}

TEST(QMErrorTest, FullDescriptionLaysOutEveryField)
{
    const QMError error(u"SyncErrorDomain"_s, -4,
                        {{QMLocalizedDescriptionKey, u"File /tmp/x not found"_s},
                         {QMLocalizedFailureReasonErrorKey, u"It was removed"_s},
                         {u"path"_s, u"/tmp/x"_s}});
    EXPECT_TRUE(error.fullDescription().startsWith(
            u"<NSError "_s + QMObjectDescribing::identity(&error) + u"> {\n"_s));
    EXPECT_EQ(withoutAddresses(error.fullDescription()),
              u"<NSError 0x1> {\n"
              "\tDomain: SyncErrorDomain\n"
              "\tCode: -4\n"
              "\tDescription: File /tmp/x not found\n"
              "\tReason: It was removed\n"
              "\tUserInfo: {\n"
              "    NSLocalizedDescription = File /tmp/x not found;\n"
              "    NSLocalizedFailureReason = It was removed;\n"
              "    path = /tmp/x;\n"
              "}\n"
              "}"_s);

    // Without texts: the generic description and "(null)" for the reason.
    EXPECT_EQ(withoutAddresses(QMError(u"D"_s, 3).fullDescription()),
              u"<NSError 0x1> {\n\tDomain: D\n\tCode: 3\n"
              "\tDescription: The operation could not be completed. (D error 3.)\n"
              "\tReason: (null)\n\tUserInfo: {\n}\n}"_s);
}

TEST(QMErrorTest, ValidationErrorsCarryKeyValueAndDetails)
{
    const QMError single = QMError::validationErrorWithKey(
            u"age"_s, -3,
            {{QMLocalizedDescriptionKey, u"Too young"_s}, {QMValidationValueErrorKey, 0}});
    EXPECT_EQ(single.domain(), u"NSCocoaErrorDomain"_s);
    EXPECT_EQ(single.code(), 1550);
    EXPECT_EQ(single.userInfo(),
              (QVariantMap {{QMValidationKeyErrorKey, u"age"_s},
                            {QMValidationValueErrorKey, 0}, // the caller's entry wins
                            {QMLocalizedDescriptionKey, u"Too young"_s}}));

    const QMError second = QMError::validationErrorWithKey(u"name"_s, QMNull());
    const QMError multiple
            = QMError::multipleValidationErrorsErrorWithValidationErrors({single, second});
    EXPECT_EQ(multiple.code(), 1560);
    const QVariantList details = multiple.userInfo().value(QMDetailedErrorsKey).toList();
    ASSERT_EQ(details.size(), 2);
    EXPECT_EQ(details.at(1).value<QMError>(), second);
    // The collected errors read one line each inside the parent's description.
    EXPECT_TRUE(multiple.fullDescription().contains(
            u"NSDetailedErrors = (\n        Error Domain=NSCocoaErrorDomain Code=1550 \"Too "
            u"young\" "
            "UserInfo={\n"_s))
            << qPrintable(multiple.fullDescription());

    EXPECT_EQ(failureOf([] { (void)QMError::validationErrorWithKey(QString(), 1); }),
              u"Invalid parameter not satisfying: key"_s);
    EXPECT_EQ(failureOf([] { (void)QMError::validationErrorWithKey(u"k"_s, QVariant()); }),
              u"Invalid parameter not satisfying: value"_s);
}

TEST(QMInternalInconsistencyExceptionTest, FullDescriptionShowsWhereItWasThrown)
{
    try {
        QMParameterAssert(false, "errors");
        FAIL() << "no exception";
    } catch (const QMInternalInconsistencyException &e) {
        const QString text = e.fullDescription();
        EXPECT_TRUE(text.startsWith(u"QMInternalInconsistencyException <"_s
                                    + QMObjectDescribing::identity(&e)
                                    + u"> {\n"
                                      "\t\tname: NSInternalInconsistencyException\n"
                                      "\t\treason: Invalid parameter not satisfying: errors\n"
                                      "\t\tuserInfo: {\n}\n"
                                      "\t\tcallStack: (\n    "_s))
                << qPrintable(text);
        EXPECT_TRUE(text.endsWith(u"\n)\n\t}"_s)) << qPrintable(text);
        // QMParameterAssert threw it, from the library.
        const QStringList stack = e.callStackSymbols();
        ASSERT_FALSE(stack.isEmpty());
        EXPECT_TRUE(stack.first().contains(u"libQMFoundationCore"_s)) << qPrintable(text);
        EXPECT_EQ(QMCommon::fullDescription(e), text);
    }

    // Made in a function of this program called back from Qt: the stack starts there (the
    // library's own frames are left out) and reads Qt's exported symbols demangled.
    QObject context;
    std::optional<QMInternalInconsistencyException> made;
    QMetaObject::invokeMethod(
            &context,
            [&] {
                made.emplace(u"r"_s, QVariantMap {{u"k"_s, 1}});
            },
            Qt::DirectConnection);
    ASSERT_TRUE(made);
    const QStringList stack = made->callStackSymbols();
    ASSERT_GE(stack.size(), 2);
    EXPECT_FALSE(stack.first().contains(u"libQMFoundationCore"_s)) << qPrintable(stack.join(u'\n'));
    EXPECT_TRUE(stack.join(u'\n').contains(u"(QMetaObject::invokeMethodImpl(QObject*, "_s))
            << qPrintable(stack.join(u'\n'));
    EXPECT_TRUE(made->fullDescription().contains(
            u"\t\tuserInfo: {\n    k = 1;\n}\n\t\tcallStack: ("_s));

    // An exception of another kind has no call stack to show.
    const std::runtime_error foreign("disk full");
    EXPECT_EQ(withoutAddresses(QMCommon::fullDescription(foreign)),
              u"std::runtime_error <0x1> {\n\t\tname: std::runtime_error\n\t\treason: disk full\n"
              "\t\tuserInfo: (null)\n\t}"_s);
}
