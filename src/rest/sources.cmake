# URL and query encoding, JSON model mapping and Link-header paging: the parts of the REST area
# that need only Qt6::Core. The request operation and the client build the Network library.
set(QMF_REST_HEADERS
    rest/QMRESTAPIJSONParser.h
    rest/QMRESTAPIModel.h
    rest/QMRESTAPIModelPropertyMapping.h
    rest/QMRESTAPIModelTransformer.h
)
set(QMF_REST_SOURCES
    rest/QMRESTAPIJSONParser.cpp
    rest/QMRESTAPIModel.cpp
    rest/QMRESTAPIModel_p.h
    rest/QMRESTAPIModelPropertyMapping.cpp
)
