#include "modules/disk_info/powershell_health.h"

#include <gtest/gtest.h>

#include <map>

#include "modules/disk_info/script_output.h"

namespace corvane::disk_info {
namespace {

using namespace std::chrono_literals;
using platform::ProcessOutput;
using platform::ProcessRequest;

ProcessOutput printed(std::string text, bool timed_out = false) {
  ProcessOutput output;
  output.exit_code = timed_out ? -1 : 0;
  output.stdout_bytes = std::move(text);
  output.timed_out = timed_out;
  return output;
}

// Plays PowerShell: answers the inventory script and each disk's counter
// script with canned output, and keeps every request it received.
class ScriptedPowerShell final : public platform::ProcessRunner {
 public:
  Result<ProcessOutput> run(const ProcessRequest& request) override {
    requests.push_back(request);
    const std::string& script = request.arguments.back();
    if (script == inventory_script()) return inventory;
    for (const auto& [device_id, answer] : counters) {
      if (script == counter_script(device_id)) return answer;
    }
    return printed("");
  }

  Result<ProcessOutput> inventory = printed("");
  std::map<std::string, Result<ProcessOutput>> counters;
  std::vector<ProcessRequest> requests;
};

PowerShellSetup setup() { return {"C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe"}; }

TEST(PowerShellScriptsTest, ScriptsAndArgumentsAreExactlyWhatIsSent) {
  std::string inventory = inventory_script();
  EXPECT_EQ(inventory.size(), 578u);
  EXPECT_EQ(inventory.substr(0, 45), "\n$ErrorActionPreference = 'SilentlyContinue'\n");
  EXPECT_NE(inventory.find("    Write-Output \"DRIVE|$idx|$model|$serial|$status|$mediaType|$size\"\n}\n"),
            std::string::npos);

  std::string counters = counter_script("12");
  std::size_t at = counters.find("-eq '12' }");
  EXPECT_EQ(at + 5, 216u);
  EXPECT_EQ(counters.size(), 216u + 2 + 994u);
  EXPECT_TRUE(counters.ends_with("    }\n} catch {\n    Write-Output 'NODATA'\n}\n"));
  // The script has no NVMe block: nothing prints "NVME|" and WMI's storage
  // counter class is not queried.
  EXPECT_EQ(counters.find("NVME|"), std::string::npos);
  EXPECT_EQ(counters.find("MSFT_StorageReliabilityCounter"), std::string::npos);
  EXPECT_NE(counters.find("Write-Output \"SMART|$poh|$temp|$wear|$read|$wec|$wet\""), std::string::npos);

  std::vector<std::string> arguments = powershell_arguments("S");
  EXPECT_EQ(arguments, (std::vector<std::string>{"-NoProfile", "-NonInteractive", "-WindowStyle", "Hidden",
                                                 "-ExecutionPolicy", "RemoteSigned", "-Command", "S"}));
}

TEST(PowerShellHealthTest, EachInventoryDiskGetsItsOwnCounterScriptInOrder) {
  ScriptedPowerShell shell;
  shell.inventory = printed(
      "\r\n"
      "DRIVE|0|Samsung SSD 980 PRO 1TB|S5GXNX0T123456A|OK|Fixed hard disk media|1000202273280\r\n"
      "WARNING: something PowerShell says\r\n"
      "  DRIVE|1|ST2000DM008-2FR102|ZFL1ABCD|Pred Fail|Fixed hard disk media|2000396321280  \r\n"
      "DRIVE|2|SanDisk Cruzer Blade USB Device|4C530001|OK|Removable Media|32015679488\r\n");
  shell.counters.emplace("0", printed("SMART|2401|38|3|0|0|0\r\n"));
  shell.counters.emplace("1", printed("SMART|41234|45|-1|1432|0|0\r\n"));
  shell.counters.emplace("2", printed("NODATA\r\n"));

  std::vector<DiskHealthRecord> records = powershell_disk_health(shell, setup());

  ASSERT_EQ(shell.requests.size(), 4u);
  EXPECT_EQ(shell.requests[0].program, setup().program);
  EXPECT_EQ(shell.requests[0].time_limit, 60s);
  for (int disk = 0; disk < 3; ++disk) {
    EXPECT_EQ(shell.requests[1 + disk].arguments.back(), counter_script(std::to_string(disk)));
    EXPECT_EQ(shell.requests[1 + disk].time_limit, 30s);
  }
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].device_id, "0");
  EXPECT_EQ(records[0].model, "Samsung SSD 980 PRO 1TB");
  EXPECT_EQ(records[0].serial, "S5GXNX0T123456A");
  EXPECT_EQ(records[0].disk_type, "SSD");
  EXPECT_EQ(records[0].status, "good");
  EXPECT_EQ(records[0].power_on_hours, 2401u);
  EXPECT_EQ(records[0].temperature_celsius, 38);
  EXPECT_EQ(records[0].wear_leveling_pct, 97);
  EXPECT_EQ(records[0].remaining_life_pct, 97);
  EXPECT_EQ(records[0].reallocated_sectors, 0u);
  EXPECT_FALSE(records[0].total_bytes_written_gb);
  EXPECT_FALSE(records[0].error);

