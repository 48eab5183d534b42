# A Debian package of the installed program (`cpack` in a build folder; scripts/package does
# it all). The shared libraries it links are found by dpkg-shlibdeps; what it only loads at
# run time is listed by hand: the GStreamer elements of the capture graph, the media type
# tables of the web server and a font for the offscreen platform.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kamvero)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Kamvero developers")
set(CPACK_PACKAGE_CONTACT "Kamvero developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "motion-triggered webcam snapshots with FTP and web publishing")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Kamvero shows a webcam's live picture, compares a frame with a reference at a fixed "
    "interval and saves a JPEG snapshot, with a ring of older ones, when something moves. "
    "It uploads the newest snapshot to an FTP server at a fixed interval and can serve the "
    "snapshot folder with its own web server.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Kamvero developers")
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "gstreamer1.0-plugins-base, gstreamer1.0-plugins-good, fonts-dejavu-core, media-types, shared-mime-info")

include(CPack)
