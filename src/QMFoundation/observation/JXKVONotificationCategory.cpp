#include <QMFoundation/observation/JXKVONotificationCategory.h>

namespace JXKVONotificationCategory {

namespace {
JXKVONotificationCenter *center()
{
    return JXKVONotificationCenter::defaultCenter();
}
} // namespace

std::shared_ptr<JXKVOObservation> addObserver(QObject *self, QObject *observer,
                                              const JXKVOKeyPathSet &keyPaths,
                                              const QByteArray &selector, const QVariant &userInfo,
                                              quint64 options)
{
    return center()->addObserver(observer, self, keyPaths, selector, userInfo, options);
}

std::shared_ptr<JXKVOObservation> observeTarget(QObject *self, QObject *target,
                                                const JXKVOKeyPathSet &keyPaths,
                                                const QByteArray &selector,
                                                const QVariant &userInfo, quint64 options)
{
    return center()->addObserver(self, target, keyPaths, selector, userInfo, options);
}

std::shared_ptr<JXKVOObservation> addObservationKeyPath(QObject *self,
                                                        const JXKVOKeyPathSet &keyPaths,
                                                        quint64 options, JXKVOBlock block)
{
    return center()->addObserver(nullptr, self, keyPaths, options, std::move(block));
}

std::shared_ptr<JXKVOObservation> addObserver(QObject *self, QObject *observer,
                                              const JXKVOKeyPathSet &keyPaths, quint64 options,
                                              JXKVOBlock block)
{
    return center()->addObserver(observer, self, keyPaths, options, std::move(block));
}

std::shared_ptr<JXKVOObservation> observeTarget(QObject *self, QObject *target,
                                                const JXKVOKeyPathSet &keyPaths, quint64 options,
                                                JXKVOBlock block)
{
    return center()->addObserver(self, target, keyPaths, options, std::move(block));
}

void removeAllObservers(QObject *self)
{
    center()->removeObserver(nullptr, self);
}

void stopObservingAllTargets(QObject *self)
{
    center()->removeObserver(self, nullptr);
}

void removeObserver(QObject *self, QObject *observer, const JXKVOKeyPathSet &keyPaths,
                    const QByteArray &selector)
{
    center()->removeObserver(observer, self, keyPaths, selector);
}

void stopObserving(QObject *self, QObject *target, const JXKVOKeyPathSet &keyPaths,
                   const QByteArray &selector)
{
    center()->removeObserver(self, target, keyPaths, selector);
}

} // namespace JXKVONotificationCategory
