#pragma once

// Internal: not installed. The argument checks every class-level function of the models and
// the JSON parser makes.

class QMetaObject;

/// Throws "Invalid parameter not satisfying: modelClass" for nullptr and "... [modelClass
/// isSubclassOfClass:[QMRESTAPIModel class]]" for a class that does not derive from
/// QMRESTAPIModel.
void QMRESTAPIModelCheckClass(const QMetaObject *modelClass);
