# Installation and packages: the program, its manual page, the README, and on Linux the desktop
# entry with its icons. `cmake --install` puts them in the usual places; `cpack` in a build
# directory makes a .tar.gz and a .deb on Linux and a .zip holding Kestrox.exe for Windows.
include(GNUInstallDirs)

if(WIN32)
  # A Windows zip is unpacked and used where it lies: the program at its top, beside the README
  # and the note on adding it to the "Send To" menu.
  install(TARGETS kestrox RUNTIME DESTINATION .)
  install(FILES README.md dist/windows/SendTo.txt DESTINATION .)
else()
  install(TARGETS kestrox RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES README.md dist/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

  # The manual page and the changelog compressed as Debian wants them: gzip -9, without a name
  # or a time stamp, so that the same sources give the same bytes.
  find_program(KESTROX_GZIP gzip)
  if(KESTROX_GZIP)
    set(manual ${PROJECT_BINARY_DIR}/kestrox.1.gz)
    set(changelog ${PROJECT_BINARY_DIR}/changelog.gz)
    add_custom_command(OUTPUT ${manual}
      COMMAND ${KESTROX_GZIP} -9nc ${PROJECT_SOURCE_DIR}/man/kestrox.1 > ${manual}
      DEPENDS ${PROJECT_SOURCE_DIR}/man/kestrox.1)
    add_custom_command(OUTPUT ${changelog}
      COMMAND ${KESTROX_GZIP} -9nc ${PROJECT_SOURCE_DIR}/dist/debian/changelog > ${changelog}
      DEPENDS ${PROJECT_SOURCE_DIR}/dist/debian/changelog)
    add_custom_target(kestrox_compressed_docs ALL DEPENDS ${manual} ${changelog})
    install(FILES ${manual} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES ${changelog} DESTINATION ${CMAKE_INSTALL_DOCDIR})
  else()
    install(FILES man/kestrox.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES dist/debian/changelog DESTINATION ${CMAKE_INSTALL_DOCDIR})
  endif()

  # Opening a winmail.dat from a file manager runs kestrox on it in a terminal window.
  install(FILES dist/kestrox.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  foreach(size png IN ZIP_LISTS KESTROX_ICON_SIZES KESTROX_ICON_PNGS)
    install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME kestrox.png)
  endforeach()
  install(FILES ${KESTROX_ICON_SVG}
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()

set(CPACK_PACKAGE_NAME kestrox)
set(CPACK_PACKAGE_VENDOR "Kestrox")
set(CPACK_PACKAGE_CONTACT "Kestrox developers <kestrox@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "recover the attached files from a winmail.dat (TNEF) file")
set(CPACK_PACKAGE_DESCRIPTION
    "Kestrox finds the attachments in a TNEF file, the winmail.dat that some mail\n\
clients attach to messages sent in their rich format, and writes each one to a\n\
file of its own. It also takes a whole MIME message that carries the TNEF file\n\
in base64 or quoted-printable.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)
set(CPACK_VERBATIM_VARIABLES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR TGZ DEB)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
find_program(KESTROX_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(KESTROX_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()

# A source package holds the tree without what building and packaging leave in it.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\.git/" "/build[^/]*/" "/_CPack_Packages/" "/out/")

include(CPack)
