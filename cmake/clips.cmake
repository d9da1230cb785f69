# The announcement clips: each clips/<name>.wav becomes a generated source that defines the whole
# file as `const unsigned char <name>[]` (4-byte aligned, read-only, so in flash on the board) and its
# length in bytes as `unsigned int <name>_len`.
#
# Included by the top-level CMakeLists.txt, it adds the generated sources to the firmware. Run as a
# script, it converts one file:
#   cmake -DWAV=<clip.wav> -DNAME=<symbol> -DOUT=<source.cpp> -P cmake/clips.cmake

if(CMAKE_SCRIPT_MODE_FILE)
  foreach(v WAV NAME OUT)
    if(NOT DEFINED ${v})
      message(FATAL_ERROR "clips.cmake: ${v} not given")
    endif()
  endforeach()
  file(SIZE ${WAV} size)
  file(READ ${WAV} hex HEX)
  # Sixteen bytes a line.
  string(REPEAT "[0-9a-f]" 32 line)
  string(REGEX REPLACE "(${line})" "\\1\n    " hex "${hex}")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  file(WRITE ${OUT}.tmp
    "// Generated from ${WAV} by cmake/clips.cmake: do not edit.\n"
    "extern const unsigned char ${NAME}[];\n"
    "extern unsigned int ${NAME}_len;\n\n"
    "alignas(4) const unsigned char ${NAME}[${size}] = {\n    ${bytes}\n};\n"
    "unsigned int ${NAME}_len = ${size};\n")
  file(RENAME ${OUT}.tmp ${OUT})
  return()
endif()

file(GLOB ORLIX_CLIPS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/clips/*.wav)
set(ORLIX_CLIP_SOURCE_DIR ${CMAKE_BINARY_DIR}/generated/clips)
file(MAKE_DIRECTORY ${ORLIX_CLIP_SOURCE_DIR})
set(ORLIX_CLIP_SOURCES)
foreach(wav ${ORLIX_CLIPS})
  get_filename_component(name ${wav} NAME_WE)
  set(source ${ORLIX_CLIP_SOURCE_DIR}/${name}.cpp)
  add_custom_command(OUTPUT ${source}
    COMMAND ${CMAKE_COMMAND} -DWAV=${wav} -DNAME=${name} -DOUT=${source} -P ${CMAKE_CURRENT_LIST_FILE}
    DEPENDS ${wav} ${CMAKE_CURRENT_LIST_FILE}
    COMMENT "Converting clip ${name}"
    VERBATIM)
  list(APPEND ORLIX_CLIP_SOURCES ${source})
endforeach()
target_sources(${ORLIX_FW_TARGET} PRIVATE ${ORLIX_CLIP_SOURCES})
