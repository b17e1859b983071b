#include "modules/disk_info/sysfs_health.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "modules/disk_info/disk_info_test_support.h"
#include "modules/disk_info/fixture_tree.h"

namespace corvane::disk_info {
namespace {

using namespace std::chrono_literals;

// The workstation's sysfs plus a folder holding the stand-in smartctl and
// what it prints for each disk.
class WorkstationHealthTest : public ::testing::Test {
 protected:
  void answer(const std::string& device, const std::string& fixture, int exit_code = 0) {
    tree_.write("smartctl/" + device + ".json", test::read_fixture(fixture));
    if (exit_code != 0) tree_.write("smartctl/" + device + ".exit", std::to_string(exit_code));
  }

  std::vector<DiskHealthRecord> run(std::chrono::milliseconds limit = 20s, bool installed = true,
                                    platform::TaskHooks hooks = {}) {
    std::filesystem::create_directories(tree_.path("smartctl"));
    std::filesystem::copy_file(test::fixture_path("smartctl"), tree_.path("smartctl/smartctl"),
                               std::filesystem::copy_options::overwrite_existing);
    SysfsHealthSetup setup;
    setup.sysfs_root = tree_.path("sys");
    if (installed) setup.smartctl = tree_.path("smartctl/smartctl");
    setup.limit = limit;
    setup.hooks = hooks;
    return sysfs_disk_health(*runner_, setup);
  }

  std::string calls() { return test::read_fixture_at(tree_.path("smartctl/calls.log")); }

  test::FixtureTree tree_{test::read_fixture("workstation.sysfs")};
  platform::ProcessRunner* runner_ = &platform::system_process_runner();
};

// The real runner, noting the counters as each smartctl run begins.
class CountingRunner final : public platform::ProcessRunner {
 public:
  explicit CountingRunner(const platform::ProgressCounters& counters) : counters_(counters) {}
  Result<platform::ProcessOutput> run(const platform::ProcessRequest& request) override {
    seen.push_back(std::to_string(counters_.processed.load()) + "/" + std::to_string(counters_.total.load()));
    return platform::system_process_runner().run(request);
  }
  std::vector<std::string> seen;