  EXPECT_EQ(records[1].disk_type, "HDD");
  EXPECT_EQ(records[1].status_raw, "Pred Fail");
  EXPECT_EQ(records[1].status, "warning");
  EXPECT_EQ(records[1].reallocated_sectors, 1432u);
  EXPECT_FALSE(records[1].wear_leveling_pct);

  EXPECT_EQ(records[2].disk_type, "USB");
  EXPECT_FALSE(records[2].power_on_hours);
  EXPECT_FALSE(records[2].error);
}

DiskHealthRecord counters_from(std::string_view output) {
  DiskHealthRecord record;
  apply_counter_output(output, record);
  return record;
}

TEST(PowerShellHealthTest, CounterLinesFollowTheParsingRules) {
  DiskHealthRecord r = counters_from("SMART|-1|-1|-1|-1|-1|-1");
  EXPECT_FALSE(r.power_on_hours || r.temperature_celsius || r.wear_leveling_pct || r.reallocated_sectors);

  r = counters_from("SMART|0|0|0|0|0|0");
  EXPECT_EQ(r.power_on_hours, 0u);
  EXPECT_EQ(r.temperature_celsius, 0);
  EXPECT_EQ(r.reallocated_sectors, 0u);
  EXPECT_EQ(r.wear_leveling_pct, 100);
  EXPECT_EQ(r.remaining_life_pct, 100);

  EXPECT_EQ(counters_from("SMART|1|1|100|1|1|1").wear_leveling_pct, 0);
  EXPECT_EQ(counters_from("SMART|1|1|100|1|1|1").remaining_life_pct, 0);
  EXPECT_FALSE(counters_from("SMART|1|1|101|1|1|1").wear_leveling_pct);
  EXPECT_FALSE(counters_from("SMART|1|1|101|1|1|1").remaining_life_pct);

  EXPECT_EQ(counters_from("SMART|1|4294967341|1|1|1|1").temperature_celsius, 45);  // 2^32 + 45
  EXPECT_EQ(counters_from("SMART|+7|45|1|1|1|1").power_on_hours, 7u);
  EXPECT_FALSE(counters_from("SMART|9223372036854775808|45|1|1|1|1").power_on_hours);  // overflow
  EXPECT_EQ(counters_from("SMART|9223372036854775807|45|1|1|1|1").power_on_hours, 9223372036854775807u);
  EXPECT_FALSE(counters_from("SMART| 7|45|1|1|1|1").power_on_hours);
  EXPECT_FALSE(counters_from("SMART|7.0|45|1|1|1|1").power_on_hours);
  EXPECT_FALSE(counters_from("SMART|1|2|3|4|5").power_on_hours);  // six fields: not a SMART line

  // The last SMART line wins whole; NODATA afterwards clears everything.
  r = counters_from("SMART|10|30|5|1|0|0\nSMART|20|-1|6|2|0|0\n");
  EXPECT_EQ(r.power_on_hours, 20u);
  EXPECT_FALSE(r.temperature_celsius);
  EXPECT_EQ(r.wear_leveling_pct, 94);
  r = counters_from("SMART|10|30|5|1|0|0\r\nNODATA\r\nSMART|20|31|6|2|0|0\r\n");
  EXPECT_FALSE(r.power_on_hours || r.temperature_celsius || r.wear_leveling_pct || r.reallocated_sectors);
  EXPECT_FALSE(r.error);

  // Written volume is never taken from a counter script.
  r = counters_from("SMART|10|30|5|1|0|0\nNVME|4096\n");
  EXPECT_FALSE(r.total_bytes_written_gb);
  EXPECT_FALSE(r.nand_writes_gb);
}

