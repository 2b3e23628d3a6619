#include "QMFoundation/persistence/QMEntityBuilder_p.h"

#include <QCryptographicHash>

#include <cstring>

qsizetype QMEntityDescription::indexOfAttribute(const QString &name) const
{
    // Entities have a handful of attributes; a scan beats hashing at that size. Names of one
    // length often differ in their first letter, which is checked before the whole text.
    const qsizetype size = name.size();
    for (qsizetype i = 0; i < m_attributes.size(); ++i) {
        const QString &candidate = m_attributes.at(i).name;
        if (candidate.size() == size && (size == 0 || candidate.front() == name.front())
            && std::memcmp(candidate.constData(), name.constData(), size_t(size) * sizeof(QChar))
                    == 0)
            return i;
    }
    return -1;
}

const QMAttributeDescription *QMEntityDescription::attributeNamed(const QString &name) const
{
    const qsizetype i = indexOfAttribute(name);
    return i < 0 ? nullptr : &m_attributes.at(i);
}

QStringList QMEntityDescription::attributeNames() const
{
    QStringList names;
    names.reserve(m_attributes.size());
    for (const QMAttributeDescription &a : m_attributes)
        names.append(a.name);
    return names;
}

QMEntityDescription QMMakeEntityDescription(const QString &name,
                                            const QList<QMAttributeDescription> &attributes)
{
    QMEntityDescription entity;
    entity.m_name = name;
    entity.m_attributes = attributes;
    entity.m_defaultValues.reserve(attributes.size());
    for (const QMAttributeDescription &a : attributes)
        entity.m_defaultValues.append(a.defaultValue);
    entity.m_absentValues.resize(attributes.size());
    QStringList lines;
    for (const QMAttributeDescription &a : attributes)
        lines.append(QString::fromLatin1(a.versionHash().toHex()));
    lines.sort();
    lines.prepend(name);
    entity.m_hash
            = QCryptographicHash::hash(lines.join(u'\n').toUtf8(), QCryptographicHash::Sha256);
    return entity;
}
