set(QMF_VALUES_HEADERS
    values/QMValueTransformer.h
)
set(QMF_VALUES_SOURCES
    values/QMValueTransformer.cpp
)
