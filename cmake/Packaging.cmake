# Installs what an administrator needs beside the two programs (manual pages, nightly backup
# and offsite units, their settings files, bash completion, documentation) and describes the
# Debian package that scripts/package.sh builds from the same install rules.
set(BWV_PACKAGE_MAINTAINER "Brantwell Vellacor Team <vellacor-support@brantwell.com>"
    CACHE STRING "Maintainer named in the Debian package and its changelog")

set(admin_dir ${PROJECT_BINARY_DIR}/admin)
set(dist_dir ${PROJECT_SOURCE_DIR}/dist)
# With the prefix /usr this is /etc/default/bw-vellacor-offsite.
set(BWV_OFFSITE_DEFAULTS_FILE ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/bw-vellacor-offsite)
# node_exporter's textfile collector reads this folder on Debian.
set(BWV_TEXTFILE_FOLDER /var/lib/prometheus/node-exporter)
# Debian 12 keeps units in /lib until its /usr merge is finished. Other prefixes keep everything
# below the prefix, where systemd looks too (/usr/local/lib/systemd/system).
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(unit_dir /lib/systemd/system)
    set(defaults_dir /etc/default)
else()
    set(unit_dir lib/systemd/system)
    set(defaults_dir ${CMAKE_INSTALL_SYSCONFDIR}/default)
endif()

# The units name the installed paths of the prefix they go to.
foreach(unit bw-vellacor-backup.service bw-vellacor-offsite.service)
    configure_file(${dist_dir}/${unit}.in ${admin_dir}/${unit} @ONLY)
endforeach()
# The version has no Debian revision: a native package, whose changelog is changelog.gz.
configure_file(${dist_dir}/changelog.in ${admin_dir}/changelog @ONLY)

# Compressed without names and times (-n), so that two builds give the same bytes.
set(admin_files ${admin_dir}/changelog.gz)
add_custom_command(OUTPUT ${admin_dir}/changelog.gz
    COMMAND gzip -9nkf ${admin_dir}/changelog
    DEPENDS ${admin_dir}/changelog VERBATIM)
foreach(page bw-vellacor-ctl bw-vellacor-backups)
    add_custom_command(OUTPUT ${admin_dir}/${page}.1.gz
        COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/doc/${page}.1 ${admin_dir}
        COMMAND gzip -9nf ${admin_dir}/${page}.1
        DEPENDS ${PROJECT_SOURCE_DIR}/doc/${page}.1 VERBATIM)
    list(APPEND admin_files ${admin_dir}/${page}.1.gz)
    install(FILES ${admin_dir}/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES ${dist_dir}/${page}.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME ${page})
endforeach()
add_custom_target(bwv_admin_files ALL DEPENDS ${admin_files})

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(FILES ${admin_dir}/bw-vellacor-backup.service ${dist_dir}/bw-vellacor-backup.timer
    ${admin_dir}/bw-vellacor-offsite.service DESTINATION ${unit_dir})
install(FILES ${dist_dir}/bw-vellacor-backup.default
    DESTINATION ${defaults_dir} RENAME bw-vellacor-backup)
install(FILES ${dist_dir}/bw-vellacor-offsite.default
    DESTINATION ${defaults_dir} RENAME bw-vellacor-offsite)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${dist_dir}/copyright ${admin_dir}/changelog.gz
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
Its companion bw-vellacor-backups lists, verifies and prunes the backups,
writes metrics for Prometheus and copies the newest backup offsite with
restic. The package also holds a nightly backup service and timer (not
enabled).")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Besides the libraries it links, the tool loads the Qt SQL drivers and runs pg_dump and psql.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt5sql5-sqlite, libqt5sql5-psql, postgresql-client")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "restic, prometheus-node-exporter")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
# An administrator's changes to the settings files survive upgrades.
file(WRITE ${admin_dir}/conffiles "${BWV_DEFAULTS_FILE}\n${BWV_OFFSITE_DEFAULTS_FILE}\n")
# The maintainer scripts stop and disable the timer on removal and purge its state.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${admin_dir}/conffiles ${dist_dir}/postinst ${dist_dir}/prerm ${dist_dir}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
