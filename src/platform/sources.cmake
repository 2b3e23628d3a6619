# File and system utilities: temporary files, URL canonical forms, the system version, standard
# directories, bundles, MIME types, aliases (symbolic links), invocations by name and small
# helpers.
set(QMF_PLATFORM_HEADERS
    platform/QMBundle.h
    platform/QMDictionary.h
    platform/QMFileManager.h
    platform/QMInvocation.h
    platform/QMProcessInfo.h
    platform/QMSystem.h
    platform/QMURLPaths.h
)
set(QMF_PLATFORM_SOURCES
    platform/QMBundle.cpp
    platform/QMDictionary.cpp
    platform/QMFileManager.cpp
    platform/QMInvocation.cpp
    platform/QMProcessInfo.cpp
    platform/QMSystem.cpp
    platform/QMURLPaths.cpp
)
