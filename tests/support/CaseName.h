// Names the cases of a parameterised GoogleTest suite after the `name`
// member of their parameter: INSTANTIATE_TEST_SUITE_P(..., kivtest::CaseName()).
#ifndef KIV_TEST_CASE_NAME_H
#define KIV_TEST_CASE_NAME_H

#include <gtest/gtest.h>

#include <string>

namespace kivtest {

struct CaseName {
  template <class Case>
  std::string operator()(const ::testing::TestParamInfo<Case>& info) const {
    return info.param.name;
  }
};

}  // namespace kivtest

#endif
