#pragma once

#include <QSet>
#include <QString>
#include <QStringList>

/// The key paths of an observation, as a set of strings.
///
/// Every operation of the notification center that takes key paths takes one of these, so a
/// single key path (a QString or a string literal), a QStringList and a QSet<QString> can be
/// passed alike. A list becomes the set of its strings: its order and repetitions do not count,
/// so a removal naming {"a", "b"} as a list matches an observation registered with them as a
/// set.
class JXKVOKeyPathSet
{
public:
    JXKVOKeyPathSet() = default;
    /// The set of one key path.
    JXKVOKeyPathSet(const QString &keyPath)
        : m_keyPaths {keyPath}
    { }
    /// The set of one key path given in UTF-8.
    JXKVOKeyPathSet(const char *keyPath)
        : m_keyPaths {QString::fromUtf8(keyPath)}
    { }
    /// The set of the list's key paths.
    JXKVOKeyPathSet(const QStringList &keyPaths)
        : m_keyPaths(keyPaths.begin(), keyPaths.end())
    { }
    /// The set of the given key paths.
    JXKVOKeyPathSet(const QSet<QString> &keyPaths)
        : m_keyPaths(keyPaths)
    { }
    /// The set of the given key paths.
    JXKVOKeyPathSet(std::initializer_list<QString> keyPaths)
        : m_keyPaths(keyPaths)
    { }

    /// The key paths as a set of strings.
    const QSet<QString> &keyPathsAsSetOfStrings() const { return m_keyPaths; }

    friend bool operator==(const JXKVOKeyPathSet &, const JXKVOKeyPathSet &) = default;

private:
    QSet<QString> m_keyPaths;
};
