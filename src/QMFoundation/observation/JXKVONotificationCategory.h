#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>
#include <QMFoundation/observation/JXKVONotificationCenter.h>

// Short forms of registration and removal for any QObject, each forwarding to
// JXKVONotificationCenter::defaultCenter(). The receiver comes first: `self` is the target in
// the addObserver/removeObserver forms and the observer in the observeTarget/stopObserving
// forms.
//
// Why a namespace with its own name: these functions are an extension group of QObject, and the
// library names extension groups after the group, but this group's name is also the name of the
// record class JXKVONotification, and C++ cannot have a namespace and a class of one name in one
// scope. Static members of the record class would mix a value type with registration, so the
// group keeps its name and says what it is: JXKVONotificationCategory.
namespace JXKVONotificationCategory {

/// add(observer, self, keyPaths, selector, userInfo, options).
QMF_CORE_EXPORT std::shared_ptr<JXKVOObservation>
addObserver(QObject *self, QObject *observer, const JXKVOKeyPathSet &keyPaths,
            const QByteArray &selector, const QVariant &userInfo, quint64 options);
/// add(self, target, keyPaths, selector, userInfo, options).
QMF_CORE_EXPORT std::shared_ptr<JXKVOObservation>
observeTarget(QObject *self, QObject *target, const JXKVOKeyPathSet &keyPaths,
              const QByteArray &selector, const QVariant &userInfo, quint64 options);
/// add with a block, without an observer: (nullptr, self, keyPaths, options, block). Such an
/// observation ends by remove(), by a removal naming `self` as target, or when `self` is
/// destroyed.
QMF_CORE_EXPORT std::shared_ptr<JXKVOObservation>
addObservationKeyPath(QObject *self, const JXKVOKeyPathSet &keyPaths, quint64 options,
                      JXKVOBlock block);
/// add with a block: (observer, self, keyPaths, options, block).
QMF_CORE_EXPORT std::shared_ptr<JXKVOObservation> addObserver(QObject *self, QObject *observer,
                                                              const JXKVOKeyPathSet &keyPaths,
                                                              quint64 options, JXKVOBlock block);
/// add with a block: (self, target, keyPaths, options, block).
QMF_CORE_EXPORT std::shared_ptr<JXKVOObservation> observeTarget(QObject *self, QObject *target,
                                                                const JXKVOKeyPathSet &keyPaths,
                                                                quint64 options, JXKVOBlock block);

/// remove(any observer, self, any key paths, any selector).
QMF_CORE_EXPORT void removeAllObservers(QObject *self);
/// remove(self, any target, any key paths, any selector). An observer that may be destroyed
/// while its targets change on other threads calls this in its own destructor.
QMF_CORE_EXPORT void stopObservingAllTargets(QObject *self);
/// remove(observer, self, keyPaths, selector); a null selector matches any.
QMF_CORE_EXPORT void removeObserver(QObject *self, QObject *observer,
                                    const JXKVOKeyPathSet &keyPaths,
                                    const QByteArray &selector = QByteArray());
/// remove(self, target, keyPaths, selector); a null selector matches any.
QMF_CORE_EXPORT void stopObserving(QObject *self, QObject *target, const JXKVOKeyPathSet &keyPaths,
                                   const QByteArray &selector = QByteArray());

} // namespace JXKVONotificationCategory
