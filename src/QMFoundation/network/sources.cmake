# HTTP requests: the request operation and the REST client, built into the QMFoundation::Network
# library on Qt6::Network. The encodings, model mapping and paging they use are the rest area's
# (QMFoundation::Core).
set(QMF_NETWORK_HEADERS
    network/QMHTTPURLResponse.h
    network/QMRESTAPIClient.h
    network/QMRESTAPIRequestOperation.h
    network/QMRESTAPIResponse.h
)
set(QMF_NETWORK_SOURCES
    network/QMRESTAPIClient.cpp
    network/QMRESTAPIRequestOperation.cpp
)
