# Installing the tool and packaging it for Debian, in the release tree: bin/lzhsfx,
# the stub the win32 tree builds as share/lzhsfx/sfxstub.exe (where the tool finds it,
# relative to itself), the manual page, and the README and licence.
# The destinations are fixed rather than GNUInstallDirs': the tool looks for its stub
# at ../share/lzhsfx from its own folder.
set(LZHSFX_WIN32_STUB ${PROJECT_SOURCE_DIR}/build/win32/sfxstub.exe CACHE FILEPATH
  "The stub cmake --install and cpack install as share/lzhsfx/sfxstub.exe (built by the win32 tree)")
set(LZHSFX_MAINTAINER "the lzhsfx developers <maintainers@lzhsfx.invalid>" CACHE STRING
  "The Debian package's maintainer, as \"Name <address>\"")

# The stub is built by another tree, possibly after this one: it is looked for when
# installing, and its absence stops the installation before anything is copied.
install(CODE "
  if(NOT EXISTS \"${LZHSFX_WIN32_STUB}\")
    message(FATAL_ERROR \"the stub ${LZHSFX_WIN32_STUB} is missing: build it first \"
      \"(cmake --preset win32 && cmake --build --preset win32), or point LZHSFX_WIN32_STUB \"
      \"at one (cmake -DLZHSFX_WIN32_STUB=FILE)\")
  endif()")
install(TARGETS lzhsfx RUNTIME DESTINATION bin)
install(FILES ${LZHSFX_WIN32_STUB} DESTINATION share/lzhsfx RENAME sfxstub.exe)
install(FILES doc/lzhsfx.1 DESTINATION share/man/man1)
install(FILES README.md LICENSE DESTINATION share/doc/lzhsfx)

set(CPACK_PACKAGE_NAME lzhsfx)
set(CPACK_PACKAGE_VENDOR "the lzhsfx developers")
set(CPACK_PACKAGE_CONTACT ${LZHSFX_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "builds self-extracting LZH installers for 32-bit Windows")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # lzhsfx_VERSION_ARCH.deb
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${LZHSFX_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the tool links to (the C and C++ runtimes), as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The long description; CPack puts the summary before it, indents its lines by a space
# and turns the empty one into " .".
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "lzhsfx packs files and folders, with its own -lh5-/-lh6-/-lh7- encoder,
into an installer for 32-bit Windows (Windows 3.1 with Win32s included): the
small installer stub, its settings and an LZH archive behind it. It also
lists, tests and extracts any such installer or plain .lzh archive without
running it.

The stub, sfxstub.exe, is included.")
include(CPack)
