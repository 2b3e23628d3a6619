# The request operation and the client: the part of the REST area that needs Qt6::Network, built
# into the QMFoundation::Network library.
set(QMF_REST_NETWORK_HEADERS
    rest/QMHTTPURLResponse.h
    rest/QMRESTAPIClient.h
    rest/QMRESTAPIRequestOperation.h
    rest/QMRESTAPIResponse.h
)
set(QMF_REST_NETWORK_SOURCES
    rest/QMRESTAPIClient.cpp
    rest/QMRESTAPIRequestOperation.cpp
)
