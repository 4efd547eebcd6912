# The Debian package (cpack -G DEB in the build folder): programs under /usr, the
# configuration under /etc/tallyhand, the state under /var/lib/tallyhand (made by the
# maintainer scripts). The modules read data.ini, FDDrivers.ini and write their event log
# beside their own file, and pictures go beside the executable: links in
# /usr/lib/tallyhand point those names at /etc, /var/lib and /var/log.
set(TALLYHAND_VERSION 1.0.0)
set(deb_dir ${CMAKE_SOURCE_DIR}/deploy/debian)
set(lib_dir lib/tallyhand)

install(TARGETS tallyhand-server RUNTIME DESTINATION ${lib_dir})
install(TARGETS Tallyhand_az Tallyhand LIBRARY DESTINATION ${lib_dir})
install(TARGETS tallyhand-admin RUNTIME DESTINATION bin)

set(link_dir ${CMAKE_BINARY_DIR}/package-links)
file(MAKE_DIRECTORY ${link_dir})
foreach(link
    "data.ini=/etc/tallyhand/data.ini"
    "FDDrivers.ini=/etc/tallyhand/FDDrivers.ini"
    "Tallyhand_azLog.txt=/var/log/tallyhand/Tallyhand_azLog.txt"
    "TallyhandLog.txt=/var/log/tallyhand/TallyhandLog.txt"
    "mobiletcimages=/var/lib/tallyhand/mobiletcimages")
  string(REPLACE "=" ";" parts ${link})
  list(GET parts 0 name)
  list(GET parts 1 target)
  file(CREATE_LINK ${target} ${link_dir}/${name} SYMBOLIC)
  install(FILES ${link_dir}/${name} DESTINATION ${lib_dir})
endforeach()

install(FILES ${deb_dir}/data.ini ${deb_dir}/FDDrivers.ini DESTINATION /etc/tallyhand)
install(FILES ${deb_dir}/default DESTINATION /etc/default RENAME tallyhand)
install(FILES ${CMAKE_SOURCE_DIR}/deploy/systemd/tallyhand.service DESTINATION /lib/systemd/system)

set(doc_dir share/doc/tallyhand)
file(READ ${deb_dir}/changelog changelog_text)
string(REPLACE "@VERSION@" "${TALLYHAND_VERSION}" changelog_text "${changelog_text}")
file(WRITE ${CMAKE_BINARY_DIR}/package-doc/changelog "${changelog_text}")
# Debian wants the changelog compressed reproducibly (no name, no time stamp).
execute_process(COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/package-doc/changelog)
configure_file(${deb_dir}/tallyhand-admin.1 ${CMAKE_BINARY_DIR}/package-doc/tallyhand-admin.1 COPYONLY)
execute_process(COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/package-doc/tallyhand-admin.1)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${deb_dir}/changelog ${deb_dir}/tallyhand-admin.1)
install(FILES ${CMAKE_BINARY_DIR}/package-doc/tallyhand-admin.1.gz DESTINATION share/man/man1)
install(FILES ${CMAKE_BINARY_DIR}/package-doc/changelog.gz ${deb_dir}/copyright
              ${CMAKE_SOURCE_DIR}/README.md
        DESTINATION ${doc_dir})
install(FILES ${CMAKE_SOURCE_DIR}/db/README.md DESTINATION ${doc_dir} RENAME database.md)
install(FILES ${CMAKE_SOURCE_DIR}/deploy/nginx/tallyhand.conf DESTINATION ${doc_dir}/examples RENAME nginx-site.conf)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tallyhand)
set(CPACK_PACKAGE_VERSION ${TALLYHAND_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "Tallyhand developers <dev@tallyhand.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "application server of the Tallyhand mobile time clock")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "The HTTP/1.1 and HTTPS host tallyhand-server with the two builds of the\n Tallyhand extension module, the tallyhand-admin tool and a systemd service.\n Employees sign in from their phones, clock in and out, file daily reports\n and upload pictures; the data lives in SQLite, PostgreSQL or a database\n reached through ODBC.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION web)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://tallyhand.example.org/")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${deb_dir}/conffiles ${deb_dir}/postinst ${deb_dir}/prerm ${deb_dir}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
