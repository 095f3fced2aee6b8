# What `make install` puts where, and the packages of `make package`
# (scripts/package.sh): on the host, the tools in bin/, the program they build
# on in share/orvane-patch/ (where mkpatch looks for it, from its own place),
# the man pages, and the README, the LICENSE and the example under
# share/doc/; in a Windows build, the tools beside the program, with the
# README, the LICENSE and the example (the zips for patch authors on Windows).
include(GNUInstallDirs)

# The program is the win32 build's wherever another build installs it:
# `make install` and `make package` build it first.
set(PATCH_WIN32_BIN ${CMAKE_SOURCE_DIR}/build/win32/bin CACHE PATH "Folder of the win32 build's patch.exe, to install")

if(WIN32)
  install(TARGETS mkpatch qzt RUNTIME DESTINATION .)
  # The program is the 32-bit one in every zip: a 64-bit build's tools hold
  # larger files, and build on the same patch.exe.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    install(TARGETS patch RUNTIME DESTINATION .)
  else()
    install(FILES ${PATCH_WIN32_BIN}/patch.exe DESTINATION .)
  endif()
  install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION .)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples DESTINATION .)
  return()
endif()

set(ORVANE_DOC ${CMAKE_INSTALL_DATADIR}/doc/orvane-patch)

# Man pages and the changelog go compressed, as Debian keeps them.
set(gz_files)
foreach(src tools/mkpatch/mkpatch.1 tools/qzt/qzt.1 packaging/changelog)
  get_filename_component(name ${src} NAME)
  set(gz ${CMAKE_BINARY_DIR}/install/${name}.gz)
  add_custom_command(OUTPUT ${gz}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/install
                     COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/${src} > ${gz}
                     DEPENDS ${CMAKE_SOURCE_DIR}/${src} VERBATIM)
  list(APPEND gz_files ${gz})
endforeach()
add_custom_target(install_files ALL DEPENDS ${gz_files})

install(TARGETS mkpatch qzt RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PATCH_WIN32_BIN}/patch.exe DESTINATION ${CMAKE_INSTALL_DATADIR}/orvane-patch)
install(FILES ${CMAKE_BINARY_DIR}/install/mkpatch.1.gz ${CMAKE_BINARY_DIR}/install/qzt.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/LICENSE ${CMAKE_SOURCE_DIR}/packaging/copyright
              ${CMAKE_BINARY_DIR}/install/changelog.gz
        DESTINATION ${ORVANE_DOC})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples DESTINATION ${ORVANE_DOC})

# The Debian package: CPack's DEB generator works from the install rules
# above, so the package and `make install` hold the same files, and
# dpkg-shlibdeps reads the Depends from the binaries themselves.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvane-patch)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "The Orvane patch developers <patch@orvane.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "builder of self-applying patches for Windows")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "mkpatch makes a self-applying patch for Windows from a manifest: one 32-bit
 program that asks its question, shows its README and writes or deletes the
 files it carries, all of them or none. It also signs, lists, checks and
 unpacks patches, and writes the manifest that turns one folder tree into
 another. qzt reads and writes the patches' compressed format.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS osslsigncode)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
