# Installation and the Debian package.
#
# The daemon and its files live under the appliance root /opt/vorn, where the daemon looks
# for them; links in the system's sbin and bin directories put the programs on PATH, and
# the manual pages, the unit and the samples go where the system expects them
# (GNUInstallDirs under the install prefix: /usr in the package).
#
#   ninja -C build && (cd build && cpack -G DEB)    ->  build/vornd_<version>_<arch>.deb
#
# Included at the end of the top-level CMakeLists.txt, so targets defined anywhere before
# (pcapstream) are installed when they exist.

include(GNUInstallDirs)

set(VORN_ROOT /opt/vorn)
# Debian 12 keeps units of packages in /lib, not /usr/lib.
set(VORND_SYSTEMD_UNITDIR /lib/systemd/system CACHE PATH "Where the systemd unit goes")
set(VORND_GEN_DIR ${CMAKE_BINARY_DIR}/packaging)

# ---- programs ----
install(TARGETS vornd RUNTIME DESTINATION ${VORN_ROOT}/sbin)
install(TARGETS vornctl RUNTIME DESTINATION ${VORN_ROOT}/bin)
if(TARGET pcapstream)
  install(TARGETS pcapstream RUNTIME DESTINATION ${VORN_ROOT}/bin)
endif()

file(MAKE_DIRECTORY ${VORND_GEN_DIR}/links)
file(CREATE_LINK ${VORN_ROOT}/sbin/vornd ${VORND_GEN_DIR}/links/vornd SYMBOLIC)
file(CREATE_LINK ${VORN_ROOT}/bin/vornctl ${VORND_GEN_DIR}/links/vornctl SYMBOLIC)
install(FILES ${VORND_GEN_DIR}/links/vornd DESTINATION ${CMAKE_INSTALL_SBINDIR})
if(TARGET pcapstream)
  # The daemon's tool lookup tries /opt/vorn/bin only for NAME-ARCH files; the link in the
  # system's sbin is where it finds the capture tool.
  file(CREATE_LINK ${VORN_ROOT}/bin/pcapstream ${VORND_GEN_DIR}/links/pcapstream SYMBOLIC)
  install(FILES ${VORND_GEN_DIR}/links/pcapstream DESTINATION ${CMAKE_INSTALL_SBINDIR})
endif()
install(FILES ${VORND_GEN_DIR}/links/vornctl DESTINATION ${CMAKE_INSTALL_BINDIR})

# bash completion, printed by vornctl itself at build time; bash-completion loads it on demand.
install(FILES ${CMAKE_BINARY_DIR}/vornctl.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME vornctl)

# ---- files the daemon reads, and the directories it writes ----
install(FILES packaging/shellrc.sh DESTINATION ${VORN_ROOT}/etc/vornd)
if(EXISTS ${CMAKE_SOURCE_DIR}/packaging/mem-suspend.sh)
  install(PROGRAMS packaging/mem-suspend.sh DESTINATION ${VORN_ROOT}/etc/vornd)
endif()
install(DIRECTORY DESTINATION ${VORN_ROOT}/var/run)
# Log bundles hold the system's logs; memory-test runs hold nothing for other users.
install(DIRECTORY DESTINATION ${VORN_ROOT}/var/dumps
        DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)
install(DIRECTORY DESTINATION ${VORN_ROOT}/var/memtest
        DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)

# ---- one configuration per level, printed by the daemon itself from its presets ----
# The installed socket settings come from packaging/conf/socket.conf; the lists are the
# level's, so the files cannot drift from what config_apply writes for a level.
set(VORND_CONF_DIR ${VORND_GEN_DIR}/conf)
set(VORND_LEVEL_CONFS "")
foreach(level dev safe locked)
  set(out ${VORND_CONF_DIR}/vornd-${level}.conf)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${VORND_CONF_DIR}
    COMMAND sh -c "\"$0\" -c \"$1\" --print-config \"$2\" > \"$3.tmp\" && mv \"$3.tmp\" \"$3\""
            $<TARGET_FILE:vornd> ${CMAKE_SOURCE_DIR}/packaging/conf/socket.conf ${level} ${out}
    DEPENDS vornd ${CMAKE_SOURCE_DIR}/packaging/conf/socket.conf
    COMMENT "Printing the ${level} configuration"
    VERBATIM)
  list(APPEND VORND_LEVEL_CONFS ${out})
