// The public JSON parsing test suite: every y_ file must be accepted, every n_
// file rejected, and every i_ file (implementation-defined) read without harm.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <variant>
#include <vector>

#include "json/error.hpp"
#include "reference/parse.hpp"

namespace quillmarrow {
namespace {

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(Conformance, JsonTestSuiteParsing) {
  const std::filesystem::path dir = QM_JSON_TEST_SUITE_DIR;
  std::error_code ec;
  if (!std::filesystem::is_directory(dir, ec)) {
    GTEST_SKIP() << "JSON test suite not found at " << dir.string()
                 << "; the conformance files live in the shared checkout next to the repository";
  }
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.is_regular_file() && entry.path().extension() == ".json") files.push_back(entry);
  }
  std::sort(files.begin(), files.end());

  int accepted = 0, rejected = 0, either = 0, i_accepted = 0;
  for (const auto& path : files) {
    const std::string name = path.filename().string();
    const std::string text = read_file(path);
    const ParseResult result = parse_json(text);
    const bool ok = std::holds_alternative<JsonValue>(result);
    switch (name.front()) {
      case 'y':
        EXPECT_TRUE(ok) << name << ": " << error_message(std::get<JsonError>(result));
        ++accepted;
        break;
      case 'n':
        EXPECT_FALSE(ok) << name << " was accepted";
        ++rejected;
        break;
      case 'i':
        ++either;
        i_accepted += ok ? 1 : 0;
        break;
      default:
        ADD_FAILURE() << "unexpected file " << name;
    }
  }
  std::cout << "[ suite    ] " << files.size() << " files: " << accepted << " must accept, "
            << rejected << " must reject, " << either << " free (" << i_accepted
            << " of them accepted)\n";
  EXPECT_GT(accepted, 0);
  EXPECT_GT(rejected, 0);
}

}  // namespace
}  // namespace quillmarrow
