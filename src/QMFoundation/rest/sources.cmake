# URL and query encoding, JSON model mapping and Link-header paging, on Qt6::Core alone. The
# requests themselves are the network area's (QMFoundation::Network).
set(QMF_REST_HEADERS
    rest/HTTPMethods.h
    rest/QMCommon.h
    rest/QMQueryParams.h
    rest/QMRESTAPIJSONParser.h
    rest/QMRESTAPILinkHeaderParser.h
    rest/QMRESTAPIModel.h
    rest/QMRESTAPIModelPropertyMapping.h
    rest/QMRESTAPIModelTransformer.h
    rest/QMURLEncoding.h
    rest/QMURLTranscoding.h
)
set(QMF_REST_SOURCES
    rest/HTTPMethods.cpp
    rest/QMCommon.cpp
    rest/QMQueryParams.cpp
    rest/QMRESTAPIJSONParser.cpp
    rest/QMRESTAPILinkHeaderParser.cpp
    rest/QMRESTAPIModel.cpp
    rest/QMRESTAPIModel_p.h
    rest/QMRESTAPIModelPropertyMapping.cpp
    rest/QMURLEncoding.cpp
    rest/QMURLTranscoding.cpp
)
