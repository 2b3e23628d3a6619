#include "support/Failures.h"
#include <QMFoundation/values/QMValueTransformer.h>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using TestSupport::failureOf;

namespace {

// A host's transformer: text to its length; it does not reverse.
class LengthTransformer : public QMValueTransformer
{
public:
    QMetaType transformedValueClass() const override { return QMetaType::fromType<qsizetype>(); }
    QVariant transformedValue(const QVariant &value) const override
    {
        return value.metaType() == QMetaType::fromType<QString>()
                ? QVariant(value.value<QString>().size())
                : QVariant();
    }
};

} // namespace

TEST(ValueTransformerRegistryTest, LibraryTransformersAreRegisteredByName)
{
    const QStringList names = QMValueTransformer::valueTransformerNames();
    for (const QString &name :
         {u"NSDateToRelativeDateStringTransformer"_s,
          u"NSDateToRelativeDateStringWithTimeTransformer"_s, u"NSNumberToBoolTransformer"_s,
          u"NSStringToISO8601DateTransformer"_s, u"NSStringToNSURLTransformer"_s,
          u"NSStringToRFC3339DateTransformer"_s, u"QMTimeagoTransformer"_s}) {
        SCOPED_TRACE(name.toStdString());
        EXPECT_TRUE(names.contains(name));
        EXPECT_NE(QMValueTransformer::valueTransformerForName(name), nullptr);
    }
    // Each lookup makes a new transformer.
    const QString name = u"NSNumberToBoolTransformer"_s;
    EXPECT_NE(QMValueTransformer::valueTransformerForName(name),
              QMValueTransformer::valueTransformerForName(name));
    for (const QString &unknown :
         {u"nsnumbertobooltransformer"_s, u"NoSuchTransformer"_s, u""_s, QString()}) {
        SCOPED_TRACE(unknown.toStdString());
        EXPECT_EQ(QMValueTransformer::valueTransformerForName(unknown), nullptr);
    }
}

TEST(ValueTransformerRegistryTest, HostsRegisterReplaceAndRemove)
{
    const QString name = u"LengthTransformer"_s;
    QMValueTransformer::setValueTransformerClass<LengthTransformer>(name);
    auto length = QMValueTransformer::valueTransformerForName(name);
    ASSERT_TRUE(length);
    EXPECT_EQ(length->transformedValue(u"four"_s), QVariant(qsizetype(4)));
    EXPECT_FALSE(length->allowsReverseTransformation());
    EXPECT_FALSE(length->reverseTransformedValue(4).isValid());

    // A host may put its own transformer in place of the library's.
    const QString libraryName = u"NSNumberToBoolTransformer"_s;
    QMValueTransformer::setValueTransformerClass<LengthTransformer>(libraryName);
    EXPECT_EQ(QMValueTransformer::valueTransformerForName(libraryName)->transformedValue(u"ab"_s),
              QVariant(qsizetype(2)));

    QMValueTransformer::setValueTransformerFactory(name, {});
    EXPECT_EQ(QMValueTransformer::valueTransformerForName(name), nullptr);
    EXPECT_FALSE(QMValueTransformer::valueTransformerNames().contains(name));

    for (const QString &bad : {u""_s, QString()})
        EXPECT_EQ(failureOf([&] {
                      QMValueTransformer::setValueTransformerClass<LengthTransformer>(bad);
                  }),
                  u"Invalid parameter not satisfying: name != nil"_s);
}
