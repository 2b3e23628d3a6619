# Warning and sanitizer flags shared by every target of the project.

add_library(qmf_compiler_settings INTERFACE)
target_compile_options(qmf_compiler_settings INTERFACE -Wall -Wextra -Wpedantic)
target_compile_definitions(qmf_compiler_settings INTERFACE
    QT_NO_CAST_FROM_ASCII
    QT_NO_CAST_TO_ASCII
    QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
    QT_NO_KEYWORDS)

if(QMF_SANITIZE)
    string(REPLACE ";" "," _qmf_sanitizers "${QMF_SANITIZE}")
    add_compile_options(-fsanitize=${_qmf_sanitizers} -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=${_qmf_sanitizers})
endif()

# Applies the project's warnings to a target without exporting them to consumers.
function(qmf_apply_compiler_settings target)
    target_link_libraries(${target} PRIVATE $<BUILD_INTERFACE:qmf_compiler_settings>)
endfunction()
