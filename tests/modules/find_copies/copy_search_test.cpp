// The copy finder on real files in a scratch folder, through find_copies()
// with a recording sink, and its matching phases directly.
#include "modules/find_copies/copy_search.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

#include "modules/find_copies/candidates.h"
#include "modules/find_copies/exact_match.h"
#include "modules/find_copies/simhash.h"
#include "modules/find_copies/similar_match.h"
#include "modules/fs_noatime/fs_noatime.h"
#include "platform/observed_listing.h"
#include "platform/path.h"
#include "platform/progress_fakes.h"
#include "platform/runtime.h"
#include "platform/scratch_dir.h"

namespace corvane::find_copies {
namespace {

namespace fs = std::filesystem;
using corvane::testing::FakeClock;
using corvane::testing::RecordingSink;

using Bytes = std::vector<unsigned char>;

Bytes random_bytes(std::size_t size, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  Bytes out(size);
  for (auto& b : out) b = static_cast<unsigned char>(random());
  return out;
}

class CopySearchTest : public ::testing::Test {
 protected:
  corvane::testing::ScratchDir scratch;
  RecordingSink sink;
  FakeClock clock;

  std::string write(const std::string& relative, const Bytes& content) {
    fs::path p = scratch.root() / fs::u8path(relative);
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary);
    out.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
    return scratch.path_text(p);
  }
  std::string dir(const std::string& relative) { return scratch.path_text(scratch.dir(relative)); }

  // How a result row shows a path of the fixture.
  static std::string shown(const std::string& path) { return platform::display_path(*platform::canonical_path(path)); }

  Result<CopySearchResult> search(const std::string& seed, std::vector<std::string> dirs,
                                  MatchMode mode = MatchMode::exact, std::optional<double> threshold = std::nullopt,
                                  bool recursive = true) {
    FindCopiesRequest request{seed, std::move(dirs), recursive, mode, threshold, "mcp_42"};
    SearchHost host{sink, clock};
    return run(request, host);
  }

  // One call, with its own context as the registry makes it.
  static Result<CopySearchResult> run(const FindCopiesRequest& request, SearchHost& host,
                                      std::stop_source stop = {}) {
    platform::ProgressCounters counters;
    ToolContext context{stop.get_token(), counters};
    return find_copies(request, host, context);
  }