endforeach()
add_custom_target(vornd_confs ALL DEPENDS ${VORND_LEVEL_CONFS})

# The safe level's file is package data, not a conffile: postinst copies it to
# /opt/vorn/etc/vornd.conf only where no file is, because config_apply rewrites that file and a
# conffile the package changes would stop every later upgrade at dpkg's question.
install(FILES ${VORND_CONF_DIR}/vornd-safe.conf DESTINATION ${CMAKE_INSTALL_DATADIR}/vornd RENAME vornd.conf)
install(FILES ${VORND_LEVEL_CONFS} DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# ---- the systemd unit ----
install(FILES packaging/vornd.service DESTINATION ${VORND_SYSTEMD_UNITDIR})

# ---- manual pages, with the project's version, compressed as Debian keeps them ----
set(VORND_MAN_PAGES vornd.8 vornctl.1 vornd.conf.5)
set(VORND_MAN_GZ "")
foreach(page ${VORND_MAN_PAGES})
  set(src ${VORND_GEN_DIR}/man/${page})
  configure_file(${CMAKE_SOURCE_DIR}/man/${page}.in ${src} @ONLY)
  set(out ${VORND_GEN_DIR}/man/${page}.gz)
  string(REGEX REPLACE "^.*\\.([1-8])$" "\\1" section ${page})
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${VORND_GEN_DIR}/man
    COMMAND sh -c "gzip -9n -c \"$0\" > \"$1.tmp\" && mv \"$1.tmp\" \"$1\"" ${src} ${out}
    DEPENDS ${src}
    VERBATIM)
  list(APPEND VORND_MAN_GZ ${out})
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
add_custom_target(vornd_man ALL DEPENDS ${VORND_MAN_GZ})

# ---- the package's own documents ----
# The changelog's latest entry must be this version: a release without its entry stops here.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/packaging/debian/changelog)
file(STRINGS ${CMAKE_SOURCE_DIR}/packaging/debian/changelog VORND_CHANGELOG_TOP LIMIT_COUNT 1)
string(REGEX MATCH "^vornd \\(([^)]*)\\)" _ "${VORND_CHANGELOG_TOP}")
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "packaging/debian/changelog: latest entry is '${CMAKE_MATCH_1}', "
                      "the project is ${PROJECT_VERSION}; add an entry")
endif()
# A native package (no Debian revision) keeps its changelog as changelog.gz.
set(VORND_CHANGELOG_GZ ${VORND_GEN_DIR}/changelog.gz)
add_custom_command(
  OUTPUT ${VORND_CHANGELOG_GZ}
  COMMAND sh -c "gzip -9n -c \"$0\" > \"$1.tmp\" && mv \"$1.tmp\" \"$1\""
          ${CMAKE_SOURCE_DIR}/packaging/debian/changelog ${VORND_CHANGELOG_GZ}
  DEPENDS ${CMAKE_SOURCE_DIR}/packaging/debian/changelog
  VERBATIM)
add_custom_target(vornd_changelog ALL DEPENDS ${VORND_CHANGELOG_GZ})
install(FILES ${VORND_CHANGELOG_GZ} packaging/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES packaging/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME vornd)

# ---- the Debian package ----
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vornd)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "vornd maintainers <vornd@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "local agent daemon of the storage appliance")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "vornd serves the appliance's management front end over a Unix-domain socket:
host and hardware information, allow-listed file access, disk and pool
statistics, benchmarks, process and shell control, kernel tuning and its
own configuration. It is installed at level safe, its socket open to the
group vorn.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "sysstat, fio, iperf3, smartmontools, dmidecode, tcpdump, strace, iproute2")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/debian/postinst
    ${CMAKE_SOURCE_DIR}/packaging/debian/prerm
    ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)

# The package test builds the package from this build directory. Its paths are given to that
# one file, so the other tests' objects keep their flags.
if(TARGET integration_tests)
  set_property(SOURCE ${CMAKE_SOURCE_DIR}/tests/integration/package_test.cpp APPEND PROPERTY
    COMPILE_DEFINITIONS VORND_SOURCE_DIR="${CMAKE_SOURCE_DIR}" VORND_BUILD_DIR="${CMAKE_BINARY_DIR}"
    VORND_CONF_DIR="${VORND_CONF_DIR}" VORND_CPACK="${CMAKE_CPACK_COMMAND}")
  add_dependencies(integration_tests vornd_confs vornd_man vornd_changelog)
endif()
