# `cpack -G DEB` in the build folder: kestrel-snpp_<version>_<arch>.deb with the programs, the
# shared library, the static libraries, headers, CMake and pkg-config files, and the man pages.
set(CPACK_PACKAGE_NAME kestrel-snpp)
set(CPACK_PACKAGE_VENDOR "kestrel-snpp developers")
set(CPACK_PACKAGE_CONTACT "kestrel-snpp developers <kestrel-snpp@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SNPP (RFC 1861) paging client: library, C interface and tools")
set(CPACK_PACKAGE_DESCRIPTION
    "snpp-send sends one page to an SNPP paging server; snpp-sandbox is a loopback SNPP server "
    "for trying clients out; libkestrel_snpp.so is the embeddable paging control with a C "
    "interface. Headers, static libraries, the CMake package kestrel_snpp and kestrel-snpp.pc "
    "are included.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # kestrel-snpp_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)   # Depends from dpkg-shlibdeps (Debian: dpkg-dev)
# The headers include Asio and the CMake package looks for nlohmann-json; the programs and the
# library need neither.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libasio-dev, nlohmann-json3-dev")
set(CPACK_DEBIAN_COMPRESSION_TYPE gzip)  # fast to build; the package is small

set(CPACK_GENERATOR DEB)
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES /\\\\.git/ /build[^/]*/)
include(CPack)
