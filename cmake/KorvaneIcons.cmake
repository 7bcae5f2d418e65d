# The program's icon: one source image, packaging/icons/korvane.svg, rendered
# to PNG at every size of the hicolor theme at build time with rsvg-convert
# (Debian librsvg2-bin). The 32-pixel image is also the window icon.

set(KORVANE_ICON_SOURCE ${PROJECT_SOURCE_DIR}/packaging/icons/korvane.svg)
set(KORVANE_ICON_SIZES 16 32 48 64 128 256)
# Laid out as in the theme: <dir>/<N>x<N>/apps/korvane.png.
set(KORVANE_ICON_DIR ${PROJECT_BINARY_DIR}/icons/hicolor)

# korvane_icon_png(SIZE VAR): VAR = the rendered image of SIZE pixels.
function(korvane_icon_png size var)
  set(${var} ${KORVANE_ICON_DIR}/${size}x${size}/apps/korvane.png PARENT_SCOPE)
endfunction()

# korvane_render_icons(TARGET): a target, built by default, that renders
# every size; call it once, in the folder whose targets use the images.
function(korvane_render_icons target)
  find_program(KORVANE_RSVG_CONVERT rsvg-convert REQUIRED)
  set(pngs)
  foreach(size IN LISTS KORVANE_ICON_SIZES)
    korvane_icon_png(${size} png)
    get_filename_component(dir ${png} DIRECTORY)
    add_custom_command(OUTPUT ${png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
      COMMAND ${KORVANE_RSVG_CONVERT} --width ${size} --height ${size} --keep-aspect-ratio
              --format png --output ${png} ${KORVANE_ICON_SOURCE}
      DEPENDS ${KORVANE_ICON_SOURCE}
      COMMENT "Rendering the ${size}x${size} icon"
      VERBATIM)
    list(APPEND pngs ${png})
  endforeach()
  add_custom_target(${target} ALL DEPENDS ${pngs})
endfunction()
