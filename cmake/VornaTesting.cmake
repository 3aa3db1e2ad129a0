# Helpers shared by the test folders.
find_package(GTest REQUIRED)
include(GoogleTest)

find_program(XVFB Xvfb REQUIRED)
set(VORNA_WITH_XVFB "${CMAKE_SOURCE_DIR}/tests/support/with-xvfb.sh")
find_program(FFPROBE ffprobe REQUIRED)
find_program(FFMPEG ffmpeg REQUIRED)

# vorna_add_x11_test(NAME name COMMAND cmd... [LABELS l...] [TIMEOUT s] [ENVIRONMENT e...])
# Runs the command under its own Xvfb (1920x1080, 24-bit, GLX through Mesa), so tests need no
# display from the caller and can run in parallel.
function(vorna_add_x11_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "COMMAND;LABELS;ENVIRONMENT" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_test(NAME ${T_NAME}
    COMMAND ${VORNA_WITH_XVFB} ${T_COMMAND})
  set_tests_properties(${T_NAME} PROPERTIES
    LABELS "x11;${T_LABELS}"
    TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "LIBGL_ALWAYS_SOFTWARE=1;${T_ENVIRONMENT}")
endfunction()
