# Size report of the board image, run as a script (cmake -P) after each board build.
#
#   -DELF=<image.elf> -DREADELF_TOOL=<arm-none-eabi-readelf>
#   -DFLASH_BASE=0x10000000 -DFLASH_LIMIT=0x1E0000
#
# Prints text/data/bss and the end of the image in flash (the end of the last loadable segment
# placed in flash, as an offset from FLASH_BASE and as an address), and fails if the image runs
# past FLASH_LIMIT, where the fob store begins. (The linker already refuses such an image when the
# SDK's FLASH region is sized to FLASH_LIMIT; this check also covers other linker scripts.)

foreach(v ELF READELF_TOOL FLASH_BASE FLASH_LIMIT)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "size_report.cmake: ${v} not given")
  endif()
endforeach()

# Section headers: "[Nr] Name Type Addr Off Size ES Flg Lk Inf Al"
#   text: allocated sections in flash (code, read-only data, boot2, binary info)
#   data: initialised sections in RAM, copied from flash at start-up (including code placed in RAM)
#   bss:  zero-filled sections in RAM, not counting the heap and stack reservations
# (arm-none-eabi-size -B counts the .data section as text because it holds code run from RAM.)
execute_process(COMMAND ${READELF_TOOL} -SW ${ELF}
  OUTPUT_VARIABLE shdrs RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${READELF_TOOL} failed: ${err}")
endif()
math(EXPR base_d "${FLASH_BASE}")
math(EXPR flash_window_end "${FLASH_BASE} + 0x1000000")
set(text 0)
set(data 0)
set(bss 0)
string(REPLACE "\n" ";" lines "${shdrs}")
foreach(line IN LISTS lines)
  if(line MATCHES "\\][ \t]+([^ \t]+)[ \t]+([A-Z_]+)[ \t]+([0-9a-f]+)[ \t]+[0-9a-f]+[ \t]+([0-9a-f]+)[ \t]+[0-9a-f]+[ \t]+([A-Za-z]*)")
    set(name ${CMAKE_MATCH_1})
    set(type ${CMAKE_MATCH_2})
    set(flags ${CMAKE_MATCH_5})
    math(EXPR addr "0x${CMAKE_MATCH_3}")
    math(EXPR size "0x${CMAKE_MATCH_4}")
    if(NOT flags MATCHES "A" OR size EQUAL 0)
      continue()
    endif()
    if(addr GREATER_EQUAL base_d AND addr LESS flash_window_end)
      math(EXPR text "${text} + ${size}")
    elseif(type STREQUAL "NOBITS")
      if(NOT name MATCHES "^\\.(heap|stack)")
        math(EXPR bss "${bss} + ${size}")
      endif()
    else()
      math(EXPR data "${data} + ${size}")
    endif()
  endif()
endforeach()

# Program headers: "LOAD 0xOFFSET 0xVIRT 0xPHYS 0xFILESZ 0xMEMSZ FLAGS ALIGN"
execute_process(COMMAND ${READELF_TOOL} -lW ${ELF}
  OUTPUT_VARIABLE phdrs RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${READELF_TOOL} failed: ${err}")
endif()
set(flash_end ${base_d})
string(REPLACE "\n" ";" lines "${phdrs}")
foreach(line IN LISTS lines)
  if(line MATCHES "^[ \t]*LOAD[ \t]+(0x[0-9a-fA-F]+)[ \t]+(0x[0-9a-fA-F]+)[ \t]+(0x[0-9a-fA-F]+)[ \t]+(0x[0-9a-fA-F]+)")
    set(paddr ${CMAKE_MATCH_3})
    set(filesz ${CMAKE_MATCH_4})
    math(EXPR paddr_d "${paddr}")     # if() compares decimal numbers only
    math(EXPR filesz_d "${filesz}")
    if(filesz_d GREATER 0 AND paddr_d GREATER_EQUAL base_d AND paddr_d LESS flash_window_end)
      math(EXPR seg_end "${paddr_d} + ${filesz_d}")
      if(seg_end GREATER flash_end)
        set(flash_end ${seg_end})
      endif()
    endif()
  endif()
endforeach()

math(EXPR end_offset "${flash_end} - ${FLASH_BASE}")
math(EXPR limit_d "${FLASH_LIMIT}")
math(EXPR free_bytes "${limit_d} - ${end_offset}")
math(EXPR end_offset_hex "${end_offset}" OUTPUT_FORMAT HEXADECIMAL)
math(EXPR flash_end_hex "${flash_end}" OUTPUT_FORMAT HEXADECIMAL)
math(EXPR limit_hex "${FLASH_LIMIT}" OUTPUT_FORMAT HEXADECIMAL)
get_filename_component(elf_name "${ELF}" NAME)

message("${elf_name}: text ${text}  data ${data}  bss ${bss}  (bytes)")
message("${elf_name}: flash used up to offset ${end_offset_hex} (address ${flash_end_hex}, exclusive): "
        "${end_offset} bytes, ${free_bytes} bytes free below ${limit_hex}")
if(end_offset GREATER limit_d)
  message(FATAL_ERROR "${elf_name}: the image runs past flash offset ${limit_hex}, "
                      "where the fob store is kept")
endif()
