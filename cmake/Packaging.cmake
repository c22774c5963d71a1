# Installs what an administrator needs beside the binary (manual page, nightly backup units,
# retention command, bash completion, documentation) and describes the Debian package that
# scripts/package.sh builds from the same install rules.
set(BWV_PACKAGE_MAINTAINER "Brantwell Vellacor Team <vellacor-support@brantwell.com>"
    CACHE STRING "Maintainer named in the Debian package and its changelog")

set(admin_dir ${PROJECT_BINARY_DIR}/admin)
set(dist_dir ${PROJECT_SOURCE_DIR}/dist)
# Debian 12 keeps units in /lib until its /usr merge is finished. Other prefixes keep everything
# below the prefix, where systemd looks too (/usr/local/lib/systemd/system).
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(unit_dir /lib/systemd/system)
    set(defaults_dir /etc/default)
else()
    set(unit_dir lib/systemd/system)
    set(defaults_dir ${CMAKE_INSTALL_SYSCONFDIR}/default)
endif()

# The unit and the retention command name the installed paths of the prefix they go to.
configure_file(${dist_dir}/bw-vellacor-backup.service.in ${admin_dir}/bw-vellacor-backup.service
    @ONLY)
configure_file(${dist_dir}/bw-vellacor-prune-backups.in ${admin_dir}/bw-vellacor-prune-backups
    @ONLY)
# The version has no Debian revision: a native package, whose changelog is changelog.gz.
configure_file(${dist_dir}/changelog.in ${admin_dir}/changelog @ONLY)

# Compressed without names and times (-n), so that two builds give the same bytes.
set(man_page ${admin_dir}/bw-vellacor-ctl.1.gz)
set(changelog ${admin_dir}/changelog.gz)
add_custom_command(OUTPUT ${man_page}
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/doc/bw-vellacor-ctl.1 ${admin_dir}
    COMMAND gzip -9nf ${admin_dir}/bw-vellacor-ctl.1
    DEPENDS ${PROJECT_SOURCE_DIR}/doc/bw-vellacor-ctl.1 VERBATIM)
add_custom_command(OUTPUT ${changelog}
    COMMAND gzip -9nkf ${admin_dir}/changelog
    DEPENDS ${admin_dir}/changelog VERBATIM)
add_custom_target(bwv_admin_files ALL DEPENDS ${man_page} ${changelog})
# The retention command is described on the same page.
file(CREATE_LINK bw-vellacor-ctl.1.gz ${admin_dir}/bw-vellacor-prune-backups.1.gz SYMBOLIC)

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(PROGRAMS ${admin_dir}/bw-vellacor-prune-backups DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${man_page} ${admin_dir}/bw-vellacor-prune-backups.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${admin_dir}/bw-vellacor-backup.service ${dist_dir}/bw-vellacor-backup.timer
    DESTINATION ${unit_dir})
install(FILES ${dist_dir}/bw-vellacor-backup.default
    DESTINATION ${defaults_dir} RENAME bw-vellacor-backup)
install(FILES ${dist_dir}/bw-vellacor-ctl.bash-completion
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME bw-vellacor-ctl)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${dist_dir}/copyright ${changelog}
    DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The Debian package: scripts/package.sh configures with the prefix /usr and runs cpack.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME bw-vellacor-ctl)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${BWV_PACKAGE_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "back up and restore the data of a Vellacor server")
set(CPACK_PACKAGE_DESCRIPTION "\
bw-vellacor-ctl backs up and restores the main database, the reporting database
(SQLite or PostgreSQL) and the media library of an installed Vellacor server.
The package also holds a nightly backup service and timer (not enabled) and
bw-vellacor-prune-backups, which keeps the newest backups.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Besides the libraries it links, the tool loads the Qt SQL drivers and runs pg_dump and psql.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt5sql5-sqlite, libqt5sql5-psql, postgresql-client")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
# An administrator's changes to the settings file survive upgrades.
file(WRITE ${admin_dir}/conffiles "${BWV_DEFAULTS_FILE}\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${admin_dir}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