  // The rows after the seed row, as (path, match type, similarity).
  static std::vector<std::string> match_paths(const CopySearchResult& result) {
    std::vector<std::string> out;
    for (std::size_t i = 1; i < result.entries.size(); ++i) out.push_back(result.entries[i].path);
    return out;
  }
};

TEST_F(CopySearchTest, ExtensionKeysDecideWhoIsACandidate) {
  EXPECT_EQ(extension_key("Photo.JPG"), "jpg");
  EXPECT_EQ(extension_key("copy.jpg"), "jpg");
  EXPECT_EQ(extension_key(".gitignore"), "gitignore");
  EXPECT_EQ(extension_key("Makefile"), "");
  EXPECT_EQ(extension_key("notes."), "");
  EXPECT_EQ(extension_key("archive.tar.GZ"), "gz");
  EXPECT_EQ(extension_key("caf\xC3\x89.\xC3\x89"), "\xC3\x89");  // only ASCII letters are lowered
  EXPECT_EQ(extension_key("bad\xFF.txt"), "");

  Bytes content = random_bytes(300, 1);
  std::string photo = write("Photo.JPG", content);
  write("sub/copy.jpg", content);
  write("sub/copy.jpeg", content);
  std::string makefile = write("Makefile", content);
  write("sub/README", content);
  write("sub/notes", content);
  std::string gitignore = write(".gitignore", content);
  write("sub/x.gitignore", content);

  Result<CopySearchResult> jpg = search(photo, {scratch.text()});
  ASSERT_TRUE(jpg.ok()) << jpg.error();
  EXPECT_EQ(match_paths(*jpg), (std::vector<std::string>{shown(scratch.text("sub/copy.jpg"))}));

  // No extension matches only names without one.
  Result<CopySearchResult> none = search(makefile, {scratch.text()});
  ASSERT_TRUE(none.ok());
  EXPECT_EQ(match_paths(*none),
            (std::vector<std::string>{shown(scratch.text("sub/README")), shown(scratch.text("sub/notes"))}));

  Result<CopySearchResult> dotted = search(gitignore, {scratch.text()});
  ASSERT_TRUE(dotted.ok());
  EXPECT_EQ(match_paths(*dotted), (std::vector<std::string>{shown(scratch.text("sub/x.gitignore"))}));
}

TEST_F(CopySearchTest, SeedRowFirstThenSortedCopiesWithProgressEvents) {
  Bytes content = random_bytes(1000, 2);
  std::string seed = write("a/seed.bin", content);
  write("a/z.bin", content);
  write("a/b/copy.bin", content);
  write("a/differs.bin", random_bytes(1000, 3));
  write("a/shorter.bin", Bytes(content.begin(), content.end() - 1));

  Result<CopySearchResult> result = search(seed, {dir("a"), dir("a/b")});
  ASSERT_TRUE(result.ok()) << result.error();
  EXPECT_EQ(result->seed_path, shown(seed));
  ASSERT_EQ(result->entries.size(), 4u);
  const CopyEntry& first = result->entries[0];
  EXPECT_EQ(first.match_type, MatchType::seed);
  EXPECT_EQ(first.path, shown(seed));
  EXPECT_EQ(first.size, 1000u);
  EXPECT_FALSE(first.similarity);
  EXPECT_GT(first.modified, 1600000000u);  // a real time in Unix seconds
  // a/b is reachable twice (both given), so its copy is listed twice.
  EXPECT_EQ(match_paths(*result), (std::vector<std::string>{shown(scratch.text("a/b/copy.bin")),
                                                            shown(scratch.text("a/b/copy.bin")),
                                                            shown(scratch.text("a/z.bin"))}));
  for (std::size_t i = 1; i < result->entries.size(); ++i) {
    EXPECT_EQ(result->entries[i].match_type, MatchType::identical);
    EXPECT_EQ(result->entries[i].size, 1000u);
  }
  std::vector<std::string> stages = sink.stages();
  ASSERT_GE(stages.size(), 2u);
  EXPECT_EQ(stages.front(), "collecting");
  EXPECT_EQ(stages.back(), "done");
  // One count over both stages: 7 entries listed (6 under a, 1 in a/b),
  // then 5 candidates compared (4 under a, seed excluded, 1 in a/b).
  EXPECT_EQ(sink.events().back().total, 12u);
  EXPECT_EQ(sink.events().back().processed, 12u);

  Result<CopySearchResult> flat = search(seed, {dir("a")}, MatchMode::exact, std::nullopt, false);
  ASSERT_TRUE(flat.ok());
  EXPECT_EQ(match_paths(*flat), (std::vector<std::string>{shown(scratch.text("a/z.bin"))}));
}

TEST_F(CopySearchTest, EmptySeedMatchesEveryEmptyFileOfItsKey) {
  std::string seed = write("empty.log", {});
  write("d/one.log", {});
  write("d/two.LOG", {});
  write("d/other.txt", {});
  write("d/full.log", {1});
  Result<CopySearchResult> result = search(seed, {scratch.text()});
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(match_paths(*result),
            (std::vector<std::string>{shown(scratch.text("d/one.log")), shown(scratch.text("d/two.LOG"))}));

  // Similar mode: an empty seed has fingerprint 0, as has an empty candidate.
  Result<CopySearchResult> similar = search(seed, {dir("d")}, MatchMode::similar, 1.0);
  ASSERT_TRUE(similar.ok());
  ASSERT_EQ(similar->entries.size(), 3u);
  EXPECT_EQ(similar->entries[1].similarity, 1.0);
}

TEST_F(CopySearchTest, PartialFingerprintCoversSizeHeadAndTail) {
  auto expected = [](const Bytes& data, bool tail) {
    fs_noatime::Sha256 hash;
    std::uint64_t size = data.size();
    unsigned char le[8];
    for (int i = 0; i < 8; ++i) le[i] = static_cast<unsigned char>(size >> (8 * i));
    hash.update(le, 8);
    hash.update(data.data(), std::min<std::size_t>(data.size(), 65536));
    if (tail) hash.update(data.data() + data.size() - 65536, 65536);
    auto digest = hash.finish();
    return fs_noatime::hex_lower(digest->data(), digest->size());
  };
  for (std::size_t size : {std::size_t{65536}, std::size_t{65537}, std::size_t{131072}, std::size_t{131073},
                           std::size_t{200000}}) {
    Bytes data = random_bytes(size, size);
    std::string path = write("p" + std::to_string(size) + ".bin", data);
    Result<std::string> partial = partial_fingerprint(path);
    ASSERT_TRUE(partial.ok());
    EXPECT_EQ(partial.value(), expected(data, size > 131072)) << size;

    Result<SeedDigests> digests = seed_digests(path, size);
    ASSERT_TRUE(digests.ok());
    EXPECT_EQ(digests->full, fs_noatime::sha256_file_hex(path).value());
    EXPECT_EQ(digests->partial.has_value(), size > 65536) << size;  // exactly 64 KiB: none
  }
  EXPECT_FALSE(partial_fingerprint(scratch.text("missing.bin")).ok());
  EXPECT_EQ(seed_digests(scratch.text("missing.bin"), 10).error(), "SEED_FILE_READ_FAILED");
}

TEST_F(CopySearchTest, EqualSizeFilesDifferingInTheMiddleAreToldApartByTheFullDigest) {
  Bytes seed_data = random_bytes(200000, 5);
  Bytes middle = seed_data;
  middle[100000] ^= 1;
  std::string seed = write("s/seed.dat", seed_data);
  std::string twin = write("c/twin.dat", seed_data);
  std::string near = write("c/near.dat", middle);
  ASSERT_EQ(partial_fingerprint(near).value(), partial_fingerprint(seed).value());

  for (std::size_t size : {std::size_t{65536}, std::size_t{65537}, std::size_t{200000}}) {
    Bytes data = random_bytes(size, size + 7);
    std::string s = write("sizes/" + std::to_string(size) + "/seed.dat", data);
    std::string copy = write("sizes/" + std::to_string(size) + "/copy/copy.dat", data);
    Bytes last_changed = data;
    last_changed.back() ^= 0x80;
    write("sizes/" + std::to_string(size) + "/copy/last.dat", last_changed);
    Result<CopySearchResult> r = search(s, {scratch.text("sizes/" + std::to_string(size) + "/copy")});
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(match_paths(*r), (std::vector<std::string>{shown(copy)})) << size;
  }

  Result<CopySearchResult> result = search(seed, {dir("c")});
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(match_paths(*result), (std::vector<std::string>{shown(twin)}));
}

// Puts the real provider back when a test ends, whatever it asserted.
struct Sha256FaultGuard {
  ~Sha256FaultGuard() { fs_noatime::set_sha256_fault_for_testing({}); }
};

TEST_F(CopySearchTest, AFailingSha256ProviderFailsTheSeedAndLeavesCandidatesOut) {
  using fs_noatime::Sha256Step;
  Bytes content = random_bytes(1000, 41);
  std::string seed = write("seed.bin", content);
  std::string copy = write("c/copy.bin", content);
  write("c/other.bin", random_bytes(1000, 42));  // the same size, other bytes
  Bytes large = random_bytes(100000, 43);
  std::string large_seed = write("large.bin", large);
  Sha256FaultGuard guard;

  // Every file would otherwise get the same digest and match.
  fs_noatime::set_sha256_fault_for_testing([](Sha256Step) { return true; });
  EXPECT_EQ(search(seed, {dir("c")}).error(), "SEED_FILE_READ_FAILED");
  // Similar mode hashes nothing.
  Result<CopySearchResult> similar = search(seed, {dir("c")}, MatchMode::similar, 1.0);
  ASSERT_TRUE(similar.ok()) << similar.error();
  EXPECT_EQ(match_paths(*similar), (std::vector<std::string>{shown(copy)}));

  // A seed over 64 KiB: its full digest works, its partial fingerprint not.
  std::atomic<int> digests{0};
  fs_noatime::set_sha256_fault_for_testing(
      [&](Sha256Step step) { return step == Sha256Step::finish && ++digests == 2; });
  EXPECT_EQ(search(large_seed, {dir("c")}).error(), "SEED_FILE_READ_FAILED");

  // The seed's digest works and every candidate's fails: no row, no error.
  digests = 0;
  fs_noatime::set_sha256_fault_for_testing(
      [&](Sha256Step step) { return step == Sha256Step::finish && ++digests > 1; });
  Result<CopySearchResult> skipped = search(seed, {dir("c")});
  ASSERT_TRUE(skipped.ok()) << skipped.error();
  EXPECT_EQ(match_paths(*skipped), std::vector<std::string>{});
  EXPECT_EQ(digests.load(), 3);  // the seed, then both candidates of its size

  fs_noatime::set_sha256_fault_for_testing({});
  EXPECT_EQ(match_paths(search(seed, {dir("c")}).value()), (std::vector<std::string>{shown(copy)}));
}

TEST_F(CopySearchTest, SimilarModeSamplesWholeFilesUpTo1MiBAndThreeWindowsAbove) {
  // The same change, to most of the file but none of the three windows of a
  // 1,048,577-byte file (at 0, 524,288 and 983,041): it shows at 1,048,576
  // bytes, read whole, and not at 1,048,577.
  for (std::size_t size : {std::size_t{1048576}, std::size_t{1048577}}) {
    Bytes data(size, 0);
    Bytes changed = data;
    for (std::size_t i = 65536; i < 524288; ++i) changed[i] = 0xAB;
    for (std::size_t i = 589824; i < 983041; ++i) changed[i] = 0xAB;
    std::string base = "w" + std::to_string(size);
    std::string seed = write(base + "/seed.raw", data);
    write(base + "/c/changed.raw", changed);
    Result<CopySearchResult> r = search(seed, {scratch.text(base + "/c")}, MatchMode::similar, 0.0);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->entries.size(), 2u);
    if (size == 1048576) {
      EXPECT_LT(*r->entries[1].similarity, 1.0);
    } else {
      EXPECT_EQ(*r->entries[1].similarity, 1.0);
    }
  }
  Result<fs_noatime::Bytes> sample = fs_noatime::read_sample(scratch.text("w1048577/seed.raw"), 1048577);
  ASSERT_TRUE(sample.ok());
  EXPECT_EQ(sample->size(), 196608u);
}

