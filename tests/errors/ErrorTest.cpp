#include "errors/QMError.h"
#include "errors/QMInternalInconsistencyException.h"
#include "errors/QMNull.h"

#include <gtest/gtest.h>

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
            {QStringLiteral("My%1Domain"), 42,
             QStringLiteral("The operation could not be completed. (My%1Domain error 42.)")},
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

TEST(QMErrorTest, SetErrorHonoursAbsentOutParameter)
{
    QMSetError(nullptr, QMError(QStringLiteral("D"), 1)); // must not crash
    QMError out;
    QMSetError(&out, QMError(QStringLiteral("D"), 1));
    EXPECT_EQ(out, QMError(QStringLiteral("D"), 1));
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
