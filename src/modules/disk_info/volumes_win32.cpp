#include <windows.h>

#include "modules/disk_info/volume_listing.h"

namespace corvane::disk_info {

namespace {

// On Windows wchar_t and char16_t are both UTF-16 code units.
const wchar_t* wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
wchar_t* wide(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }

class Win32VolumeApi final : public VolumeApi {
 public:
  FindHandle find_first_volume(char16_t* name, std::uint32_t length) override {
    HANDLE find = FindFirstVolumeW(wide(name), length);
    return find == INVALID_HANDLE_VALUE ? nullptr : find;
  }
  bool find_next_volume(FindHandle find, char16_t* name, std::uint32_t length) override {
    return FindNextVolumeW(static_cast<HANDLE>(find), wide(name), length) != 0;
  }
  void find_volume_close(FindHandle find) override { FindVolumeClose(static_cast<HANDLE>(find)); }

  PathNamesCall get_volume_path_names(const char16_t* volume, char16_t* buffer, std::uint32_t length) override {
    PathNamesCall call;
    DWORD needed = 0;
    call.ok = GetVolumePathNamesForVolumeNameW(wide(volume), wide(buffer), length, &needed) != 0;
    call.more_data = !call.ok && GetLastError() == ERROR_MORE_DATA;
    call.needed = needed;
    return call;
  }

  std::uint32_t get_drive_type(const char16_t* root) override { return GetDriveTypeW(wide(root)); }

  bool get_volume_information(const char16_t* root, char16_t* label, std::uint32_t label_length,
                              char16_t* file_system, std::uint32_t file_system_length) override {
    return GetVolumeInformationW(wide(root), wide(label), label_length, nullptr, nullptr, nullptr,
                                 wide(file_system), file_system_length) != 0;
  }

  bool get_disk_free_space(const char16_t* path, std::uint64_t* total, std::uint64_t* total_free) override {
    ULARGE_INTEGER total_bytes{};
    ULARGE_INTEGER free_bytes{};
    if (!GetDiskFreeSpaceExW(wide(path), nullptr, &total_bytes, &free_bytes)) return false;
    *total = total_bytes.QuadPart;
    *total_free = free_bytes.QuadPart;
    return true;
  }
};

}  // namespace

std::vector<VolumeRecord> list_disks(const platform::TaskHooks& hooks) {
  Win32VolumeApi api;
  return list_volumes(api, hooks);
}

}  // namespace corvane::disk_info