TEST_F(CopySearchTest, DistanceOneIsKeptAtItsExactSimilarityAndReportedRounded) {
  // Change one chunk of a random seed until the fingerprints differ in
  // exactly one bit.
  Bytes seed_data = random_bytes(4 * 101, 11);
  std::uint64_t seed_print = simhash64(seed_data);
  Bytes near = seed_data;
  std::mt19937 random(12);
  while (std::popcount(simhash64(near) ^ seed_print) != 1) {
    for (int k = 0; k < 4; ++k) near[200 + k] = static_cast<unsigned char>(random());
  }
  std::string seed = write("seed.txt", seed_data);
  std::string candidate = write("c/near.txt", near);
  write("c/same.txt", seed_data);

  Result<CopySearchResult> kept = search(seed, {dir("c")}, MatchMode::similar, 0.984375);
  ASSERT_TRUE(kept.ok());
  ASSERT_EQ(kept->entries.size(), 3u);
  EXPECT_EQ(kept->entries[1].path, shown(scratch.text("c/same.txt")));  // similarity 1 first
  EXPECT_EQ(kept->entries[1].similarity, 1.0);
  EXPECT_EQ(kept->entries[1].match_type, MatchType::similar);
  EXPECT_EQ(kept->entries[2].path, shown(candidate));
  EXPECT_EQ(kept->entries[2].similarity, 0.9844);

  Result<CopySearchResult> dropped = search(seed, {dir("c")}, MatchMode::similar, 0.985);
  ASSERT_TRUE(dropped.ok());
  EXPECT_EQ(match_paths(*dropped), (std::vector<std::string>{shown(scratch.text("c/same.txt"))}));
}

