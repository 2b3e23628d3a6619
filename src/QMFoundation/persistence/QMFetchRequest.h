#pragma once

#include <QMFoundation/QMFoundationStorageExport.h>

#include <QMFoundation/persistence/QMPredicate.h>

#include <QList>
#include <QString>

/// One ordering of fetched objects by an attribute, ascending or descending. Absent values come
/// before every value when ascending; texts order by Unicode code point (the same in every
/// store); ties keep the store's order, which is the order objects were first saved in.
struct QMF_STORAGE_EXPORT QMFetchSortDescriptor
{
    /// The attribute to order by.
    QString key;
    /// False for descending order.
    bool ascending = true;

    /// A descriptor of `key` in the given direction.
    static QMFetchSortDescriptor sortDescriptorWithKey(const QString &key, bool ascending = true)
    {
        return {key, ascending};
    }
    friend bool operator==(const QMFetchSortDescriptor &, const QMFetchSortDescriptor &) = default;
};

/// What a context fetches or counts: the objects of one entity that match a predicate, in the
/// order of the sort descriptors, at most fetchLimit() of them (0: no limit). A plain value.
class QMF_STORAGE_EXPORT QMFetchRequest
{
public:
    QMFetchRequest() = default;
    /// A request for the objects of `entityName`.
    explicit QMFetchRequest(const QString &entityName)
        : m_entityName(entityName)
    { }
    /// A request for the objects of `entityName`.
    static QMFetchRequest fetchRequestWithEntityName(const QString &entityName)
    {
        return QMFetchRequest(entityName);
    }

    /// The entity whose objects are fetched.
    QString entityName() const { return m_entityName; }
    /// Sets the entity.
    void setEntityName(const QString &name) { m_entityName = name; }
    /// A null predicate matches every object.
    QMPredicate predicate() const { return m_predicate; }
    /// Sets the predicate; a null one matches every object.
    void setPredicate(const QMPredicate &predicate) { m_predicate = predicate; }
    /// The orderings, the first deciding; none leaves the store's order.
    QList<QMFetchSortDescriptor> sortDescriptors() const { return m_sortDescriptors; }
    /// Replaces the orderings.
    void setSortDescriptors(const QList<QMFetchSortDescriptor> &d) { m_sortDescriptors = d; }
    /// The most objects fetched; 0 for no limit.
    qsizetype fetchLimit() const { return m_fetchLimit; }
    /// Sets the limit; a negative one is taken as 0 (no limit).
    void setFetchLimit(qsizetype limit) { m_fetchLimit = limit < 0 ? 0 : limit; }
    /// When false, objects not yet registered in the context come back as faults: identifier
    /// only, their values read on first access. True by default.
    bool includesPropertyValues() const { return m_includesPropertyValues; }
    /// Sets whether values are read with the objects.
    void setIncludesPropertyValues(bool include) { m_includesPropertyValues = include; }

private:
    QString m_entityName;
    QMPredicate m_predicate;
    QList<QMFetchSortDescriptor> m_sortDescriptors;
    qsizetype m_fetchLimit = 0;
    bool m_includesPropertyValues = true;
};
