#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>
#include <QMFoundation/observation/JXKVOKeyPathSet.h>
#include <QMFoundation/observation/JXKVONotification.h>

#include <QByteArray>
#include <QObject>
#include <QVariant>

#include <functional>
#include <memory>
#include <optional>

/// Options bit 31: the observation is not removed when its observer or target is destroyed;
/// the caller removes it. The center keeps this bit (and every higher one) to itself: the
/// observation layer receives the options with bits 31 and above cleared, bits 0 to 30 as given
/// (QMKeyValueObservingOptionNew, Old, Initial, Prior).
inline constexpr quint64 JXKVOOptionNoAutomaticRemoval = quint64(1) << 31;

/// The block of a block observation.
using JXKVOBlock = std::function<void(const JXKVONotification &)>;

/// An observation made by the notification center.
///
/// The observer's and the target's observation sets own it, so the token that registration
/// returns need not be kept; holding it keeps the object, not the observation, alive.
class QMF_CORE_EXPORT JXKVOObservation
{
public:
    virtual ~JXKVOObservation();
    /// True until the observation is removed, in whichever way.
    virtual bool isValid() const = 0;
    /// Removes the observation; harmless when it is already removed. Once it returns no
    /// delivery of the observation starts, and none is still running on another thread (a call
    /// from inside the observation's own callback does not wait for that callback). Two
    /// callbacks running at once on two threads that each remove the other's observation wait
    /// for each other for ever: a callback removes its own observation, or ones it knows are
    /// not being delivered.
    virtual void remove() = 0;
};

/// Observes QObject properties and tells an observer, by a method called by name or by a block.
///
/// Targets and observers are QObjects; key paths name Q_PROPERTYs with NOTIFY signals (rules in
/// observation/QMKeyValueObserving.h). Notifications are delivered synchronously on the thread
/// that changed the property. An observation is removed by remove(), by a matching
/// removeObserver(), or when its observer or its target is destroyed (unless registered with
/// JXKVOOptionNoAutomaticRemoval).
///
/// Destruction is noticed through QObject::destroyed, which Qt emits only after the derived
/// class's destructor has run: an observer destroyed on one thread while its target may change
/// on another must stop observing in its own destructor
/// (JXKVONotificationCategory::stopObservingAllTargets(this)), since a delivery could otherwise
/// reach its half-destroyed object.
///
/// Threads: every member may be called from any thread.
class QMF_CORE_EXPORT JXKVONotificationCenter
{
public:
    /// The one center of the process, made on first use.
    static JXKVONotificationCenter *defaultCenter();

    /// Observes `keyPaths` of `target` and calls `observer`'s method `selector` for each change
    /// with (QString keyPath, QObject *object, QVariantMap change, QVariant userInfo): a
    /// Q_INVOKABLE method or slot taking exactly these four types.
    ///
    /// Throws "Invalid parameter not satisfying: target", "Invalid parameter not satisfying:
    /// observer" (a selector needs an observer), "Invalid parameter not satisfying: selector",
    /// "<Class> has no method <selector>(QString,QObject*,QVariantMap,QVariant) to receive
    /// key-value notifications", and the key-path errors of QMKeyValueObserving::observe().
    std::shared_ptr<JXKVOObservation> addObserver(QObject *observer, QObject *target,
                                                  const JXKVOKeyPathSet &keyPaths,
                                                  const QByteArray &selector,
                                                  const QVariant &userInfo, quint64 options);
    /// As above, observing each element of `targets` that is in the list now (elements added
    /// later are not observed); the changed object reported is the element.
    std::shared_ptr<JXKVOObservation> addObserver(QObject *observer, const QObjectList &targets,
                                                  const JXKVOKeyPathSet &keyPaths,
                                                  const QByteArray &selector,
                                                  const QVariant &userInfo, quint64 options);
    /// Observes `keyPaths` of `target` and calls `block` with a JXKVONotification for each
    /// change. `observer` may be null; it is reported in the notification and its destruction
    /// removes the observation. Throws "Invalid parameter not satisfying: target" and
    /// "Invalid parameter not satisfying: block", and the key-path errors.
    std::shared_ptr<JXKVOObservation> addObserver(QObject *observer, QObject *target,
                                                  const JXKVOKeyPathSet &keyPaths, quint64 options,
                                                  JXKVOBlock block);
    /// As above, observing each element of `targets` that is in the list now; the changed object
    /// reported is the element.
    std::shared_ptr<JXKVOObservation> addObserver(QObject *observer, const QObjectList &targets,
                                                  const JXKVOKeyPathSet &keyPaths, quint64 options,
                                                  JXKVOBlock block);

    /// Removes every observation of `observer`'s and `target`'s sets that matches all given
    /// arguments: the very observer, the very target, exactly the same set of key paths, the
    /// same method name; a null pointer, std::nullopt or a null QByteArray matches anything.
    /// Throws "Invalid parameter not satisfying: observer || target" when both are null.
    /// Observations of list targets are matched through their observer only (a list has no
    /// identity); pass a null target to reach them.
    void removeObserver(QObject *observer, QObject *target,
                        const std::optional<JXKVOKeyPathSet> &keyPaths = std::nullopt,
                        const QByteArray &selector = QByteArray());

    /// observation->remove(); nothing for a null observation.
    void removeObservation(const std::shared_ptr<JXKVOObservation> &observation);

private:
    JXKVONotificationCenter() = default;
};
