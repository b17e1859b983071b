#include "modules/fs_noatime/fs_noatime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include "platform/scratch_dir.h"

namespace corvane::fs_noatime {
namespace {

using corvane::testing::ScratchDir;

Bytes pattern(std::uint64_t offset, std::size_t length) {
  Bytes out(length);
  for (std::size_t i = 0; i < length; ++i) out[i] = ScratchDir::pattern_byte(static_cast<std::size_t>(offset + i));
  return out;
}

class FsNoatimeTest : public ::testing::Test {
 protected:
  ScratchDir scratch;
};

TEST_F(FsNoatimeTest, WholeAndRangeReadsReturnExactlyTheBytesThere) {
  auto file = ScratchDir::path_text(scratch.file("data.bin", 200'000));
  auto empty = ScratchDir::path_text(scratch.file("empty"));
  auto before = scratch.snapshot();
  EXPECT_EQ(read_whole(file).value(), pattern(0, 200'000));
  EXPECT_EQ(read_range(file, 70'000, 100).value(), pattern(70'000, 100));
  EXPECT_EQ(read_range(file, 199'990, 100).value(), pattern(199'990, 10));
  EXPECT_TRUE(read_range(file, 250'000, 100).value().empty());  // past the end: no bytes, no error
  EXPECT_TRUE(read_range(file, 0, 0).value().empty());
  // A length far beyond the file reads what is there without reserving it.
  EXPECT_EQ(read_range(file, 0, UINT64_MAX).value().size(), 200'000u);
  EXPECT_TRUE(read_whole(empty).value().empty());

  auto missing = read_whole(scratch.text("missing"));
  ASSERT_FALSE(missing.ok());
  EXPECT_NE(missing.error().find("(os error "), std::string::npos) << missing.error();
  EXPECT_FALSE(read_range(scratch.text("missing"), 0, 1).ok());
  EXPECT_EQ(scratch.snapshot(), before);
}

TEST_F(FsNoatimeTest, APathHoldingANulIsNotFoundRatherThanCutShort) {
  auto file = ScratchDir::path_text(scratch.file("data.bin", 100));
  const std::string cut = file + std::string(1, '\0') + "more";
  auto opened = open_for_read(cut);
  ASSERT_FALSE(opened.ok());
  EXPECT_TRUE(opened.error().ends_with("(os error 2)")) << opened.error();
  EXPECT_FALSE(read_whole(cut).ok());
  EXPECT_FALSE(read_range(cut, 0, 10).ok());
  EXPECT_FALSE(read_sample(cut, 100).ok());
  auto hashed = sha256_file_hex(cut);
  ASSERT_FALSE(hashed.ok());
  EXPECT_TRUE(hashed.error().starts_with(" " + cut + ": ")) << hashed.error();
  EXPECT_TRUE(read_whole(file).ok());
}

TEST_F(FsNoatimeTest, DirectoriesOpenAndReadAsNothing) {
  scratch.dir("folder");
  EXPECT_TRUE(open_for_read(scratch.text("folder")).ok());
  auto bytes = read_whole(scratch.text("folder"));
  ASSERT_TRUE(bytes.ok()) << bytes.error();
  EXPECT_TRUE(bytes->empty());
}

TEST_F(FsNoatimeTest, SampleReadsWholeUpToOneMebibyteThenThreeChunks) {
  auto exact = ScratchDir::path_text(scratch.file("exact.bin", 1'048'576));
  EXPECT_EQ(read_sample(exact, 1'048'576).value(), pattern(0, 1'048'576));

  auto over = ScratchDir::path_text(scratch.file("over.bin", 1'048'577));
  Bytes expected = pattern(0, 65'536);
  for (std::uint64_t offset : {524'288u, 983'041u}) {
    Bytes part = pattern(offset, 65'536);
    expected.insert(expected.end(), part.begin(), part.end());
  }
  EXPECT_EQ(read_sample(over, 1'048'577).value(), expected);
  EXPECT_FALSE(read_sample(scratch.text("missing"), 5'000'000).ok());
  EXPECT_FALSE(read_sample(scratch.text("missing"), 5).ok());
}

TEST_F(FsNoatimeTest, Sha256MatchesKnownVectorsAndReportsErrorsInItsForm) {
  Sha256 abc;
  abc.update("abc", 3);
  auto d = abc.finish();
  ASSERT_TRUE(d.ok());
  EXPECT_EQ(hex_lower(d->data(), d->size()), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_FALSE(abc.finish().ok());  // a digest is given once

  EXPECT_EQ(sha256_file_hex(ScratchDir::path_text(scratch.file("empty"))).value(),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  {
    std::ofstream out(scratch.root() / "million-a", std::ios::binary);
    out << std::string(1'000'000, 'a');
  }
  EXPECT_EQ(sha256_file_hex(scratch.text("million-a")).value(),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");

  auto missing = sha256_file_hex(scratch.text("missing"));
  ASSERT_FALSE(missing.ok());
  EXPECT_TRUE(missing.error().starts_with(" " + scratch.text("missing") + ": ")) << missing.error();
}

// Puts the real provider back when a test ends, whatever it asserted.
struct Sha256FaultGuard {
  ~Sha256FaultGuard() { set_sha256_fault_for_testing({}); }
};

TEST_F(FsNoatimeTest, AFailingProviderCallGivesAnErrorNeverADigest) {
  auto file = ScratchDir::path_text(scratch.file("data.bin", 200'000));  // four reads
  const std::string good = sha256_file_hex(file).value();
  Sha256FaultGuard guard;
  for (Sha256Step failing : {Sha256Step::create, Sha256Step::init, Sha256Step::update, Sha256Step::finish}) {
    SCOPED_TRACE(static_cast<int>(failing));
    set_sha256_fault_for_testing([failing](Sha256Step step) { return step == failing; });
    Sha256 direct;
    direct.update("abc", 3);
    auto digest = direct.finish();
    ASSERT_FALSE(digest.ok());
    EXPECT_EQ(digest.error(), "SHA-256 provider failed");
    auto hashed = sha256_file_hex(file);
    ASSERT_FALSE(hashed.ok()) << hashed.value();
    EXPECT_EQ(hashed.error(), " " + file + ": SHA-256 provider failed");
  }
  // One failed piece in the middle spoils the digest, though more follow.
  std::atomic<int> updates{0};
  set_sha256_fault_for_testing([&](Sha256Step step) { return step == Sha256Step::update && ++updates == 2; });
  EXPECT_FALSE(sha256_file_hex(file).ok());
  EXPECT_EQ(updates.load(), 2);  // nothing more is fed once it failed
  EXPECT_EQ(sha256_file_hex(file).value(), good);
  set_sha256_fault_for_testing({});
  EXPECT_EQ(sha256_file_hex(file).value(), good);
}

// Sparse files, so the fixture costs no disk space.
TEST(FsNoatimeLimitTest, Sha256HashesExactlyTwoGibibytesAndRefusesOneByteMore) {
  ScratchDir scratch(ScratchDir::fast_base());
  auto limit = scratch.root() / "limit.bin";
  auto over = scratch.root() / "over.bin";
  { std::ofstream(limit, std::ios::binary); }
  { std::ofstream(over, std::ios::binary); }
  std::error_code ec;
  std::filesystem::resize_file(limit, 2'147'483'648ull, ec);
  ASSERT_FALSE(ec) << ec.message();
  std::filesystem::resize_file(over, 2'147'483'649ull, ec);
  ASSERT_FALSE(ec) << ec.message();

  EXPECT_EQ(sha256_file_hex(ScratchDir::path_text(over)).error(), ">2GB: " + ScratchDir::path_text(over));
  EXPECT_EQ(sha256_file_hex(ScratchDir::path_text(limit)).value(),
            "a7c744c13cc101ed66c29f672f92455547889cc586ce6d44fe76ae824958ea51");
}

}  // namespace
}  // namespace corvane::fs_noatime
