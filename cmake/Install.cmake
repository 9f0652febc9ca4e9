# Install rules and the Debian package.
#
#   cmake --install build/release --prefix /usr/local     # or DESTDIR=... cmake --install ...
#   ./run package                                          # build/package/updater_*.deb
#
# Installs the programs with their manual pages, the bash completion, the udev
# rules and the package's documents (copyright, changelog) in their usual
# places under the prefix.
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
# The package's maintainer, named in its control file and its changelog.
set(UPDATER_MAINTAINER "Velmarine Updater Maintainers <updater@velmarine.example>"
    CACHE STRING "Maintainer of the Debian package: Name <address>")

set(_programs)
foreach(_target updater updater-fleet birdfile update-server)
  if(TARGET ${_target})
    list(APPEND _programs ${_target})
  endif()
endforeach()
install(TARGETS ${_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The manual pages and the changelog, compressed as Debian keeps them (gzip -9n:
# no name or time stamp, so the same text always gives the same bytes). The
# changelog is in Debian's format and carries the package's version and
# maintainer. One target, updater_manpage, makes them all.
set(_gen ${CMAKE_CURRENT_BINARY_DIR}/packaging)
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog.in ${_gen}/changelog @ONLY)
set(_docs_gz)
find_program(UPDATER_GZIP gzip)
foreach(_program ${_programs})
  set(_page ${CMAKE_CURRENT_SOURCE_DIR}/docs/${_program}.1)
  if(NOT EXISTS ${_page})
    message(FATAL_ERROR "${_program} is installed but has no manual page docs/${_program}.1")
  endif()
  if(UPDATER_GZIP)
    add_custom_command(OUTPUT ${_gen}/${_program}.1.gz
      COMMAND ${UPDATER_GZIP} -9 -n -c ${_page} > ${_gen}/${_program}.1.gz
      DEPENDS ${_page}
      VERBATIM)
    list(APPEND _docs_gz ${_gen}/${_program}.1.gz)
    install(FILES ${_gen}/${_program}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  else()
    install(FILES ${_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endforeach()
if(UPDATER_GZIP)
  add_custom_command(OUTPUT ${_gen}/changelog.gz
    COMMAND ${UPDATER_GZIP} -9 -n -c ${_gen}/changelog > ${_gen}/changelog.gz
    DEPENDS ${_gen}/changelog
    VERBATIM)
  list(APPEND _docs_gz ${_gen}/changelog.gz)
  install(FILES ${_gen}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
else()
  install(FILES ${_gen}/changelog DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()
add_custom_target(updater_manpage ALL DEPENDS ${_docs_gz})

install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/bash-completion/updater
              ${CMAKE_CURRENT_SOURCE_DIR}/packaging/bash-completion/updater-fleet
        DESTINATION ${UPDATER_BASH_COMPLETION_DIR})
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/70-velmarine-updater.rules
        DESTINATION ${UPDATER_UDEV_RULES_DIR})
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/copyright
              ${CMAKE_CURRENT_SOURCE_DIR}/README.md
              ${CMAKE_CURRENT_SOURCE_DIR}/docs/update-server.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/packaging/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME updater)

# The Debian package: one package with everything above, installed under /usr.
# Its dependencies are found by dpkg-shlibdeps from the libraries the
# programs link. The maintainer scripts reload the udev rules after an
# install or a removal and apply them to the devices already plugged in.
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "updater")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${UPDATER_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "keep the firmware of Velmarine modules up to date")
# Lines of at most 80 characters, as Debian's tools show them.
set(CPACK_PACKAGE_DESCRIPTION
    "updater discovers Velmarine modules on USB and TCP/IP, downloads firmware\n"
    "builds from an update server into a per-user store, updates a module's\n"
    "firmware and recovers a module through its chip's boot ROM.\n"
    "\n"
    "updater-fleet plans and updates every module in reach in parallel, with\n"
    "JSON and JUnit reports. The package also carries birdfile, which builds and\n"
    "inspects BIRD firmware files, and update-server, a self-hosted update\n"
    "server for a lab mirror.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/postinst
                                       ${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# After the staged install is stripped: drop the compiler's .comment sections,
# which the tool chain's start files bring in even with -fno-ident.
set(CPACK_UPDATER_OBJCOPY "${CMAKE_OBJCOPY}")
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/packaging/strip-comments.cmake)
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/package")
include(CPack)