 private:
  const platform::ProgressCounters& counters_;
};

TEST_F(WorkstationHealthTest, ADiskIsCountedOnceItsSmartctlRunIsOver) {
  for (const char* disk : {"nvme0n1", "sda", "sdb", "sdc"}) answer(disk, "smartctl-nvme.json");
  platform::ProgressCounters counters;
  CountingRunner counting(counters);
  runner_ = &counting;
  ASSERT_EQ(run(20s, true, platform::TaskHooks({}, &counters)).size(), 4u);
  // Of the disks only, not of every block device sysfs lists.
  EXPECT_EQ(counting.seen, (std::vector<std::string>{"0/4", "1/4", "2/4", "3/4"}));
  EXPECT_EQ(counters.processed.load(), 4u);
}

TEST_F(WorkstationHealthTest, ReadsEveryPhysicalDiskWithItsSmartctlReport) {
  answer("nvme0n1", "smartctl-nvme.json");
  answer("sda", "smartctl-ata-ssd.json");
  answer("sdb", "smartctl-ata-hdd-failing.json", 24);
  answer("sdc", "smartctl-permission-denied.json", 2);
  std::vector<DiskHealthRecord> records = run();

  // dm-0, loop0, sr0, zram0 and the empty card reader sdd are no disks.
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(calls(), "--json -a /dev/nvme0n1\n--json -a /dev/sda\n--json -a /dev/sdb\n--json -a /dev/sdc\n");

  const DiskHealthRecord& nvme = records[0];
  EXPECT_EQ(nvme.device_id, "nvme0n1");
  EXPECT_EQ(nvme.model, "Samsung SSD 980 PRO 1TB");
  EXPECT_EQ(nvme.serial, "S5GXNX0T123456A");
  EXPECT_EQ(nvme.disk_type, "NVMe");
  EXPECT_EQ(nvme.status_raw, "OK");
  EXPECT_EQ(nvme.status, "good");
  EXPECT_EQ(nvme.power_on_hours, 2401u);
  EXPECT_EQ(nvme.temperature_celsius, 38);
  EXPECT_EQ(nvme.wear_leveling_pct, 97);
  EXPECT_EQ(nvme.remaining_life_pct, 97);
  EXPECT_FALSE(nvme.reallocated_sectors);
  EXPECT_EQ(nvme.total_bytes_written_gb, 23387u);  // 45,678,901 units of 512,000 bytes
  EXPECT_EQ(nvme.nand_writes_gb, 23387u);
  EXPECT_FALSE(nvme.error);

  const DiskHealthRecord& ssd = records[1];
  EXPECT_EQ(ssd.model, "Samsung SSD 870");
  EXPECT_EQ(ssd.serial, "S6PUNX0T123456B");  // from the unit-serial page
  EXPECT_EQ(ssd.disk_type, "SSD");
  EXPECT_EQ(ssd.reallocated_sectors, 0u);
  EXPECT_EQ(ssd.total_bytes_written_gb, 12009u);  // 23,456,789,012 LBAs of 512 bytes
  EXPECT_FALSE(ssd.wear_leveling_pct);

  const DiskHealthRecord& hdd = records[2];
  EXPECT_EQ(hdd.serial, "ZFL1ABCD");
  EXPECT_EQ(hdd.disk_type, "HDD");
  EXPECT_EQ(hdd.status_raw, "Pred Fail");
  EXPECT_EQ(hdd.status, "warning");
  EXPECT_EQ(hdd.reallocated_sectors, 1432u);
  EXPECT_EQ(hdd.temperature_celsius, 45);  // smartctl's reading wins over the sensor's 34
  EXPECT_FALSE(hdd.total_bytes_written_gb);
  EXPECT_FALSE(hdd.error);

  const DiskHealthRecord& stick = records[3];
  EXPECT_EQ(stick.model, "Cruzer Blade");
  EXPECT_EQ(stick.serial, "");
  EXPECT_EQ(stick.disk_type, "USB");  // on a USB bus, although it claims to rotate
  EXPECT_EQ(stick.status_raw, "Unknown");
  EXPECT_EQ(stick.error, "HEALTH_SMARTCTL_FAILED: Smartctl open device: /dev/nvme0n1 failed: Permission denied");
}

TEST_F(WorkstationHealthTest, WithoutRootOrSmartctlTheSysfsFieldsAndSensorsRemain) {
  for (const char* device : {"nvme0n1", "sda", "sdb", "sdc"}) answer(device, "smartctl-permission-denied.json", 2);
  for (const std::vector<DiskHealthRecord>& records : {run(), run(20s, false)}) {
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].model, "Samsung SSD 980 PRO 1TB");
    EXPECT_EQ(records[0].temperature_celsius, 38);  // 38.85 degrees from the nvme sensor
    EXPECT_FALSE(records[1].temperature_celsius);
    EXPECT_EQ(records[2].temperature_celsius, 34);  // drivetemp
    for (const DiskHealthRecord& record : records) {
      EXPECT_EQ(record.status, "unknown");
      EXPECT_FALSE(record.power_on_hours);
    }
  }
  std::vector<DiskHealthRecord> denied = run();
  EXPECT_EQ(denied[1].error, "HEALTH_SMARTCTL_FAILED: Smartctl open device: /dev/nvme0n1 failed: Permission denied");
  std::vector<DiskHealthRecord> absent = run(20s, false);
  EXPECT_EQ(absent[1].error, "HEALTH_SMARTCTL_UNAVAILABLE");

  // Output that is not smartctl's JSON: its stderr line explains.
  std::filesystem::remove(tree_.path("smartctl/sda.json"));
  std::filesystem::remove(tree_.path("smartctl/sda.exit"));
  EXPECT_EQ(run()[1].error, "HEALTH_SMARTCTL_FAILED: smartctl: no fixture for /dev/sda");
}