TEST_F(CopySearchTest, ValidationCodesInTheirOrder) {
  std::string seed = write("seed.txt", {1, 2, 3});
  std::string file = write("plain.txt", {1});
  std::string missing = scratch.text("missing.txt");
  auto error_of = [&](const std::string& s, std::vector<std::string> dirs, MatchMode mode = MatchMode::exact,
                      std::optional<double> t = std::nullopt) {
    Result<CopySearchResult> r = search(s, std::move(dirs), mode, t);
    return r.ok() ? std::string("ok") : r.error();
  };
  std::vector<std::string> fifty(50, scratch.text()), fifty_one(51, scratch.text());
  EXPECT_EQ(error_of(missing, fifty_one), "SEED_FILE_NOT_FOUND");
  EXPECT_EQ(error_of(scratch.text(), {scratch.text()}), "SEED_FILE_NOT_REGULAR");
  EXPECT_EQ(error_of(seed, fifty_one), "TOO_MANY_SEARCH_DIRS");
  EXPECT_EQ(error_of(seed, fifty), "ok");
  EXPECT_EQ(error_of(seed, {scratch.text(), missing}), "SEARCH_DIR_NOT_FOUND");
  EXPECT_EQ(error_of(seed, {file}), "SEARCH_DIR_NOT_DIRECTORY");
  EXPECT_EQ(error_of(seed, {missing}, MatchMode::similar, 2.0), "SEARCH_DIR_NOT_FOUND");  // directories first
  EXPECT_EQ(error_of(seed, {scratch.text()}, MatchMode::similar), "INVALID_SIMILARITY_THRESHOLD");
  EXPECT_EQ(error_of(seed, {scratch.text()}, MatchMode::similar, -0.1), "INVALID_SIMILARITY_THRESHOLD");
  EXPECT_EQ(error_of(seed, {scratch.text()}, MatchMode::similar, 1.5), "INVALID_SIMILARITY_THRESHOLD");
  EXPECT_EQ(error_of(seed, {scratch.text()}, MatchMode::similar, std::numeric_limits<double>::quiet_NaN()),
            "INVALID_SIMILARITY_THRESHOLD");
  EXPECT_EQ(error_of(seed, {scratch.text()}, MatchMode::similar, 0.0), "ok");
  EXPECT_EQ(error_of(seed, {scratch.text()}, MatchMode::similar, 1.0), "ok");
  EXPECT_EQ(error_of(seed, {scratch.text()}, MatchMode::exact, 7.0), "ok");
  // Text holding a NUL names nothing, though the text before the NUL exists.
  const std::string nul(1, '\0');
  EXPECT_EQ(error_of(seed + nul + "x", {scratch.text()}), "SEED_FILE_NOT_FOUND");
  EXPECT_EQ(error_of(seed, {scratch.text() + nul}), "SEARCH_DIR_NOT_FOUND");
  EXPECT_EQ(error_of(seed, {scratch.text(), scratch.text() + nul + "x"}), "SEARCH_DIR_NOT_FOUND");

  // The 2 GiB limit, on sparse files (similar mode: only a sample is read).
  std::string at_limit = write("big/at.bin", {});
  fs::resize_file(at_limit, 2147483648ull);
  std::string over = write("big/over.bin", {});
  fs::resize_file(over, 2147483649ull);
  EXPECT_EQ(error_of(at_limit, {dir("empty")}, MatchMode::similar, 0.5), "ok");
  EXPECT_EQ(error_of(over, {dir("empty")}, MatchMode::similar, 0.5), "SEED_FILE_TOO_LARGE");
}

