// Table tests whose rows carry a `name`: the row's name is the test's name and what gtest
// prints for the row, so that a failing row is known by its name alone.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>

template <typename Row>
void PrintRowName(const Row& row, std::ostream* out) {
  *out << row.name;
}

struct RowName {
  template <typename Row>
  std::string operator()(const ::testing::TestParamInfo<Row>& info) const {
    return std::string(info.param.name);
  }
};

// Where the row type is declared: gtest finds PrintTo beside the type.
#define TABLE_ROW_NAMES(Row)                                                                   \
  [[maybe_unused]] void PrintTo(const Row& row, std::ostream* out) { PrintRowName(row, out); } \
  static_assert(true, "")

// Every row of the array `rows` as a case of the parameterized suite `Suite`.
#define TABLE_TEST_ROWS(Prefix, Suite, rows) \
  TABLE_ROW_NAMES(Suite::ParamType);         \
  INSTANTIATE_TEST_SUITE_P(Prefix, Suite, ::testing::ValuesIn(rows), RowName())
