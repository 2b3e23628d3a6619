#include <QMFoundation/persistence/QMPersistenceError.h>

using namespace Qt::StringLiterals;

const QString QMPersistenceErrorDomain = u"QMPersistenceErrorDomain"_s;
const QString QMPersistentStoreURLErrorKey = u"QMPersistentStoreURL"_s;
const QString QMPersistentStoreSaveConflictsErrorKey = u"QMPersistentStoreSaveConflicts"_s;
const QString QMFilePathErrorKey = u"QMFilePath"_s;
