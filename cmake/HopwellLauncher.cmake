# hopwell_launcher(TARGET OUTPUT_NAME name MANIFEST_URL url... [PUBLIC_KEY key] [SOURCES ...]
#                  [LIBS ...])
# A launcher executable: the GUI entry point, the icon and manifest resources, ManifestUrls()
# returning the given URLs in order (primary first, the others tried when it fails) and
# ManifestPublicKey() returning the given key (128 hex digits, as
# hopwell-publish keygen prints it; none: releases are not verified). Extra SOURCES may replace
# library parts (a test build links its own UpdaterThread; the linker then never pulls the
# library's).
function(hopwell_launcher target)
  cmake_parse_arguments(L "" "OUTPUT_NAME;PUBLIC_KEY" "MANIFEST_URL;SOURCES;LIBS" ${ARGN})
  if(NOT L_OUTPUT_NAME OR NOT L_MANIFEST_URL)
    message(FATAL_ERROR "hopwell_launcher(${target}): OUTPUT_NAME and MANIFEST_URL are required")
  endif()
  set(url_items "")
  foreach(url IN LISTS L_MANIFEST_URL)
    if(url MATCHES "[\"\\\\]" OR url STREQUAL "")
      message(FATAL_ERROR "hopwell_launcher(${target}): a manifest URL is empty or holds a quote or backslash: ${url}")
    endif()
    string(APPEND url_items "L\"${url}\", ")
  endforeach()
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
    "// Generated: the manifest URLs and release key of ${L_OUTPUT_NAME}.exe.\n#include \"update/updater_thread.h\"\n\nconst wchar_t* const* ManifestUrls() {\n    static const wchar_t* const urls[] = {${url_items}nullptr};\n    return urls;\n}\nconst char* ManifestPublicKey() { return \"${L_PUBLIC_KEY}\"; }\n")
  add_executable(${target} WIN32
    ${CMAKE_SOURCE_DIR}/app/main.cpp ${url_source} ${L_SOURCES}
    $<TARGET_OBJECTS:hopwell_resources>)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${L_OUTPUT_NAME})
  target_link_libraries(${target} PRIVATE hopwell_app ${L_LIBS})
  target_compile_options(${target} PRIVATE ${HOPWELL_WARNINGS})
endfunction()
