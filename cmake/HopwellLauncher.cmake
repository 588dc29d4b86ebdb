# hopwell_launcher(TARGET OUTPUT_NAME name MANIFEST_URL url [PUBLIC_KEY key] [SOURCES ...]
#                  [LIBS ...])
# A launcher executable: the GUI entry point, the icon and manifest resources, ManifestUrl()
# returning the given URL and ManifestPublicKey() returning the given key (128 hex digits, as
# hopwell-publish keygen prints it; none: releases are not verified). Extra SOURCES may replace
# library parts (a test build links its own UpdaterThread; the linker then never pulls the
# library's).
function(hopwell_launcher target)
  cmake_parse_arguments(L "" "OUTPUT_NAME;MANIFEST_URL;PUBLIC_KEY" "SOURCES;LIBS" ${ARGN})
  if(NOT L_OUTPUT_NAME OR NOT L_MANIFEST_URL)
    message(FATAL_ERROR "hopwell_launcher(${target}): OUTPUT_NAME and MANIFEST_URL are required")
  endif()
  if(L_MANIFEST_URL MATCHES "[\"\\\\]")
    message(FATAL_ERROR "hopwell_launcher(${target}): the manifest URL holds a quote or backslash")
  endif()
  # A key that cannot be one would make every pass refuse its manifest: say so now instead.
  if(NOT "${L_PUBLIC_KEY}" STREQUAL "" AND NOT "${L_PUBLIC_KEY}" MATCHES "^[0-9a-fA-F]+$")
    message(FATAL_ERROR "hopwell_launcher(${target}): the public key is not hexadecimal: ${L_PUBLIC_KEY}")
  endif()
  string(LENGTH "${L_PUBLIC_KEY}" key_length)
  if(NOT key_length EQUAL 0 AND NOT key_length EQUAL 128)
    message(FATAL_ERROR "hopwell_launcher(${target}): the public key has ${key_length} hex digits, not 128")
  endif()
  set(url_source ${CMAKE_CURRENT_BINARY_DIR}/${target}_manifest_url.cpp)
  file(CONFIGURE OUTPUT ${url_source} CONTENT
    "// Generated: the manifest URL and release key of ${L_OUTPUT_NAME}.exe.\n#include \"update/updater_thread.h\"\n\nconst wchar_t* ManifestUrl() { return L\"${L_MANIFEST_URL}\"; }\nconst char* ManifestPublicKey() { return \"${L_PUBLIC_KEY}\"; }\n")
  add_executable(${target} WIN32
    ${CMAKE_SOURCE_DIR}/app/main.cpp ${url_source} ${L_SOURCES}
    $<TARGET_OBJECTS:hopwell_resources>)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${L_OUTPUT_NAME})
  target_link_libraries(${target} PRIVATE hopwell_app ${L_LIBS})
  target_compile_options(${target} PRIVATE ${HOPWELL_WARNINGS})
endfunction()
