set(QMF_OPERATIONS_HEADERS
    operations/QMSeparator.h
)
set(QMF_OPERATIONS_SOURCES
    operations/QMSeparator.cpp
)
