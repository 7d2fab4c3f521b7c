# Loader scenarios: each runs in its own process with its own library path, so
# that the search of the driver library starts from nothing every time. The
# libraries found are small fakes built from the loader's own entry-point list.
function(vorlan_fake_driver target name)
  add_library(${target} SHARED ${CMAKE_CURRENT_SOURCE_DIR}/fake_driver/fake_driver.cpp)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src)
  target_compile_definitions(${target} PRIVATE VORLAN_FAKE_NAME="${name}" ${ARGN})
  set_target_properties(${target} PROPERTIES LIBRARY_OUTPUT_DIRECTORY
                        ${CMAKE_CURRENT_BINARY_DIR}/fake_drivers/${name} OUTPUT_NAME cuda)
endfunction()
vorlan_fake_driver(vorlan_fake_complete complete)
vorlan_fake_driver(vorlan_fake_no_launch no_launch VORLAN_FAKE_OMIT_LAUNCH)

set(fakes ${CMAKE_CURRENT_BINARY_DIR}/fake_drivers)
add_executable(driver_loading_scenarios ${CMAKE_CURRENT_SOURCE_DIR}/driver_loading_scenarios.cpp)
target_include_directories(driver_loading_scenarios PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(driver_loading_scenarios PRIVATE vorlan_engine GTest::gtest_main vorlan_warnings)
target_compile_definitions(driver_loading_scenarios PRIVATE
  VORLAN_FAKES_DIR="${fakes}" VORLAN_SCENARIO_DIR="${CMAKE_CURRENT_BINARY_DIR}/scenarios")
add_dependencies(driver_loading_scenarios vorlan_fake_complete vorlan_fake_no_launch)

# name, gtest filter, library path
function(vorlan_loader_scenario name filter path)
  add_test(NAME loader.${name} COMMAND driver_loading_scenarios --gtest_filter=${filter})
  set_tests_properties(loader.${name} PROPERTIES ENVIRONMENT "LD_LIBRARY_PATH=${path}")
endfunction()
set(scenarios ${CMAKE_CURRENT_BINARY_DIR}/scenarios)
file(MAKE_DIRECTORY ${scenarios}/empty ${scenarios}/retry ${scenarios}/last_candidate ${scenarios}/missing_first)
vorlan_loader_scenario(no_library "NoLibrary.*" ${scenarios}/empty)
vorlan_loader_scenario(retry_after_failure "RetryAfterFailure.*" ${scenarios}/retry)
vorlan_loader_scenario(last_candidate "LastCandidate.*" ${scenarios}/last_candidate)
vorlan_loader_scenario(missing_entry "MissingEntry.*" ${scenarios}/missing_first)
vorlan_loader_scenario(error_text "ErrorText.*" ${fakes}/complete)
