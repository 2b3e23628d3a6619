# URL and query encoding, JSON model mapping and Link-header paging: the parts of the REST area
# that need only Qt6::Core. The request operation and the client build the Network library.
set(QMF_REST_HEADERS
    rest/HTTPMethods.h
    rest/QMCommon.h
    rest/QMQueryParams.h
    rest/QMRESTAPILinkHeaderParser.h
    rest/QMURLEncoding.h
    rest/QMURLTranscoding.h
)
set(QMF_REST_SOURCES
    rest/HTTPMethods.cpp
    rest/QMCommon.cpp
    rest/QMQueryParams.cpp
    rest/QMRESTAPILinkHeaderParser.cpp
    rest/QMURLEncoding.cpp
    rest/QMURLTranscoding.cpp
)
