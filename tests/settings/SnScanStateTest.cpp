// The scan values the serial-number scan jobs share, written and read by 24
// workers at once.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "engine/SnScan.h"

namespace {

struct ScanValues : ::testing::Test {
  ~ScanValues() override {
    for (int port = 1; port <= kx::kPortTableSize; ++port) {
      g_SnScanState.SetSerialNumber(port, "");
      g_SnScanState.SetWwn(port, "");
    }
    g_SnScanState.SetDialogFactory(nullptr);
  }
};

class NamedDialog final : public CSnScanDlg {
 public:
  explicit NamedDialog(std::string name) : name_(std::move(name)) {}
  void SetPortNumber(int) override {}
  int DoModal() override { return 1; }
  std::string GetSerialNumber() const override { return name_; }
  std::string GetWwn() const override { return name_; }

 private:
  std::string name_;
};

// Each worker writes its own port's values in lengths that outgrow any short
// string, reads its neighbour's and swaps the dialog factory; a reader must
// only ever see a whole value.
TEST_F(ScanValues, TwentyFourWorkersSeeOnlyWholeValues) {
  constexpr int kWorkers = 24, kRounds = 300;
  auto value = [](int port, int round) { return std::string(static_cast<std::size_t>(round % 40 + 1), 'A' + port % 26); };
  auto whole = [](const std::string& v, int port) {
    return v.empty() || v.find_first_not_of(static_cast<char>('A' + port % 26)) == std::string::npos;
  };
  std::vector<int> torn(kWorkers + 1, 0), lost(kWorkers + 1, 0), badDialog(kWorkers + 1, 0);
  std::vector<std::thread> workers;
  for (int port = 1; port <= kWorkers; ++port) {
    workers.emplace_back([&, port] {
      const int neighbour = port % kWorkers + 1;
      for (int round = 0; round < kRounds; ++round) {
        g_SnScanState.SetSerialNumber(port, value(port, round));
        g_SnScanState.SetWwn(port, value(port, round + 1));
        if (g_SnScanState.SerialNumber(port) != value(port, round)) ++lost[port];
        if (g_SnScanState.Wwn(port) != value(port, round + 1)) ++lost[port];
        if (!whole(g_SnScanState.SerialNumber(neighbour), neighbour)) ++torn[port];
        if (!whole(g_SnScanState.Wwn(neighbour), neighbour)) ++torn[port];
        const std::string name = value(port, round);
        g_SnScanState.SetDialogFactory([name] { return std::make_unique<NamedDialog>(name); });
        auto dialog = g_SnScanState.MakeDialog();
        if (!dialog || dialog->GetSerialNumber().empty()) ++badDialog[port];
      }
    });
  }
  for (auto& w : workers) w.join();
  for (int port = 1; port <= kWorkers; ++port) {
    SCOPED_TRACE(port);
    EXPECT_EQ(lost[port], 0);
    EXPECT_EQ(torn[port], 0);
    EXPECT_EQ(badDialog[port], 0);
    EXPECT_EQ(g_SnScanState.SerialNumber(port), value(port, kRounds - 1));
  }
}

}  // namespace
