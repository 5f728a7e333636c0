# Run by CTest (a TEST_INCLUDE_FILES script that kiv_add_gtest writes): gives
# each discovered GoogleTest case its labels, its environment and its cost.
#
# A case's tier is the tier of the source file that defines its suite; the
# files are read here, at test time, so that a new test needs no new
# configuration. A suite must stand in files of one tier only, and every case
# must find its suite: otherwise CTest stops with the reason.
cmake_policy(VERSION 3.25)  # CTest reads this with no policies set

# The cost orders a clean run (no timings recorded yet): the slow tiers start
# first, the many quick cases fill the gaps.
set(kiv_tier_cost_unit 0)
set(kiv_tier_cost_broker 20)
set(kiv_tier_cost_process 20)
set(kiv_tier_cost_e2e 50)

# The suites the GoogleTest sources define (TEST, TEST_F, TEST_P).
function(kiv_suites_of sources out)
  set(suites "")
  foreach(source IN LISTS sources)
    file(STRINGS "${source}" lines REGEX "^(TEST|TEST_F|TEST_P)\\(")
    foreach(line IN LISTS lines)
      string(REGEX MATCH "^TEST(_F|_P)?\\(([A-Za-z0-9_]+)" ignored "${line}")
      list(APPEND suites "${CMAKE_MATCH_2}")
    endforeach()
  endforeach()
  list(REMOVE_DUPLICATES suites)
  set(${out} "${suites}" PARENT_SCOPE)
endfunction()

# kiv_label_tests(<tests> <labels> <environment>)
# With kiv_tier_sources_<tier> set to the source files of each tier used.
function(kiv_label_tests tests labels environment)
  set(tiers "")
  foreach(tier unit broker process e2e)
    if(DEFINED kiv_tier_sources_${tier})
      list(APPEND tiers ${tier})
      kiv_suites_of("${kiv_tier_sources_${tier}}" suites_${tier})
    endif()
  endforeach()
  foreach(test IN LISTS tests)
    # "Suite.Case", or "Instantiation/Suite.Case/Parameter" for TEST_P.
    string(REGEX MATCH "^([A-Za-z0-9_]+/)?([A-Za-z0-9_]+)\\." ignored "${test}")
    set(suite "${CMAKE_MATCH_2}")
    set(found "")
    foreach(tier IN LISTS tiers)
      if(suite IN_LIST suites_${tier})
        list(APPEND found ${tier})
      endif()
    endforeach()
    list(LENGTH found count)
    if(NOT count EQUAL 1)
      message(FATAL_ERROR "${test}: its suite ${suite} is in the sources of tiers [${found}]; "
                          "it must be in exactly one (tests/TestTiers.cmake)")
    endif()
    set_tests_properties("${test}" PROPERTIES LABELS "${labels};${found}"
                         ENVIRONMENT "${environment}" COST ${kiv_tier_cost_${found}})
  endforeach()
endfunction()
