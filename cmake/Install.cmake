# What `cmake --install` puts under the prefix, and the Debian package that
# `cpack -G DEB` makes of it (scripts/package.sh).
include(CMakePackageConfigHelpers)

set(SEALKIT_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/sealkit)

# The libraries that programs link, as the imported targets sealkit::KXCommon,
# sealkit::sealcore, sealkit::sealverify and sealkit::ofdseal; the software
# key device, a driver loaded at run time, beside them.
install(TARGETS KXCommon sealcore sealverify libofdseal EXPORT sealkitTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/sealkit)
install(TARGETS skfsoft LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/sealkit)

install(TARGETS ofdseal RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES tools/ofdseal/ofdseal.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES tools/ofdseal/ofdseal-report.schema.json
        DESTINATION ${CMAKE_INSTALL_DATADIR}/sealkit)

# find_package(sealkit CONFIG): the exported targets, which need libcrypto.
install(EXPORT sealkitTargets NAMESPACE sealkit::
        DESTINATION ${SEALKIT_CMAKE_DIR})
configure_package_config_file(cmake/sealkitConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/sealkitConfig.cmake
  INSTALL_DESTINATION ${SEALKIT_CMAKE_DIR})
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/sealkitConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/sealkitConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/sealkitConfigVersion.cmake
        DESTINATION ${SEALKIT_CMAKE_DIR})

# pkg-config files. The prefix is found from the file's own folder, so the
# files hold wherever the tree is installed (`cmake --install --prefix`, a
# package, a throwaway root).
file(RELATIVE_PATH SEALKIT_PC_TO_PREFIX
     /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" SEALKIT_PC_TO_PREFIX ${SEALKIT_PC_TO_PREFIX})
# sealkit_pkgconfig(FILE NAME DESCRIPTION LIBRARY REQUIRES_PRIVATE)
function(sealkit_pkgconfig file name description library requires)
  set(PC_NAME ${name})
  set(PC_DESCRIPTION ${description})
  set(PC_LIBRARY ${library})
  set(PC_REQUIRES_PRIVATE ${requires})
  configure_file(cmake/sealkit.pc.in
                 ${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/${file}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/${file}.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()
sealkit_pkgconfig(kxcommon libKXCommon
  "Result codes, log, strings, time, XML, SM2, SM3 and certificates of sealkit"
  KXCommon "libcrypto")
sealkit_pkgconfig(sealcore libsealcore
  "Electronic seal structures, properties, checks and key devices of sealkit"
  sealcore "kxcommon, libcrypto")
sealkit_pkgconfig(sealverify libsealverify
  "Verification of electronic seal signatures on OFD documents (SEF_ API)"
  sealverify "sealcore, kxcommon, libcrypto")
sealkit_pkgconfig(ofdseal libofdseal
  "Whole OFD documents verified in one call: every signature, reported in JSON"
  ofdseal "sealverify, libcrypto")

# The Debian package: the libraries, headers, ofdseal, its manual page and
# the schema. The libraries it needs from the system are read off the
# binaries (dpkg-shlibdeps).
set(CPACK_PACKAGE_NAME sealkit)
set(CPACK_PACKAGE_VENDOR sealkit)
set(CPACK_PACKAGE_CONTACT "sealkit developers <dev@sealkit.local>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "verify electronic seal signatures on OFD documents")
set(CPACK_PACKAGE_DESCRIPTION
    "Shared libraries that verify electronic seals and seal signatures on OFD
documents, read their properties and find seals on key devices, with their
C and C++ headers, pkg-config files and CMake package; and ofdseal, the
command-line program that checks every signature of an OFD file.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Our own libraries are in the package itself.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libssl-dev, pkg-config")
include(CPack)
