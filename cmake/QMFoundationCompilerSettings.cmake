# Warning and sanitizer flags shared by every target of the project.

add_library(qmf_compiler_settings INTERFACE)
target_compile_options(qmf_compiler_settings INTERFACE -Wall -Wextra -Wpedantic
    # A local or parameter hiding a member or an outer name, a polymorphic class deleted through a
    # base without a virtual destructor, a virtual function hidden by an overload instead of
    # overridden, and an override without the keyword: GCC and clang spell all four alike.
    -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual -Wsuggest-override)
if(QMF_WARNINGS_AS_ERRORS)
    target_compile_options(qmf_compiler_settings INTERFACE -Werror)
endif()
# The strict string settings of the best Qt libraries: no implicit conversions between bytes,
# text and URLs, and QStringBuilder for concatenation. They apply to our own targets only (the
# settings are linked privately); consumers keep whatever their own build chooses.
target_compile_definitions(qmf_compiler_settings INTERFACE
    QT_USE_QSTRINGBUILDER
    QT_NO_CAST_FROM_ASCII
    QT_NO_CAST_TO_ASCII
    QT_NO_CAST_FROM_BYTEARRAY
    QT_NO_URL_CAST_FROM_STRING
    QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
    QT_NO_KEYWORDS)

# Line tables are what sanitizer reports and crash backtraces need (functions, files and lines);
# full debug information, for a debugger, costs about a quarter more compile time. CI keeps the
# lines only. GCC and clang take the last -g level, and these options follow the build type's.
if(QMF_LINE_TABLES_ONLY)
    add_compile_options(-g1)
endif()

if(QMF_SANITIZE)
    string(REPLACE ";" "," _qmf_sanitizers "${QMF_SANITIZE}")
    add_compile_options(-fsanitize=${_qmf_sanitizers} -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=${_qmf_sanitizers})
endif()

# Applies the project's warnings to a target without exporting them to consumers.
function(qmf_apply_compiler_settings target)
    target_link_libraries(${target} PRIVATE $<BUILD_INTERFACE:qmf_compiler_settings>)
endfunction()

# qmf_apply_clazy(<target>): with QMF_CLAZY, clang loads clazy, the static analysis of Qt code,
# while compiling <target> and runs its default checks (levels 0 and 1). Its findings are
# warnings, so errors with QMF_WARNINGS_AS_ERRORS. CI builds the libraries with clang once anyway
# (the fuzz preset), so the checks cost only their own time, not another compile. A finding that
# is right as written is kept with `// clazy:exclude=<check>` and the reason, on its line.
function(qmf_apply_clazy target)
    if(NOT QMF_CLAZY)
        return()
    endif()
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR "QMF_CLAZY needs clang (CMAKE_CXX_COMPILER=clang++)")
    endif()
    find_file(QMF_CLAZY_PLUGIN ClazyPlugin.so
        PATHS /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE} /usr/lib /usr/local/lib
        DOC "clazy's clang plugin")
    if(NOT QMF_CLAZY_PLUGIN)
        message(FATAL_ERROR "QMF_CLAZY: ClazyPlugin.so not found (install clazy)")
    endif()
    target_compile_options(${target} PRIVATE
        "SHELL:-Xclang -load -Xclang ${QMF_CLAZY_PLUGIN}"
        "SHELL:-Xclang -add-plugin -Xclang clazy"
        "SHELL:-Xclang -plugin-arg-clazy -Xclang level1")
endfunction()

# Most of a file's compile time is spent in Qt's and the standard library's headers, the same few
# in nearly every file. Targets with many files precompile them once (about a quarter of the build
# time). The fuzz preset builds the libraries without, which keeps every file including what it
# uses instead of relying on the precompiled set.
set(QMF_PRECOMPILED_HEADERS
    <QByteArray> <QDateTime> <QHash> <QList> <QMap> <QObject> <QString> <QStringList> <QUrl>
    <QVariant> <QVariantMap>
    <algorithm> <atomic> <functional> <memory> <mutex> <optional> <string> <utility> <vector>)

# qmf_precompile_headers(<target> [TESTS]): precompiles the common headers for <target>, and
# GoogleTest's too for TESTS. Targets of a few files gain nothing: building the header costs as
# much as several files.
function(qmf_precompile_headers target)
    cmake_parse_arguments(ARG "TESTS" "" "" ${ARGN})
    if(NOT QMF_PRECOMPILE_HEADERS)
        return()
    endif()
    set(headers ${QMF_PRECOMPILED_HEADERS})
    if(ARG_TESTS)
        list(APPEND headers <gtest/gtest.h>)
    endif()
    target_precompile_headers(${target} PRIVATE ${headers})
endfunction()