TEST_F(CopySearchTest, FailedJobsAndCancellationEndWithoutTicksOfTheirOwn) {
  std::string seed = write("seed.txt", {1, 2, 3});
  FindCopiesRequest request{seed, {scratch.text()}, true, MatchMode::exact, std::nullopt, "mcp_42"};
  clock.set_sleep_budget(0);  // a ticker would sleep until it is stopped

  SearchHost throwing{sink, clock,
                      [](const SearchJobInputs&) -> Result<std::vector<CopyEntry>> { throw std::runtime_error("x"); }};
  Result<CopySearchResult> failed = run(request, throwing);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error(), "TASK_JOIN_FAILED");
  // Periodic reports are the caller's, over the context's counters: the
  // search starts no ticker that could outlive it.
  EXPECT_FALSE(clock.saw_stop());

  SearchHost cancelling{sink, clock, [](const SearchJobInputs& in) {
                          EXPECT_TRUE(in.cancel.stop_requested());
                          return run_copy_search(in);
                        }};
  std::stop_source stop;
  stop.request_stop();
  Result<CopySearchResult> cancelled = run(request, cancelling, stop);
  ASSERT_FALSE(cancelled.ok());
  EXPECT_EQ(cancelled.error(), "SCAN_CANCELLED");

  SearchHost erring{sink, clock, [](const SearchJobInputs&) -> Result<std::vector<CopyEntry>> {
                      return make_error("SEED_FILE_READ_FAILED");
                    }};
  EXPECT_EQ(run(request, erring).error(), "SEED_FILE_READ_FAILED");
}

