#include "modules/disk_info/smartctl_report.h"

#include <gtest/gtest.h>

#include "modules/disk_info/disk_info_test_support.h"

namespace corvane::disk_info {
namespace {

TEST(SmartctlReportTest, ReadsTheFieldsOfRealNvmeAndAtaReports) {
  SmartReport nvme = read_smartctl_json(test::read_fixture("smartctl-nvme.json"));
  ASSERT_TRUE(nvme.readable);
  EXPECT_FALSE(smartctl_failed(nvme, 0));
  EXPECT_EQ(nvme.passed, true);
  EXPECT_EQ(nvme.power_on_hours, 2401);
  EXPECT_EQ(nvme.temperature, 38);
  EXPECT_EQ(nvme.percentage_used, 3);
  EXPECT_EQ(nvme.data_units_written, 45678901u);
  EXPECT_FALSE(nvme.reallocated_raw);
  EXPECT_FALSE(nvme.lbas_written);

  SmartReport ssd = read_smartctl_json(test::read_fixture("smartctl-ata-ssd.json"));
  EXPECT_EQ(ssd.power_on_hours, 8123);
  EXPECT_EQ(ssd.temperature, 31);
  EXPECT_EQ(ssd.reallocated_raw, 0);
  EXPECT_EQ(ssd.lbas_written, 23456789012u);
  EXPECT_EQ(ssd.logical_block_size, 512u);
  EXPECT_FALSE(ssd.percentage_used);
  EXPECT_FALSE(ssd.data_units_written);

  // A failing disk was still read: its exit status only describes the disk.
  SmartReport failing = read_smartctl_json(test::read_fixture("smartctl-ata-hdd-failing.json"));
  EXPECT_FALSE(smartctl_failed(failing, 24));
  EXPECT_EQ(failing.passed, false);
  EXPECT_EQ(failing.reallocated_raw, 1432);
}

TEST(SmartctlReportTest, OpenFailuresAndNonJsonOutputAreFailures) {
  SmartReport denied = read_smartctl_json(test::read_fixture("smartctl-permission-denied.json"));
  EXPECT_TRUE(denied.readable);
  EXPECT_TRUE(smartctl_failed(denied, 2));
  EXPECT_EQ(denied.message, "Smartctl open device: /dev/nvme0n1 failed: Permission denied");
  EXPECT_FALSE(denied.passed);
  EXPECT_FALSE(denied.power_on_hours);

  EXPECT_FALSE(read_smartctl_json("smartctl 7.3 2022-02-28 r5338\n").readable);
  EXPECT_TRUE(smartctl_failed(read_smartctl_json(""), 0));
  EXPECT_TRUE(smartctl_failed(read_smartctl_json("{\"smartctl\": {\"exit_status\": 1}}"), 0));
  // Without its own exit status the document is judged by the process's.
  EXPECT_TRUE(smartctl_failed(read_smartctl_json("{}"), 2));
  EXPECT_FALSE(smartctl_failed(read_smartctl_json("{}"), 4));

  SmartReport odd = read_smartctl_json(
      R"({"power_on_time": {"hours": "12"}, "temperature": {"current": -5}, "smart_status": {"passed": 1},
          "nvme_smart_health_information_log": {"data_units_written": -3},
          "smartctl": {"messages": [{"string": "first"}, {"string": "the error", "severity": "error"}]}})");
  EXPECT_FALSE(odd.power_on_hours);
  EXPECT_EQ(odd.temperature, -5);
  EXPECT_FALSE(odd.passed);
  EXPECT_FALSE(odd.data_units_written);
  EXPECT_EQ(odd.message, "the error");
}

}  // namespace
}  // namespace corvane::disk_info
