# File and system utilities: temporary files, URL canonical forms, the system version, standard
# directories, bundles, MIME types, aliases (symbolic links), invocations by name and small
# helpers; network reachability from the kernel's routing table.
set(QMF_PLATFORM_HEADERS
    platform/QMBundle.h
    platform/QMDictionary.h
    platform/QMFileManager.h
    platform/QMInvocation.h
    platform/QMNetworkReachability.h
    platform/QMNetworkReachabilityHandle.h
    platform/QMNetworkReachabilityObserver.h
    platform/QMProcessInfo.h
    platform/QMSystem.h
    platform/QMURLPaths.h
)
set(QMF_PLATFORM_SOURCES
    platform/QMBundle.cpp
    platform/QMDictionary.cpp
    platform/QMDeadline_p.h
    platform/QMFileLock.cpp
    platform/QMFileLock_p.h
    platform/QMFileManager.cpp
    platform/QMInvocation.cpp
    platform/QMNetlink.cpp
    platform/QMNetlink_p.h
    platform/QMNetworkReachability.cpp
    platform/QMNetworkReachabilityHandle.cpp
    platform/QMNetworkReachabilityObserver.cpp
    platform/QMProcessInfo.cpp
    platform/QMSystem.cpp
    platform/QMURLPaths.cpp
)
