# Install rules and the Debian package.
#
#   cmake --install build/release --prefix /usr/local     # or DESTDIR=... cmake --install ...
#   ./run package                                          # build/package/updater_*.deb
#
# Installs the three programs, the manual page, the bash completion and the
# udev rules in their usual places under the prefix.
include(GNUInstallDirs)

# Stable configure. pkg-config gives libczmq's cflags as "-isystem DIR";
# FindPkgConfig turns that into an include directory only when it runs
# pkg-config, and on every later configure it builds the imported target from
# its cached variables, where the pair stays a compile option. The compile
# flags then differ between the first and the second configure of a build
# tree and everything is rebuilt. Moving such pairs into the include
# directories here (imported include directories are system ones) makes every
# configure write the flags of the first.
foreach(_imported LIBUSB HIDAPI LIBZMQ CZMQ CURL ZLIB UDEV)
  if(TARGET PkgConfig::${_imported})
    get_target_property(_options PkgConfig::${_imported} INTERFACE_COMPILE_OPTIONS)
    if(_options)
      set(_kept)
      set(_dirs)
      set(_next_is_dir FALSE)
      foreach(_option IN LISTS _options)
        if(_next_is_dir)
          list(APPEND _dirs "${_option}")
          set(_next_is_dir FALSE)
        elseif(_option STREQUAL "-isystem")
          set(_next_is_dir TRUE)
        elseif(_option MATCHES "^-isystem(.+)$")
          list(APPEND _dirs "${CMAKE_MATCH_1}")
        else()
          list(APPEND _kept "${_option}")
        endif()
      endforeach()
      if(_dirs)
        set_property(TARGET PkgConfig::${_imported} PROPERTY INTERFACE_COMPILE_OPTIONS "${_kept}")
        set_property(TARGET PkgConfig::${_imported} APPEND PROPERTY INTERFACE_INCLUDE_DIRECTORIES
                     ${_dirs})
      endif()
    endif()
  endif()
endforeach()

# Where udev reads package rules. Relative paths are under the prefix; with a
# prefix other than /usr, copy the file to /etc/udev/rules.d (see the manual).
set(UPDATER_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING "Install folder of the udev rules")
set(UPDATER_BASH_COMPLETION_DIR "${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions"
    CACHE STRING "Install folder of the bash completion")

set(_programs)
foreach(_target updater birdfile update-server)
  if(TARGET ${_target})
    list(APPEND _programs ${_target})
  endif()
endforeach()
install(TARGETS ${_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The manual page, compressed as Debian keeps them (gzip -n: no name or time
# stamp, so the same page always gives the same bytes).
find_program(UPDATER_GZIP gzip)
set(_manpage ${CMAKE_CURRENT_SOURCE_DIR}/docs/updater.1)
if(UPDATER_GZIP)
  set(_manpage_gz ${CMAKE_CURRENT_BINARY_DIR}/packaging/updater.1.gz)
  add_custom_command(OUTPUT ${_manpage_gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/packaging
    COMMAND ${UPDATER_GZIP} -9 -n -c ${_manpage} > ${_manpage_gz}
    DEPENDS ${_manpage}
    VERBATIM)
  add_custom_target(updater_manpage ALL DEPENDS ${_manpage_gz})
  install(FILES ${_manpage_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  install(FILES ${_manpage} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/bash-completion/updater
        DESTINATION ${UPDATER_BASH_COMPLETION_DIR})
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/70-velmarine-updater.rules
        DESTINATION ${UPDATER_UDEV_RULES_DIR})
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/README.md ${CMAKE_CURRENT_SOURCE_DIR}/docs/update-server.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The Debian package: one package with everything above, installed under /usr.
# Its dependencies are found by dpkg-shlibdeps from the libraries the
# programs link.
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "updater")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "Updater maintainers <updater@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "keep the firmware of Velmarine modules up to date")
set(CPACK_PACKAGE_DESCRIPTION
    "updater discovers Velmarine modules on USB and TCP/IP, downloads firmware builds\n"
    "from an update server into a per-user store, updates a module's firmware and\n"
    "recovers a module through its chip's boot ROM. The package also carries birdfile,\n"
    "which builds and inspects BIRD firmware files, and update-server, a self-hosted\n"
    "update server for a lab mirror.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/package")
include(CPack)