TEST_F(CopySearchTest, CandidatesThatChangedSinceListingAreComparedOnWhatIsRead) {
  Bytes data = random_bytes(5000, 21);
  std::string seed = write("seed.txt", data);
  std::string grown = write("c/grown.txt", random_bytes(3 << 20, 22));  // listed small, now 3 MiB
  std::string shrunk = write("c/shrunk.txt", Bytes(data.begin(), data.begin() + 10));  // listed 5 MiB, now 10 bytes
  std::string same = write("c/same.txt", data);
  std::vector<Candidate> candidates = {{grown, 5000, 0}, {shrunk, 5u << 20, 0}, {same, 5000, 0},
                                       {scratch.text("c/gone.txt"), 5000, 0}};

  std::vector<CopyEntry> similar = find_similar(candidates, simhash64(data), 0.0, std::stop_token{});
  ASSERT_EQ(similar.size(), 3u);  // the vanished one is left out
  Result<std::uint64_t> grown_print = sample_fingerprint(grown, 5000);
  ASSERT_TRUE(grown_print.ok());
  Result<fs_noatime::Bytes> head = fs_noatime::read_range(grown, 0, 1048576);
  EXPECT_EQ(grown_print.value(), simhash64(head.value()));  // capped at 1 MiB
  EXPECT_EQ(sample_fingerprint(shrunk, 5u << 20).value(), simhash64(Bytes(data.begin(), data.begin() + 10)));

  Result<SeedDigests> digests = seed_digests(seed, data.size());
  ASSERT_TRUE(digests.ok());
  std::vector<CopyEntry> identical = find_identical(candidates, 5000, digests.value(), std::stop_token{});
  ASSERT_EQ(identical.size(), 1u);
  EXPECT_EQ(identical[0].path, platform::display_path(same));
}

