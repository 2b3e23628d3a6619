# The run path of installed programs and libraries, after KDE's build settings: outside the
# system library directories an installed binary finds the project's libraries through a run
# path, so that `qmf` starts from any prefix without LD_LIBRARY_PATH.
#
# The run path is relative to the binary ($ORIGIN/../lib for a program in bin/), so the prefix
# may still be chosen at install time (cmake --install --prefix) and the tree moved afterwards.
# Whether the library directory is a system one is decided from the prefix configured
# (CMAKE_INSTALL_PREFIX): a package for /usr gets no run path, as distributions require.

set(_qmf_full_libdir ${CMAKE_INSTALL_FULL_LIBDIR})
set(QMF_INSTALL_LIBDIR_IS_SYSTEM OFF)
foreach(_qmf_dir IN LISTS CMAKE_PLATFORM_IMPLICIT_LINK_DIRECTORIES CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES)
    if(_qmf_dir STREQUAL _qmf_full_libdir)
        set(QMF_INSTALL_LIBDIR_IS_SYSTEM ON)
    endif()
endforeach()
unset(_qmf_dir)
unset(_qmf_full_libdir)

# qmf_set_install_rpath(<target> <destination>): gives <target>, installed into <destination>
# (relative to the prefix, e.g. ${CMAKE_INSTALL_BINDIR}), the run path to the library directory.
# Directories of libraries linked from outside the project and outside the system directories
# (a Qt of its own, say) are kept as they were at link time.
function(qmf_set_install_rpath target destination)
    set_target_properties(${target} PROPERTIES INSTALL_RPATH_USE_LINK_PATH ON)
    if(QMF_INSTALL_LIBDIR_IS_SYSTEM)
        return()
    endif()
    if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${destination}")
        # No relation between the two survives a change of prefix: name the directory itself.
        set(rpath "${CMAKE_INSTALL_FULL_LIBDIR}")
    else()
        file(RELATIVE_PATH to_libdir "/prefix/${destination}" "/prefix/${CMAKE_INSTALL_LIBDIR}")
        if(to_libdir STREQUAL "")
            set(rpath "$ORIGIN")
        else()
            set(rpath "$ORIGIN/${to_libdir}")
        endif()
    endif()
    set_property(TARGET ${target} APPEND PROPERTY INSTALL_RPATH "${rpath}")
endfunction()
