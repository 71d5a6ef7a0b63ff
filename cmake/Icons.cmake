# The icon: one SVG (dist/icons/kestrox.svg) with its PNG sizes and a Windows .ico rendered from
# it and kept beside it. Where rsvg-convert (and, for the .ico, icotool) is on the machine they
# are rendered anew into the build directory; elsewhere the kept files are used as they are.
# Sets KESTROX_ICON_PNGS (one file a size, in KESTROX_ICON_SIZES order) and KESTROX_ICO.
set(KESTROX_ICON_SIZES 16 32 48 64 128 256)
set(KESTROX_ICON_SVG ${PROJECT_SOURCE_DIR}/dist/icons/kestrox.svg)
find_program(KESTROX_RSVG_CONVERT rsvg-convert)
find_program(KESTROX_ICOTOOL icotool)

set(KESTROX_ICON_PNGS "")
set(rendered_pngs "")
foreach(size IN LISTS KESTROX_ICON_SIZES)
  if(KESTROX_RSVG_CONVERT)
    set(png ${PROJECT_BINARY_DIR}/icons/kestrox-${size}.png)
    add_custom_command(OUTPUT ${png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/icons
      COMMAND ${KESTROX_RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${KESTROX_ICON_SVG}
      DEPENDS ${KESTROX_ICON_SVG} VERBATIM)
    list(APPEND rendered_pngs ${png})
  else()
    set(png ${PROJECT_SOURCE_DIR}/dist/icons/kestrox-${size}.png)
  endif()
  list(APPEND KESTROX_ICON_PNGS ${png})
endforeach()

set(KESTROX_ICO ${PROJECT_SOURCE_DIR}/dist/icons/kestrox.ico)
if(WIN32 AND KESTROX_RSVG_CONVERT AND KESTROX_ICOTOOL)
  # The small sizes as bitmaps, which every Windows shows; the large ones as PNG, which keeps the
  # file small.
  set(KESTROX_ICO ${PROJECT_BINARY_DIR}/icons/kestrox.ico)
  set(ico_inputs "")
  foreach(size png IN ZIP_LISTS KESTROX_ICON_SIZES KESTROX_ICON_PNGS)
    if(size GREATER 64)
      list(APPEND ico_inputs --raw=${png})
    else()
      list(APPEND ico_inputs ${png})
    endif()
  endforeach()
  add_custom_command(OUTPUT ${KESTROX_ICO}
    COMMAND ${KESTROX_ICOTOOL} -c -o ${KESTROX_ICO} ${ico_inputs}
    DEPENDS ${KESTROX_ICON_PNGS} VERBATIM)
  list(APPEND rendered_pngs ${KESTROX_ICO})
endif()
if(rendered_pngs)
  add_custom_target(kestrox_icons ALL DEPENDS ${rendered_pngs})
endif()

if(WIN32)
  # Explorer's icon and version information for Kestrox.exe, from the project version.
  enable_language(RC)
  set(patch 0)
  if(PROJECT_VERSION_PATCH)
    set(patch ${PROJECT_VERSION_PATCH})
  endif()
  set(KESTROX_VERSION_COMMAS "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${patch},0")
  configure_file(${PROJECT_SOURCE_DIR}/dist/windows/kestrox.rc.in
                 ${PROJECT_BINARY_DIR}/kestrox.rc @ONLY)
  target_sources(kestrox PRIVATE ${PROJECT_BINARY_DIR}/kestrox.rc)
  set_source_files_properties(${PROJECT_BINARY_DIR}/kestrox.rc PROPERTIES
                              OBJECT_DEPENDS ${KESTROX_ICO})
  if(TARGET kestrox_icons)
    add_dependencies(kestrox kestrox_icons)
  endif()
endif()
