# The LV2 bundle Solvantis.lv2: the library (its one export lv2_descriptor) and its Turtle files, built
# from the same instrument library as the VST 2 plug-in. Linux only: Windows stays VST 2.
# Included by CMakeLists.txt after the plug-in and the command-line host.
option(SOLVANTIS_LV2 "Build the LV2 bundle Solvantis.lv2 (needs Debian's lv2-dev)" ON)
if(NOT SOLVANTIS_LV2 OR WIN32)
  return()
endif()

find_path(LV2_INCLUDE_DIR lv2/core/lv2.h REQUIRED)
set(lv2_bundle_name Solvantis.lv2)
# In a folder of its own, so that LV2_PATH=build/release/lv2 shows hosts this bundle and nothing else.
set(lv2_bundle ${PROJECT_BINARY_DIR}/lv2/${lv2_bundle_name})
set(lv2_turtle manifest.ttl Solvantis.ttl presets.ttl)

add_library(Solvantis_lv2 MODULE src/lv2/lv2_entry.cpp src/lv2/lv2_instrument.cpp)
target_include_directories(Solvantis_lv2 SYSTEM PRIVATE ${LV2_INCLUDE_DIR})
target_link_libraries(Solvantis_lv2 PRIVATE solvantis_instrument)
set_target_properties(Solvantis_lv2 PROPERTIES
  PREFIX "" OUTPUT_NAME Solvantis_lv2 LIBRARY_OUTPUT_DIRECTORY ${lv2_bundle}
  CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON
  LINK_DEPENDS ${PROJECT_SOURCE_DIR}/src/lv2/exports.map)
target_link_options(Solvantis_lv2 PRIVATE
  -Wl,--version-script=${PROJECT_SOURCE_DIR}/src/lv2/exports.map -Wl,--no-undefined)
if(SOLVANTIS_STATIC_RUNTIME AND NOT SOLVANTIS_SANITIZE)
  target_link_options(Solvantis_lv2 PRIVATE -static-libstdc++ -static-libgcc)
endif()
foreach(file ${lv2_turtle})
  configure_file(src/lv2/${file} ${lv2_bundle}/${file} COPYONLY)
endforeach()

# Hosts look in lib/lv2 under the prefix (/usr/local/lib/lv2, /usr/lib/lv2) and in ~/.lv2.
install(TARGETS Solvantis_lv2 LIBRARY DESTINATION lib/lv2/${lv2_bundle_name})
list(TRANSFORM lv2_turtle PREPEND ${lv2_bundle}/ OUTPUT_VARIABLE lv2_turtle_built)
install(FILES ${lv2_turtle_built} DESTINATION lib/lv2/${lv2_bundle_name})

if(SOLVANTIS_TESTS AND TARGET solvantis_cli)
  # The bundle rendered through lilv, a host library, against the VST 2 plug-in of the same build.
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LILV REQUIRED IMPORTED_TARGET lilv-0)
  add_executable(lv2_tests tests/lv2/lv2_render_test.cpp)
  target_link_libraries(lv2_tests PRIVATE solvantis_cli PkgConfig::LILV GTest::gtest_main)
  target_include_directories(lv2_tests SYSTEM PRIVATE ${LV2_INCLUDE_DIR})
  target_compile_definitions(lv2_tests PRIVATE
    SOLVANTIS_PLUGIN_PATH="$<TARGET_FILE:Solvantis>" SOLVANTIS_LV2_BUNDLE="${lv2_bundle}/")
  add_dependencies(lv2_tests Solvantis Solvantis_lv2)
  gtest_discover_tests(lv2_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)

  add_test(NAME script_lv2_bundle COMMAND bash ${PROJECT_SOURCE_DIR}/tests/scripts/lv2_bundle.sh ${lv2_bundle})
endif()
