# hopwell_launcher(TARGET OUTPUT_NAME name MANIFEST_URL url [SOURCES ...] [LIBS ...])
# A launcher executable: the GUI entry point, the icon and manifest resources, and ManifestUrl()
# returning the given URL. Extra SOURCES may replace library parts (a test build links its own
# UpdaterThread; the linker then never pulls the library's).
function(hopwell_launcher target)
  cmake_parse_arguments(L "" "OUTPUT_NAME;MANIFEST_URL" "SOURCES;LIBS" ${ARGN})
  if(NOT L_OUTPUT_NAME OR NOT L_MANIFEST_URL)
    message(FATAL_ERROR "hopwell_launcher(${target}): OUTPUT_NAME and MANIFEST_URL are required")
  endif()
  if(L_MANIFEST_URL MATCHES "[\"\\\\]")
    message(FATAL_ERROR "hopwell_launcher(${target}): the manifest URL holds a quote or backslash")
  endif()
  set(url_source ${CMAKE_CURRENT_BINARY_DIR}/${target}_manifest_url.cpp)
  file(CONFIGURE OUTPUT ${url_source} CONTENT
    "// Generated: the manifest URL of ${L_OUTPUT_NAME}.exe.\n#include \"update/updater_thread.h\"\n\nconst wchar_t* ManifestUrl() { return L\"${L_MANIFEST_URL}\"; }\n")
  add_executable(${target} WIN32
    ${CMAKE_SOURCE_DIR}/app/main.cpp ${url_source} ${L_SOURCES}
    $<TARGET_OBJECTS:hopwell_resources>)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${L_OUTPUT_NAME})
  target_link_libraries(${target} PRIVATE hopwell_app ${L_LIBS})
  target_compile_options(${target} PRIVATE ${HOPWELL_WARNINGS})
endfunction()
