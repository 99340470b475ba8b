# `make package`: a Debian package of the program, its launcher, icons, AppStream
# metainfo and man page, built by CPack's DEB generator.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessivar)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Seed 49de7075 maintainers")
set(CPACK_PACKAGE_CONTACT "Seed 49de7075 maintainers <maintainers@users.noreply.c-seed-49de7075.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "dated weekly copies of one file or folder, the newest kept")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The summary above is the first line of the package's description; this is the rest.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Tessivar copies one file or folder into a destination folder on the weekdays
and at the time its settings give, under the source's name and the day, and
deletes the copies beyond the newest N. Every copy is an ordinary file or
folder tree, complete or absent.
.
Each folder holding its own config.ini is an independent backup task. A task
runs from its window, starts its plan at login (--start-plan), or makes one
run from cron or a systemd timer without a display (--backup-now).")
# dpkg-shlibdeps finds the libraries the binary links; the SQLite driver is a Qt plugin
# loaded at run time, which it cannot see.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6sql6-sqlite")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-qpa-plugins")
set(CPACK_STRIP_FILES ON)
include(CPack)

# The metainfo's newest release and the man page name the version of project().
foreach(file app/example.c_seed_49de7075.tessivar.metainfo.xml docs/tessivar.1)
    file(READ ${CMAKE_SOURCE_DIR}/${file} text)
    string(FIND "${text}" "${PROJECT_VERSION}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "${file} does not name version ${PROJECT_VERSION}")
    endif()
endforeach()