TEST(PowerShellHealthTest, DriveLinesNeedSevenFieldsAndAreSplitAtEveryBar) {
  auto shifted = parse_drive_line("DRIVE|3|Fast|Drive SSD|SN1|OK|Fixed hard disk media|512");
  ASSERT_TRUE(shifted);
  EXPECT_EQ(shifted->model, "Fast");
  EXPECT_EQ(shifted->serial, "Drive SSD");
  EXPECT_EQ(shifted->status_raw, "SN1");
  EXPECT_EQ(shifted->status, "unknown");
  EXPECT_EQ(shifted->disk_type, "Unknown");  // the media type field holds "OK" here

  EXPECT_FALSE(parse_drive_line("DRIVE|0|Model|Serial|OK|Fixed hard disk media"));
  EXPECT_FALSE(parse_drive_line("drive|0|Model|Serial|OK|Fixed hard disk media|1"));
  EXPECT_EQ(parse_drive_line("DRIVE|0|M|S| OK|Fixed|1")->status, "unknown");

  ScriptedPowerShell shell;
  shell.inventory = printed("DRIVE|0|Model|Serial|OK|Fixed hard disk media\n");
  std::vector<DiskHealthRecord> records = powershell_disk_health(shell, setup());
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].error, "HEALTH_WMI_EMPTY");
  EXPECT_EQ(records[0].device_id, "0");
  EXPECT_EQ(shell.requests.size(), 1u);
}

TEST(PowerShellHealthTest, DiskTypeAndStatusTablesRowByRow) {
  struct Case {
    const char* model;
    const char* media;
    const char* type;
  };
  const Case cases[] = {
      {"WDC PC SN730 NVMe", "Fixed hard disk media", "NVMe"},
      {"INTEL nvm EXPRESS drive", "Removable Media", "NVMe"},
      {"Generic", "Solid State Drive", "SSD"},
      {"Generic", "SSD", "SSD"},
      {"Crucial MX500 ssd", "Fixed hard disk media", "SSD"},
      {"Solidigm P41", "Unknown", "SSD"},
      {"ST2000DM008", "Fixed hard disk media", "HDD"},
      {"WD Elements", "External hard disk media", "HDD"},
      {"SanDisk Cruzer", "Removable Media", "USB"},
      {"SanDisk Cruzer", "Unknown", "Unknown"},
      // Full lower-casing: U+0130 lowers to "i" + U+0307, which no keyword
      // holds; other letters lower to letters outside ASCII.
      {"Generic", "F\xC4\xB0XED", "Unknown"},
      {"\xC3\x89NVME", "", "NVMe"},
      {"NVM\xC2\xA0" "EXPRESS", "\xCE\xA3SSD", "SSD"},
  };
  for (const Case& c : cases) EXPECT_EQ(classify_disk_type(c.model, c.media), c.type) << c.model << " / " << c.media;

  const std::pair<const char*, const char*> statuses[] = {
      {"OK", "good"},           {"ok", "good"},         {"O\xE2\x84\xAA", "good"},  // KELVIN SIGN lowers to k
      {"Degraded", "warning"},  {"Stressed", "warning"}, {"Pred Fail", "warning"},
      {"Error", "critical"},    {"Lost Comm", "critical"}, {"NonRecover", "critical"},
      {"No Contact", "critical"}, {"Unknown", "unknown"}, {"Pred  Fail", "unknown"},
      {"", "unknown"},          {"O\xE2\x84\xAA\xCE\xA3", "unknown"}, {"\xC4\xB0", "unknown"},
  };
  for (const auto& [raw, verdict] : statuses) EXPECT_EQ(health_status(raw), verdict) << raw;
}

