// Rows of the tests' tables, named. A parameterised test takes a row's `name` for its own, and
// GoogleTest prints the row by it: its fallback dumps the raw bytes, padding included, which
// valgrind takes for a read of uninitialised memory. A test file brings the printer in with
// `using quorvane::testkit::PrintTo;` in its anonymous namespace, where argument-dependent lookup
// then finds it for the rows declared there.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

namespace quorvane::testkit {

template <typename Row>
requires requires(const Row& row) {
    std::string_view(row.name);
}
void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

// The last argument of INSTANTIATE_TEST_SUITE_P: each case is named by its row's name.
inline constexpr auto kByName = [](const auto& info) { return std::string(info.param.name); };

}  // namespace quorvane::testkit
