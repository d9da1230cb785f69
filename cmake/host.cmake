# The host flavour: the firmware modules on the simulated board.

# The fuzzing flavour (clang): only the fuzz targets are built, and only the
# code under test (the firmware modules and the USB stack) is instrumented for
# coverage. The simulated board runs for every byte and every SDK call; its
# comparisons would steer the fuzzer nowhere and cost most of the time.
option(ORLIX_FUZZ "Build the libFuzzer targets (needs clang)" OFF)
set(ORLIX_FUZZ_COVERAGE)
if(ORLIX_FUZZ)
  set(ORLIX_FUZZ_COVERAGE -fsanitize=fuzzer-no-link)
endif()

enable_testing()
if(NOT ORLIX_FUZZ)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()

# Addresses must fit 32 bits where the firmware reads the stack pointer, so
# nothing is position independent here.
set(CMAKE_POSITION_INDEPENDENT_CODE OFF)
add_compile_options(-fno-pie -U_FORTIFY_SOURCE)
add_link_options(-no-pie)

option(ORLIX_SANITIZE "Build with AddressSanitizer and UBSan" ON)
if(ORLIX_SANITIZE)
  set(ORLIX_SANITIZERS -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_compile_options(${ORLIX_SANITIZERS})
  add_link_options(${ORLIX_SANITIZERS})
endif()

set(ORLIX_HOST_INCLUDE ${CMAKE_SOURCE_DIR}/platform/host/include)

# The modules, compiled exactly as for the board but against the simulated
# board's SDK headers.
set(ORLIX_FW_TARGET orlix_fw_objects)
set(ORLIX_LINK_TARGET orlix_vboard)
add_library(orlix_fw_objects OBJECT ${ORLIX_FW_SOURCES})
target_include_directories(orlix_fw_objects PRIVATE ${CMAKE_SOURCE_DIR}/include ${ORLIX_HOST_INCLUDE})
target_compile_options(orlix_fw_objects PRIVATE ${ORLIX_WARNINGS} ${ORLIX_FUZZ_COVERAGE})

# Joins firmware objects into one relocatable object for the simulated board,
# in which the C library's output functions are renamed to the board's
# console (as the SDK wraps them on the board) and main() becomes the entry
# the simulated board calls per boot; fails if an output call is left over.
# The RAM layout (firmware_ram.ld) finds the firmware by the object's file
# name, orlix_firmware.o. OBJECTS may hold generator expressions.
#   orlix_join_firmware(OUTPUT <dir>/orlix_firmware.o OBJECTS <objects...> [COMMENT <text>])
function(orlix_join_firmware)
  cmake_parse_arguments(JOIN "" "OUTPUT;COMMENT" "OBJECTS" ${ARGN})
  if(NOT JOIN_COMMENT)
    set(JOIN_COMMENT "Joining the firmware modules for the simulated board")
  endif()
  add_custom_command(
    OUTPUT ${JOIN_OUTPUT}
    COMMAND ${CMAKE_LINKER} -r -o ${JOIN_OUTPUT}.raw ${JOIN_OBJECTS}
    COMMAND ${CMAKE_OBJCOPY}
            --redefine-sym puts=__wrap_puts --redefine-sym printf=__wrap_printf
            --redefine-sym putchar=__wrap_putchar --redefine-sym vprintf=__wrap_vprintf
            --redefine-sym main=vb_firmware_main
            ${JOIN_OUTPUT}.raw ${JOIN_OUTPUT}
    COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DOBJECT=${JOIN_OUTPUT}
            -P ${CMAKE_SOURCE_DIR}/cmake/check_console_calls.cmake
    DEPENDS ${JOIN_OBJECTS} ${CMAKE_SOURCE_DIR}/cmake/check_console_calls.cmake
    COMMAND_EXPAND_LISTS
    COMMENT "${JOIN_COMMENT}")
  set_source_files_properties(${JOIN_OUTPUT} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
endfunction()

# One relocatable object of all modules.
set(ORLIX_FW_OBJECT ${CMAKE_CURRENT_BINARY_DIR}/orlix_firmware.o)
orlix_join_firmware(OUTPUT ${ORLIX_FW_OBJECT} OBJECTS $<TARGET_OBJECTS:orlix_fw_objects>)
add_custom_target(orlix_fw_object DEPENDS ${ORLIX_FW_OBJECT})

# The simulated board: device models, the SDK calls, and the test side.
file(GLOB ORLIX_BOARD_SOURCES CONFIGURE_DEPENDS
     ${CMAKE_SOURCE_DIR}/platform/host/board/*.cpp ${CMAKE_SOURCE_DIR}/platform/host/harness/*.cpp)
add_library(orlix_vboard STATIC ${ORLIX_BOARD_SOURCES} ${ORLIX_FW_OBJECT})
add_dependencies(orlix_vboard orlix_fw_object)
target_include_directories(orlix_vboard PUBLIC
  ${CMAKE_SOURCE_DIR}/include ${ORLIX_HOST_INCLUDE}
  ${CMAKE_SOURCE_DIR}/platform/host/board ${CMAKE_SOURCE_DIR}/platform/host/harness)
target_compile_options(orlix_vboard PRIVATE ${ORLIX_WARNINGS})
target_link_libraries(orlix_vboard PUBLIC pthread)
# The firmware's variables in one range, which the board puts back at each
# reset (platform/host/board/ram.cpp).
set(ORLIX_FW_RAM_SCRIPT ${CMAKE_SOURCE_DIR}/platform/host/board/firmware_ram.ld)
target_link_options(orlix_vboard INTERFACE -Wl,-T,${ORLIX_FW_RAM_SCRIPT})
set_property(TARGET orlix_vboard APPEND PROPERTY INTERFACE_LINK_DEPENDS ${ORLIX_FW_RAM_SCRIPT})


# A test of a host tool: it runs the tool's executable, whose path it gets
# in the macro named `path_define`. Like every test binary, it gives each
# case a fresh board.
function(orlix_tool_test name tool path_define)
  add_executable(${name} ${ARGN} ${CMAKE_SOURCE_DIR}/tests/support/fresh_board.cpp)
  target_compile_definitions(${name} PRIVATE ${path_define}="$<TARGET_FILE:${tool}>")
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
  target_link_libraries(${name} PRIVATE orlix_models GTest::gtest GTest::gtest_main)
  target_compile_options(${name} PRIVATE ${ORLIX_WARNINGS})
  add_dependencies(${name} ${tool})
  gtest_discover_tests(${name} TEST_PREFIX "tools." PROPERTIES LABELS tools TIMEOUT 120 DISCOVERY_TIMEOUT 60)
endfunction()
