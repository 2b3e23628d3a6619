# Installs the CMake package (find_package(QMFoundation)) and the pkg-config file.

include(CMakePackageConfigHelpers)

set(QMF_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/QMFoundation)

# Every library is a package component: it installs its target into its own export set,
# QMFoundation<Component>Targets, and registers itself in the global property
# QMF_PACKAGE_COMPONENTS (in dependency order). Each export set becomes a targets file of its own,
# so that find_package(QMFoundation COMPONENTS ...) loads only what is asked for; what a
# component needs from other packages is listed in QMFoundationConfig.cmake.in.
get_property(QMF_PACKAGE_COMPONENTS GLOBAL PROPERTY QMF_PACKAGE_COMPONENTS)
foreach(component IN LISTS QMF_PACKAGE_COMPONENTS)
    install(EXPORT QMFoundation${component}Targets
        NAMESPACE QMFoundation::
        FILE QMFoundation${component}Targets.cmake
        DESTINATION ${QMF_CMAKE_INSTALL_DIR}
        COMPONENT Devel)
endforeach()

configure_package_config_file(
    ${CMAKE_CURRENT_LIST_DIR}/QMFoundationConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/QMFoundationConfig.cmake
    INSTALL_DESTINATION ${QMF_CMAKE_INSTALL_DIR})
write_basic_package_version_file(
    ${CMAKE_CURRENT_BINARY_DIR}/QMFoundationConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES
    ${CMAKE_CURRENT_BINARY_DIR}/QMFoundationConfig.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/QMFoundationConfigVersion.cmake
    DESTINATION ${QMF_CMAKE_INSTALL_DIR}
    COMPONENT Devel)

# The .pc file finds its prefix relative to itself, so the package can be installed anywhere
# (cmake --install --prefix) and still be found through PKG_CONFIG_PATH.
file(RELATIVE_PATH QMF_PC_TO_PREFIX "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
foreach(component IN LISTS QMF_PACKAGE_COMPONENTS)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/QMFoundation${component}.pc.in
        ${CMAKE_CURRENT_BINARY_DIR}/QMFoundation${component}.pc @ONLY)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/QMFoundation${component}.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT Devel)
endforeach()
