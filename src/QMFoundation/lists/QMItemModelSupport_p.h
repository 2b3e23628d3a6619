#pragma once

#include <QMFoundation/errors/QMInternalInconsistencyException.h>

#include <QByteArray>
#include <QHash>
#include <QVariant>

#include <utility>

// Marks an item model as reporting a change for as long as it lives: the model refuses changes
// asked for meanwhile (from a slot, its update handler or its delegate).
class QMChangingScope
{
public:
    explicit QMChangingScope(bool &changing)
        : m_changing(changing)
    {
        m_changing = true;
    }
    ~QMChangingScope() { m_changing = false; }
    QMChangingScope(const QMChangingScope &) = delete;
    QMChangingScope &operator=(const QMChangingScope &) = delete;

private:
    bool &m_changing;
};

// The host's own roles of an item model (QMListModel, QMTreeModel): their names and the function
// that answers them, beside the model's display and identifier roles.
template<typename Item, typename RoleFunction>
class QMModelRoles
{
public:
    // Takes the host's roles, after checking that they leave the model's own two alone.
    void set(const QHash<int, QByteArray> &names, RoleFunction function, int identifierRole)
    {
        QMParameterAssert(
                !names.contains(Qt::DisplayRole) && !names.contains(identifierRole),
                "!roleNames.contains(Qt::DisplayRole) && !roleNames.contains(IdentifierRole)");
        QMParameterAssert(names.isEmpty() || function, "roleNames.isEmpty() || function");
        m_names = names;
        m_function = std::move(function);
    }

    const QHash<int, QByteArray> &provided() const { return m_names; }

    // Every role name of the model: the host's, "display" and "identifier".
    QHash<int, QByteArray> names(int identifierRole) const
    {
        QHash<int, QByteArray> names = m_names;
        names.insert(Qt::DisplayRole, QByteArrayLiteral("display"));
        names.insert(identifierRole, QByteArrayLiteral("identifier"));
        return names;
    }

    // The value of one of the host's roles; none for a role the host did not name.
    QVariant value(const Item &item, int role) const
    {
        return m_function && m_names.contains(role) ? m_function(item, role) : QVariant();
    }

private:
    QHash<int, QByteArray> m_names;
    RoleFunction m_function;
};
