# --- Key-value observation and the key-value notification center ---
set(QMF_OBSERVATION_KVO_HEADERS
    observation/JXKVOKeyPathSet.h
    observation/JXKVONotification.h
    observation/JXKVONotificationCategory.h
    observation/JXKVONotificationCenter.h
    observation/QMKeyValueObserving.h
)
set(QMF_OBSERVATION_KVO_SOURCES
    observation/JXKVONotification.cpp
    observation/JXKVONotificationCategory.cpp
    observation/JXKVONotificationCenter.cpp
    observation/QMKeyValueObserving.cpp
)
# --- end of key-value observation ---

set(QMF_OBSERVATION_HEADERS ${QMF_OBSERVATION_HEADERS} ${QMF_OBSERVATION_KVO_HEADERS})
set(QMF_OBSERVATION_SOURCES ${QMF_OBSERVATION_SOURCES} ${QMF_OBSERVATION_KVO_SOURCES})
