#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QObject>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <functional>
#include <memory>

// Key-value observation of QObject properties: the service that JXKVONotificationCenter stands
// on. Qt has properties with NOTIFY signals but no observation service; this layer turns a
// NOTIFY emission into a change record.
//
// Rules a caller can trip over:
// - A key path names a Q_PROPERTY with a NOTIFY signal. A dotted path ("owner.name") follows
//   QObject*-valued properties, each with a NOTIFY signal of its own, and re-attaches to the new
//   intermediate object whenever one of them changes. A path that names no property, a property
//   without NOTIFY, or a non-QObject* property before the last component is a programming error
//   (QMInternalInconsistencyException), never an observation that silently never fires.
// - Delivery is synchronous, on the thread that emitted the NOTIFY signal, in the order the
//   observations of that signal were made. A record with values, or a dotted path, is made under
//   the observation's lock, so a getter on the path must not emit a NOTIFY signal of that path
//   itself (the same thread would wait for its own lock). An observation made by a handler
//   during an emission is delivered from the next emission on.
// - Qt signals carry no old value: the layer keeps the value it last read for each observation
//   and reports it as "old". Prior notifications cannot be had from a signal emitted after the
//   change, so QMKeyValueObservingOptionPrior is accepted and no prior notification is ever
//   sent.
// - Once remove() has returned, no delivery of that observation starts, and none is still
//   running on another thread. A remove() from inside the observation's own handler, on the
//   same thread, returns without waiting for that handler.

/// Keys of a change record (a QVariantMap).
QMF_CORE_EXPORT extern const QString QMKeyValueChangeKindKey;
/// "new": the value after the change, with QMKeyValueObservingOptionNew.
QMF_CORE_EXPORT extern const QString QMKeyValueChangeNewKey;
/// "old": the value before the change (the one last read), with QMKeyValueObservingOptionOld.
QMF_CORE_EXPORT extern const QString QMKeyValueChangeOldKey;
/// "indexes": the changed positions (QMIndexSet) of an ordered to-many change.
QMF_CORE_EXPORT extern const QString QMKeyValueChangeIndexesKey;
/// "notificationIsPrior": true in a prior notification, which Qt signals never give.
QMF_CORE_EXPORT extern const QString QMKeyValueChangeNotificationIsPriorKey;

/// The kinds of change, the value of QMKeyValueChangeKindKey (as a quint64).
enum QMKeyValueChange : quint64 {
    QMKeyValueChangeSetting = 1,
    QMKeyValueChangeInsertion = 2,
    QMKeyValueChangeRemoval = 3,
    QMKeyValueChangeReplacement = 4,
};

/// Options of an observation (bits 0 to 30; bits 4 to 30 are accepted and ignored).
enum QMKeyValueObservingOption : quint64 {
    /// The change record carries the new value.
    QMKeyValueObservingOptionNew = 0x01,
    /// The change record carries the value read at the previous delivery (or at registration).
    QMKeyValueObservingOptionOld = 0x02,
    /// One notification is delivered during registration, with the current value as "new".
    QMKeyValueObservingOptionInitial = 0x04,
    /// Accepted; prior notifications are never sent (see above).
    QMKeyValueObservingOptionPrior = 0x08,
};

/// Called for each change: the observation's key path, the object it observes and the change.
using QMKeyValueChangeHandler
        = std::function<void(const QString &keyPath, QObject *object, const QVariantMap &change)>;

/// One observation of one key path of one object, made by QMKeyValueObserving::observe().
///
/// Threads: every member may be called from any thread. Destroying the last reference removes
/// the observation, as remove() does.
class QMF_CORE_EXPORT QMKeyValueObservation
{
public:
    ~QMKeyValueObservation();
    QMKeyValueObservation(const QMKeyValueObservation &) = delete;
    QMKeyValueObservation &operator=(const QMKeyValueObservation &) = delete;

    /// The observed object (never dereferenced by the layer after removal).
    QObject *object() const;
    /// The observed key path.
    QString keyPath() const;
    /// The QMKeyValueObservingOptions the observation was made with.
    quint64 options() const;
    /// True once the observation was removed.
    bool isRemoved() const;

    /// Stops the observation; harmless when already removed. When it returns, no delivery of
    /// this observation runs on any other thread and none will start. Safe after the observed
    /// object's destruction. Called from inside this observation's handler it does not wait
    /// for that handler (it could not finish otherwise).
    void remove();

    struct Registration;

private:
    friend class QMKeyValueObserving;
    explicit QMKeyValueObservation(std::shared_ptr<Registration> registration);
    std::shared_ptr<Registration> d;
};

/// Entry point of the layer.
class QMF_CORE_EXPORT QMKeyValueObserving
{
public:
    /// Observes `keyPath` of `object` and calls `handler` for each change, with a change record
    /// of kind QMKeyValueChangeSetting holding "new" and "old" as `options` ask. With
    /// QMKeyValueObservingOptionInitial the handler is called once before this returns.
    ///
    /// Throws QMInternalInconsistencyException with "Invalid parameter not satisfying: object"
    /// and "Invalid parameter not satisfying: handler" for missing arguments, "Key-value
    /// observation options use bits above 30: 0x<hex>" for options of bit 31 and above, and, for a
    /// bad key path, one of (Class being the class the component was looked up in):
    ///   "Class has no property \"name\" (key path \"path\")"
    ///   "Property \"name\" of Class has no NOTIFY signal (key path \"path\")"
    ///   "Property \"name\" of Class is not a QObject pointer, so key path \"path\" cannot go on"
    ///   "Key path \"path\" has an empty component"
    static std::shared_ptr<QMKeyValueObservation> observe(QObject *object, const QString &keyPath,
                                                          quint64 options,
                                                          QMKeyValueChangeHandler handler);

    /// Observes as the form above does, with `handler` run on `context`'s thread, as
    /// QObject::connect() with a context delivers: at once when the change is emitted on that
    /// thread, else queued to that thread's event loop. A queued call gets the change record
    /// made when the change happened, on the emitting thread ("new" and "old" are the values
    /// read then, not when the handler runs; each change its own record, in order), and the
    /// observed object's pointer as it was: the layer does not keep that object alive, so a
    /// handler that may outlive it guards it itself. With QMKeyValueObservingOptionInitial
    /// called from another thread, the initial call is queued too.
    ///
    /// The observation is removed, on the destroying thread, when `context` is destroyed: no
    /// call of the handler starts after that, also not one already queued. Keep the returned
    /// observation as for the form above (dropping it removes the observation too); remove()
    /// keeps its guarantees, a queued call counting as a delivery. Call it while `context`
    /// lives; any thread.
    ///
    ///     m_titleObservation = QMKeyValueObserving::observe(
    ///             document, u"title"_s, QMKeyValueObservingOptionNew, this,
    ///             [this](const QString &, QObject *, const QVariantMap &change) {
    ///                 setWindowTitle(change.value(QMKeyValueChangeNewKey).toString());
    ///             });
    ///
    /// Throws as the form above does, and "Invalid parameter not satisfying: context" without a
    /// context.
    static std::shared_ptr<QMKeyValueObservation> observe(QObject *object, const QString &keyPath,
                                                          quint64 options, QObject *context,
                                                          QMKeyValueChangeHandler handler);

    /// Checks `keyPath` against `metaObject` as observe() does, throwing the same messages.
    static void checkKeyPath(const QMetaObject *metaObject, const QString &keyPath);

    /// The current value at `keyPath` of `object`, following intermediate objects; an invalid
    /// QVariant where an intermediate object is null.
    static QVariant valueForKeyPath(QObject *object, const QString &keyPath);
};
