// A fresh ntsim machine per test, and the checks every test shares.
#pragma once

#include <gtest/gtest.h>
#include <ntsim/ntsim.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace pdkit::test {

inline std::string driverPath(const std::string& name) { return std::string(PDKIT_DRIVER_DIR) + "/" + name + ".so"; }

// Polls until the condition holds: threads the bus or the power manager
// started finish after the request that started them returned.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override { machine = std::make_unique<ntsim::Machine>(); }

  void TearDown() override {
    if (!expectViolations) expectNoViolations();
    machine.reset();
  }

  // Each DbgPrint call's text, in order.
  std::vector<std::string> kd() const {
    std::vector<std::string> lines;
    for (const auto& record : machine->debugOutput()) lines.push_back(record.text);
    return lines;
  }

  void expectNoViolations() const {
    for (const auto& violation : machine->violations()) {
      ADD_FAILURE() << "verifier: " << violation.rule << ": " << violation.detail;
    }
  }

  // The rules broken so far, in order; clears them, so that TearDown sees only later ones.
  std::vector<std::string> takeViolations() {
    std::vector<std::string> rules;
    for (const auto& violation : machine->violations()) rules.push_back(violation.rule);
    machine->clearViolations();
    return rules;
  }

  std::unique_ptr<ntsim::Machine> machine;
  bool expectViolations = false;
};

}  // namespace pdkit::test