TEST_F(CopySearchTest, ParallelPhasesAgreeWithOneByOneComparison) {
  // Many candidates through both parallel loops: the ThreadSanitizer lane
  // runs this to check the phases share nothing unguarded.
  Bytes base = random_bytes(70000, 31);
  std::vector<Candidate> candidates;
  for (int i = 0; i < 120; ++i) {
    Bytes data = base;
    if (i % 3 != 0) data[static_cast<std::size_t>(i) * 500] ^= 0xFF;
    std::string p = write("many/" + std::to_string(i) + ".bin", data);
    candidates.push_back(Candidate{p, data.size(), 0});
  }
  std::string seed = write("seed.bin", base);
  Result<SeedDigests> digests = seed_digests(seed, base.size());
  ASSERT_TRUE(digests.ok());
  std::vector<CopyEntry> identical = find_identical(candidates, base.size(), digests.value(), std::stop_token{});
  EXPECT_EQ(identical.size(), 40u);

  std::uint64_t seed_print = simhash64(base);
  std::vector<CopyEntry> similar = find_similar(candidates, seed_print, 0.0, std::stop_token{});
  ASSERT_EQ(similar.size(), 120u);
  for (std::size_t i = 0; i < similar.size(); ++i) {
    double s = similarity_of(sample_fingerprint(candidates[i].path, candidates[i].size).value(), seed_print);
    EXPECT_EQ(*similar[i].similarity, rounded_similarity(s));
  }

  std::stop_source stop;
  stop.request_stop();
  EXPECT_TRUE(find_identical(candidates, base.size(), digests.value(), stop.get_token()).empty());
  EXPECT_TRUE(find_similar(candidates, seed_print, 0.0, stop.get_token()).empty());
}

TEST_F(CopySearchTest, WalkersSharingATreeCollectEveryCandidateOnce) {
  // Folders are handed between walkers while they walk, so a random tree
  // (wide, deep, with links that must not be followed) is collected several
  // times and held against a plain recursive listing of it.
  std::mt19937_64 random(7);
  std::vector<std::string> folders{""};
  for (int i = 0; i < 400; ++i) {
    const std::string& parent = folders[random() % folders.size()];
    folders.push_back(parent + (parent.empty() ? "" : "/") + "d" + std::to_string(i));
    dir(folders.back());
  }
  std::string chain = "deep";
  for (int i = 0; i < 70; ++i) chain += "/n";
  write(chain + "/bottom.c", Bytes(3, 1));
  for (int i = 0; i < 1500; ++i) {
    const std::string& at = folders[random() % folders.size()];
    write(at + (at.empty() ? "" : "/") + "f" + std::to_string(i) + (i % 3 == 0 ? ".h" : ".c"), Bytes(i % 5, 2));
  }
  std::string seed = write("seed.c", Bytes(4, 2));
  std::error_code ec;
  fs::create_directory_symlink(scratch.root() / "d0", scratch.root() / "link", ec);
  const std::uint64_t links = ec ? 0 : 1;  // Wine makes none

  std::string root = *platform::canonical_path(scratch.text());
  std::vector<std::string> expected;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    if (it->is_regular_file() && !it->is_symlink() && it->path().extension() == ".c" &&
        it->path().string() != *platform::canonical_path(seed)) {
      expected.push_back(it->path().string());
    }
  }
  std::sort(expected.begin(), expected.end());
  ASSERT_GT(expected.size(), 900u);

  std::vector<std::string> roots{root};
  std::string seed_path = *platform::canonical_path(seed);
  // The machine's walkers, then 1 (alone, and with warmers reading ahead),
  // 16 and 64 as other machines have them: the same candidates, and never
  // more handles open at once than the call's budget, whatever the number
  // of walkers.
  std::vector<std::size_t> pools{platform::kEveryProcessor, platform::kEveryProcessor, 1, 1, 16, 64, 64};
  for (std::size_t round = 0; round < pools.size(); ++round) {
    platform::set_warm_ahead_override(round == 3 ? platform::WarmAhead::always : platform::WarmAhead::when_slow);
    corvane::testing::ObservedListing::reset();
    platform::ProgressCounters counters;
    platform::ProgressReporter reporter(sink, clock);
    CollectOptions options{roots, true, seed_path, "c", "t"};
    options.walkers = pools[round];
    options.listing = corvane::testing::ObservedListing::make;
    std::vector<Candidate> found = collect_candidates(options, platform::TaskHooks({}, &counters), reporter);
    std::vector<std::string> paths;
    for (const Candidate& c : found) paths.push_back(c.path);
    EXPECT_EQ(paths, expected) << "round " << round;
    EXPECT_EQ(counters.processed.load(), 400u + 71u + 1u + 1500u + 1u + links) << "every entry listed once";
    corvane::testing::ObservedListing::Seen seen = corvane::testing::ObservedListing::seen();
    EXPECT_LE(seen.most_held, platform::kMaxOpenListings) << pools[round] << " walkers";
    EXPECT_EQ(seen.held, 0u);
  }
  platform::set_warm_ahead_override(platform::WarmAhead::when_slow);
  std::stop_source stop;
  stop.request_stop();
  platform::ProgressReporter reporter(sink, clock);
  EXPECT_TRUE(collect_candidates(CollectOptions{roots, true, seed_path, "c", "t"}, platform::TaskHooks(stop.get_token()),
                                 reporter)
                  .empty());
}


