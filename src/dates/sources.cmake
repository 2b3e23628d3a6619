set(QMF_DATES_HEADERS
    dates/ISO8601.h
    dates/QMTimestampFormatter.h
    dates/RFC3339.h
)
set(QMF_DATES_SOURCES
    dates/QMTimestampFormatter.cpp
)