TEST_F(WorkstationHealthTest, ASmartctlThatHangsIsKilledAtTheLimit) {
  answer("nvme0n1", "smartctl-nvme.json");
  answer("sda", "smartctl-ata-ssd.json");
  tree_.write("smartctl/sda.hang", "");
  auto started = std::chrono::steady_clock::now();
  std::vector<DiskHealthRecord> records = run(1500ms);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 15s);
  ASSERT_EQ(records.size(), 4u);
  EXPECT_FALSE(records[0].error);
  // It printed its whole report before hanging, so the counters are kept.
  EXPECT_EQ(records[1].error, "HEALTH_SMARTCTL_TIMEOUT");
  EXPECT_EQ(records[1].power_on_hours, 8123u);
}

TEST_F(WorkstationHealthTest, ASmartctlThatExitsIsReadAtOnceWhateverItLeftHoldingItsOutput) {
  answer("nvme0n1", "smartctl-nvme.json");
  answer("sda", "smartctl-ata-ssd.json");
  tree_.write("smartctl/nvme0n1.linger", "");
  tree_.write("smartctl/sda.linger", "");
  auto started = std::chrono::steady_clock::now();
  std::vector<DiskHealthRecord> records = run(20s);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
  ASSERT_EQ(records.size(), 4u);
  EXPECT_FALSE(records[0].error) << *records[0].error;
  EXPECT_EQ(records[0].power_on_hours, 2401u);
  EXPECT_FALSE(records[1].error) << *records[1].error;
  EXPECT_EQ(records[1].power_on_hours, 8123u);
}

TEST(SysfsHealthTest, NoDiskGivesTheSingleEmptyRecord) {
  test::FixtureTree tree("sys/block/loop0 -> ../devices/virtual/block/loop0\n"
                         "sys/devices/virtual/block/loop0/size = 8\n"
                         "sys/block/sdz -> ../devices/virtual/block/sdz\n"
                         "sys/devices/virtual/block/sdz/size = 0\n");
  SysfsHealthSetup setup;
  setup.sysfs_root = tree.path("sys");
  std::vector<DiskHealthRecord> records = sysfs_disk_health(platform::system_process_runner(), setup);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].device_id, "0");
  EXPECT_EQ(records[0].error, "HEALTH_SYSFS_EMPTY");
  EXPECT_EQ(records[0].disk_type, "Unknown");
  EXPECT_EQ(records[0].status_raw, "");
}

TEST(SysfsHealthTest, ReportRulesAndTheDiskTypeTable) {
  DiskHealthRecord record;
  SmartReport report;
  report.readable = true;
  report.lbas_written = 1000000000;
  report.percentage_used = 101;
  report.temperature = 4294967341;  // 2^32 + 45
  apply_smartctl_report(report, 4096, record);
  EXPECT_EQ(record.total_bytes_written_gb, 4096u);  // sysfs's block size when smartctl gives none
  EXPECT_FALSE(record.wear_leveling_pct);
  EXPECT_EQ(record.temperature_celsius, 45);
  EXPECT_EQ(record.status_raw, "Unknown");

  DiskHealthRecord huge;
  report = SmartReport{};
  report.data_units_written = 18446744073709551615u;  // no overflow on the way to gigabytes
  report.passed = false;
  apply_smartctl_report(report, 512, huge);
  EXPECT_EQ(huge.total_bytes_written_gb, 9444732965739290u);
  EXPECT_EQ(huge.status, "warning");

  DiskHealthRecord none;
  report = SmartReport{};
  report.data_units_written = 0;
  report.lbas_written = 0;
  apply_smartctl_report(report, 512, none);
  EXPECT_FALSE(none.total_bytes_written_gb);

  EXPECT_EQ(classify_disk_facts({.nvme = true, .on_usb = true}), "NVMe");
  EXPECT_EQ(classify_disk_facts({.on_usb = true, .solid_state = true}), "USB");
  EXPECT_EQ(classify_disk_facts({.removable = true, .rotating = true}), "USB");
  EXPECT_EQ(classify_disk_facts({.solid_state = true}), "SSD");
  EXPECT_EQ(classify_disk_facts({.rotating = true}), "HDD");
  EXPECT_EQ(classify_disk_facts({}), "Unknown");
}

}  // namespace
}  // namespace corvane::disk_info