TEST(PowerShellHealthTest, FailuresBecomeRecords) {
  ScriptedPowerShell cannot_start;
  cannot_start.inventory = make_error("The system cannot find the file specified.");
  std::vector<DiskHealthRecord> records = powershell_disk_health(cannot_start, setup());
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].device_id, "unknown");
  EXPECT_EQ(records[0].error, "HEALTH_POWERSHELL_FAILED: The system cannot find the file specified.");
  EXPECT_EQ(records[0].disk_type, "Unknown");
  EXPECT_EQ(records[0].status, "unknown");
  EXPECT_EQ(records[0].status_raw, "");

  ScriptedPowerShell empty;
  records = powershell_disk_health(empty, setup());
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].device_id, "0");
  EXPECT_EQ(records[0].error, "HEALTH_WMI_EMPTY");

  ScriptedPowerShell hung_inventory;
  hung_inventory.inventory = printed("", true);
  records = powershell_disk_health(hung_inventory, setup());
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].device_id, "unknown");
  EXPECT_EQ(records[0].error, "HEALTH_POWERSHELL_TIMEOUT");

  ScriptedPowerShell partial;
  partial.inventory = printed("DRIVE|0|Disk A|A1|OK|Fixed hard disk media|1\nDRIVE|1|Disk B|B1|OK|Fixed hard disk media|1\n", true);
  partial.counters.emplace("0", make_error("Access is denied."));
  partial.counters.emplace("1", printed("SMART|5|40|10|0|0|0\n", true));
  records = powershell_disk_health(partial, setup());
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].error, "HEALTH_POWERSHELL_UNAVAILABLE");
  EXPECT_EQ(records[0].model, "Disk A");
  EXPECT_EQ(records[0].status, "good");
  EXPECT_FALSE(records[0].power_on_hours);
  // What a hung counter script printed before the limit still counts.
  EXPECT_EQ(records[1].error, "HEALTH_POWERSHELL_TIMEOUT");
  EXPECT_EQ(records[1].power_on_hours, 5u);
  EXPECT_EQ(records[1].wear_leveling_pct, 90);
}

TEST(PowerShellHealthTest, OnlyAllDigitDeviceIdsReachAScript) {
  ScriptedPowerShell shell;
  shell.inventory = printed(
      "DRIVE|0' } ; Remove-Item C:\\x ; { '|Evil|E1|OK|Fixed hard disk media|1\n"
      "DRIVE||Nameless|N1|OK|Fixed hard disk media|1\n"
      "DRIVE|\xD9\xA3|Arabic digit|D1|OK|Fixed hard disk media|1\n"
      "DRIVE|7|Fine|F1|OK|Fixed hard disk media|1\n");
  shell.counters.emplace("7", printed("SMART|1|2|3|4|5|6\n"));
  std::vector<DiskHealthRecord> records = powershell_disk_health(shell, setup());
  ASSERT_EQ(records.size(), 4u);
  ASSERT_EQ(shell.requests.size(), 2u);
  EXPECT_EQ(shell.requests[1].arguments.back(), counter_script("7"));
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(records[i].power_on_hours) << i;
    EXPECT_FALSE(records[i].error) << i;
    EXPECT_EQ(records[i].status, "good");
  }
  EXPECT_EQ(records[3].power_on_hours, 1u);
}

TEST(ScriptOutputTest, LinesAreTrimmedAndFieldsSplitAtEveryBar) {
  std::vector<std::string_view> lines = output_lines("a\r\n b \n\nc\r\r\nd");
  EXPECT_EQ(lines, (std::vector<std::string_view>{"a", "b", "", "c", "d"}));
  // A byte order mark ahead of any line, but only one and only at its start.
  const std::string bom = "\xEF\xBB\xBF";
  const std::string marked = bom + "DRIVE|0\r\n" + bom + " SMART|1\n" + bom + bom + "x\na" + bom;
  lines = output_lines(marked);
  EXPECT_EQ(lines, (std::vector<std::string_view>{"DRIVE|0", "SMART|1", bom + "x", "a" + bom}));

  ScriptedPowerShell shell;
  shell.inventory = printed(bom + "DRIVE|0|Model|Serial|OK|Fixed hard disk media|1\r\n");
  shell.counters.emplace("0", printed(bom + "SMART|7|30|-1|0|0|0\r\n"));
  std::vector<DiskHealthRecord> records = powershell_disk_health(shell, setup());
  ASSERT_EQ(records.size(), 1u);
  EXPECT_FALSE(records[0].error);
  EXPECT_EQ(records[0].power_on_hours, 7u);
  EXPECT_EQ(split_fields("|a||b|"), (std::vector<std::string_view>{"", "a", "", "b", ""}));
}

}  // namespace
}  // namespace corvane::disk_info
