// The PowerShell path end to end on Windows: the real process runner starts
// a stand-in powershell.exe found on the search path, which records the
// command line it received and prints canned lines.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "modules/disk_info/disk_info_test_support.h"
#include "modules/disk_info/disk_info_tool.h"
#include "modules/disk_info/powershell_health.h"
#include "platform/process_test_support.h"

namespace corvane::disk_info {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class StandInPowerShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::absolute(fs::temp_directory_path()) /
            ("corvane-ps-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::create_directories(root_ / "bin");
    fs::copy_file(corvane::test::built_program("standin_powershell"), root_ / "bin" / "powershell.exe");
  }
  void TearDown() override { fs::remove_all(root_); }

  void canned(const std::string& file, const std::string& text) { std::ofstream(root_ / "bin" / file, std::ios::binary) << text; }

  // The search path holds a relative entry and a missing folder before the
  // stand-in's; the system folder candidate does not exist.
  std::string found_program() {
    auto found = platform::find_program("powershell.exe", {(root_ / "nowhere" / "powershell.exe").string()},
                                        "bin;" + (root_ / "missing").string() + ";" + (root_ / "bin").string());
    EXPECT_TRUE(found.has_value());
    return found.value_or("");
  }

  std::vector<std::string> received(int n) {
    std::string text = test::read_fixture_at((root_ / "bin" / ("received-" + std::to_string(n) + ".txt")).string());
    std::vector<std::string> args;
    std::size_t at = 0;
    while (at < text.size()) {
      std::size_t colon = text.find(':', at);
      std::size_t length = std::stoul(text.substr(at, colon - at));
      args.push_back(text.substr(colon + 1, length));
      at = colon + 1 + length + 1;
    }
    return args;
  }

  fs::path root_;
};

TEST_F(StandInPowerShellTest, ScriptsArriveIntactAndThePrintedLinesBecomeThePayload) {
  canned("inventory.txt",
         "DRIVE|0|Samsung SSD 980 PRO 1TB|0025_3856_1234_5678.|OK|Fixed hard disk media|1000202273280\n"
         "DRIVE|1|WDC WD20EZRZ-00Z5HB0|WD-WCC4M1234567|Pred Fail|Fixed hard disk media|2000396321280\n"
         "DRIVE|2|SanDisk Cruzer Blade USB Device|4C530001|OK|Removable Media|32015679488\n");
  canned("counters-0.txt", "SMART|2401|4294967337|3|0|0|0\nNVME|93560012\n");
  canned("counters-1.txt", "SMART|41234|45|-1|1432|0|0\n");
  canned("counters-2.txt", "SMART|5|30|0|0|0|0\nNODATA\n");

  PowerShellSetup setup;
  setup.program = found_program();
  ASSERT_EQ(fs::path(setup.program), root_ / "bin" / "powershell.exe");
  std::vector<DiskHealthRecord> records = powershell_disk_health(platform::system_process_runner(), setup);

  for (int n = 0; n < 4; ++n) {
    std::string script = n == 0 ? inventory_script() : counter_script(std::to_string(n - 1));
    std::vector<std::string> arguments = powershell_arguments(script);
    arguments.insert(arguments.begin(), setup.program);
    EXPECT_EQ(received(n), arguments) << "call " << n;
  }

  EXPECT_EQ(Json(records).dump(),
            R"([{"device_id":"0","disk_type":"SSD","error":null,"model":"Samsung SSD 980 PRO 1TB",)"
            R"("nand_writes_gb":null,"power_on_hours":2401,"reallocated_sectors":0,"remaining_life_pct":97,)"
            R"("serial":"0025_3856_1234_5678.","status":"good","status_raw":"OK","temperature_celsius":41,)"
            R"("total_bytes_written_gb":null,"wear_leveling_pct":97},)"
            R"({"device_id":"1","disk_type":"HDD","error":null,"model":"WDC WD20EZRZ-00Z5HB0",)"
            R"("nand_writes_gb":null,"power_on_hours":41234,"reallocated_sectors":1432,"remaining_life_pct":null,)"
            R"("serial":"WD-WCC4M1234567","status":"warning","status_raw":"Pred Fail","temperature_celsius":45,)"
            R"("total_bytes_written_gb":null,"wear_leveling_pct":null},)"
            R"({"device_id":"2","disk_type":"USB","error":null,"model":"SanDisk Cruzer Blade USB Device",)"
            R"("nand_writes_gb":null,"power_on_hours":null,"reallocated_sectors":null,"remaining_life_pct":null,)"
            R"("serial":"4C530001","status":"good","status_raw":"OK","temperature_celsius":null,)"
            R"("total_bytes_written_gb":null,"wear_leveling_pct":null}])");
}

TEST_F(StandInPowerShellTest, APowerShellThatNeverEndsIsKilledAndWhatItPrintedKept) {
  canned("inventory.txt", "DRIVE|0|Samsung SSD 870 EVO 1TB|S6PU|OK|Fixed hard disk media|1000204886016\n");
  canned("counters-0.txt", "SMART|8123|31|1|0|0|0\n");
  canned("hang", "");
  PowerShellSetup setup;
  setup.program = found_program();
  setup.inventory_limit = 3s;
  setup.disk_limit = 1500ms;
  auto started = std::chrono::steady_clock::now();
  std::vector<DiskHealthRecord> records = powershell_disk_health(platform::system_process_runner(), setup);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].error, "HEALTH_POWERSHELL_TIMEOUT");
  EXPECT_EQ(records[0].power_on_hours, 8123u);
  EXPECT_EQ(records[0].wear_leveling_pct, 99);
}

}  // namespace
}  // namespace corvane::disk_info
