set(QMF_OBSERVATION_HEADERS
    observation/QMNotification.h
    observation/QMNotificationCenter.h
)
set(QMF_OBSERVATION_SOURCES
    observation/QMNotification.cpp
    observation/QMNotificationCenter.cpp
)