// The system's listing, but the files whose name starts with "cloud" have
// their data elsewhere, as a sync provider's placeholders do.
class CloudListing final : public platform::ListingSource {
 public:
  CloudListing() : inner_(platform::native_listing()) {}
  Opened open_root(std::string_view root) override { return inner_->open_root(root); }
  Opened open_child(platform::Listing& parent, const Entry& entry) override {
    return inner_->open_child(parent, entry);
  }
  Read read(platform::Listing& listing, Entry& out) override {
    Read read = inner_->read(listing, out);
    out.data_not_local = out.kind == platform::EntryKind::file && out.name.starts_with("cloud");
    return read;
  }
  Result<platform::EntryStat> stat(platform::Listing& listing, const Entry& entry) override {
    return inner_->stat(listing, entry);
  }
  void release(platform::Listing& listing) override { inner_->release(listing); }
  bool resume(platform::Listing& listing, platform::Listing& child) override { return inner_->resume(listing, child); }

 private:
  std::unique_ptr<platform::ListingSource> inner_;
};

TEST_F(CopySearchTest, FilesWhoseDataIsNotOnThisDiskAreNeverRead) {
  Bytes data = random_bytes(70000, 31);
  std::string seed = write("seed.bin", data);
  for (const char* name : {"here.bin", "cloud.bin", "sub/cloud copy.bin", "sub/here too.bin"}) write(name, data);
  std::vector<std::string> roots{*platform::canonical_path(scratch.text())};
  std::string seed_path = *platform::canonical_path(seed);
  CollectOptions options{roots, true, seed_path, "bin", "t"};
  options.listing = [] { return std::unique_ptr<platform::ListingSource>(std::make_unique<CloudListing>()); };
  platform::ProgressReporter reporter(sink, clock);
  std::vector<std::string> names;
  for (const Candidate& c : collect_candidates(options, {}, reporter)) names.emplace_back(file_name_of(c.path));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"here too.bin", "here.bin"}));

  // A seed in that state cannot be read either, in both modes; nothing is walked.
  SearchHost cloud_seed{sink, clock, [](const SearchJobInputs& in) {
                          ValidatedSeed seed = in.seed;
                          seed.data_not_local = true;
                          auto ran = run_copy_search({in.request, seed, in.roots, in.cancel, in.reporter, in.counters});
                          EXPECT_EQ(in.counters.processed.load(), 0u);
                          return ran;
                        }};
  for (MatchMode mode : {MatchMode::exact, MatchMode::similar}) {
    EXPECT_EQ(run({seed, {scratch.text()}, true, mode, 0.5, "mcp_42"}, cloud_seed).error(), "SEED_FILE_READ_FAILED");
  }
}

}  // namespace
}  // namespace corvane::find_copies
