#include "modules/disk_info/disk_info_tool.h"

#include <gtest/gtest.h>

namespace corvane::disk_info {
namespace {

TEST(DiskInfoPayloadTest, VolumeObjectsHaveTheEightKeysInByteOrderAndAFloatingRatio) {
  VolumeRecord empty{.mount_point = "F:\\", .file_system = "FAT32", .is_removable = true};
  VolumeRecord used{.mount_point = "/", .name = "root", .file_system = "ext4", .total_bytes = 200,
                    .used_bytes = 150, .available_bytes = 50, .usage_ratio = 0.75};
  EXPECT_EQ(Json(std::vector<VolumeRecord>{empty, used}).dump(),
            R"([{"available_bytes":0,"file_system":"FAT32","is_removable":true,"mount_point":"F:\\","name":"",)"
            R"("total_bytes":0,"usage_ratio":0.0,"used_bytes":0},)"
            R"({"available_bytes":50,"file_system":"ext4","is_removable":false,"mount_point":"/","name":"root",)"
            R"("total_bytes":200,"usage_ratio":0.75,"used_bytes":150}])");
  EXPECT_EQ(Json(std::vector<VolumeRecord>{}).dump(), "[]");
}

TEST(DiskInfoPayloadTest, HealthObjectsCarryAllFourteenKeysWithNullsForAbsentValues) {
  DiskHealthRecord failure = failure_record("0", "HEALTH_WMI_EMPTY");
  EXPECT_EQ(Json(std::vector<DiskHealthRecord>{failure}).dump(),
            R"([{"device_id":"0","disk_type":"Unknown","error":"HEALTH_WMI_EMPTY","model":"",)"
            R"("nand_writes_gb":null,"power_on_hours":null,"reallocated_sectors":null,"remaining_life_pct":null,)"
            R"("serial":"","status":"unknown","status_raw":"","temperature_celsius":null,)"
            R"("total_bytes_written_gb":null,"wear_leveling_pct":null}])");

  DiskHealthRecord disk;
  disk.device_id = "nvme0n1";
  disk.status = "good";
  disk.wear_leveling_pct = 100;
  disk.remaining_life_pct = 0;
  disk.temperature_celsius = -2;
  disk.total_bytes_written_gb = 23387;
  Json object = disk;
  EXPECT_EQ(object.size(), 14u);
  EXPECT_EQ(object["wear_leveling_pct"].dump(), "100");
  EXPECT_EQ(object["remaining_life_pct"].dump(), "0");
  EXPECT_EQ(object["temperature_celsius"].dump(), "-2");
  EXPECT_EQ(object["total_bytes_written_gb"].dump(), "23387");
  EXPECT_TRUE(object["error"].is_null());
}

}  // namespace
}  // namespace corvane::disk_info
