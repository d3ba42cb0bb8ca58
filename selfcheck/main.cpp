// The self-check program: hands the scenarios to GoogleTest and nothing else.
// No log sink is installed and no file is opened; the command line, report
// and exit status are GoogleTest's.

#include <gtest/gtest.h>

#include "scenarios.hpp"

namespace {

class ScenarioTest : public testing::Test {
 public:
  explicit ScenarioTest(void (*run)()) : run_(run) {}
  void TestBody() override { run_(); }

 private:
  void (*run_)();
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  for (const tests::Scenario& scenario : tests::kScenarios) {
    auto run = scenario.run;
    testing::RegisterTest("tests", scenario.name, nullptr, nullptr, scenario.file, scenario.line,
                          [run]() -> testing::Test* { return new ScenarioTest(run); });
  }
  return RUN_ALL_TESTS();
}
