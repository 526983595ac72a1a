#include "core/collection/collection_meta.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>

#include "core/storage/io/testing/fault_injecting_file_system.h"
#include "core/storage/io/testing/test_support.h"

namespace tarnvault_core::collection {
namespace {

using storage::io::FaultInjectingFileSystem;
using storage::io::FsOp;
using storage::io::testing::read_bytes;
using storage::io::testing::TempDir;
using storage::io::testing::write_bytes;

constexpr const char* kExampleText =
    "{\n"
    "  \"dimension\": 128,\n"
    "  \"metric\": \"Cosine\",\n"
    "  \"vector_count\": 3,\n"
    "  \"next_id\": 11\n"
    "}";

const CollectionMeta kExample{128, "Cosine", 3, 11};

TEST(CollectionMetaTextTest, SerialisesTheExactIndentedLayout) {
  auto text = serialize_meta(kExample);
  ASSERT_TRUE(text.ok());
  EXPECT_EQ(*text, kExampleText);

  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  auto extremes = serialize_meta(CollectionMeta{0, "a\"b", 0, max});
  ASSERT_TRUE(extremes.ok());
  EXPECT_EQ(*extremes,
            "{\n  \"dimension\": 0,\n  \"metric\": \"a\\\"b\",\n  \"vector_count\": 0,\n"
            "  \"next_id\": 18446744073709551615\n}");

  auto invalid = serialize_meta(CollectionMeta{1, "\xFF", 0, 0});
  ASSERT_FALSE(invalid.ok());
  EXPECT_EQ(invalid.error(),
            Error::collection_error("serialize meta failed: string is not valid UTF-8"));
}

TEST(CollectionMetaTextTest, ParsesWhatAGeneralReaderWouldMapOntoTheRecord) {
  struct Case {
    const char* text;
    CollectionMeta expected;
  };
  const Case cases[] = {
      {kExampleText, kExample},
      {R"({"next_id":11,"vector_count":3,"metric":"Cosine","dimension":128})", kExample},
      {R"({"note":{"a":[1,{"b":null}]},"dimension":128,"metric":"Cosine","vector_count":3,)"
       R"("next_id":11,"x":"y"})",
       kExample},
      {R"( [128, "Cosine", 3, 11] )", kExample},
      {R"({"dimension":2,"metric":"manhattan\u00e9","vector_count":0,"next_id":0})",
       {2, "manhattan\xC3\xA9", 0, 0}},
  };
  for (const Case& c : cases) {
    auto meta = parse_meta(c.text);
    ASSERT_TRUE(meta.ok()) << c.text << ": " << meta.error().message();
    EXPECT_EQ(*meta, c.expected) << c.text;
  }
}

TEST(CollectionMetaTextTest, RefusesWithPositionedParseErrors) {
  const std::string tail = R"(,"metric":"Cosine","vector_count":3,"next_id":11})";
  struct Case {
    std::string text;
    const char* message;
  };
  const Case cases[] = {
      {"", "unexpected end of input at line 1 column 0"},
      {"{\n  \"dimension\": 1,\n  \"dimension\": 2",
       "duplicate field `dimension` at line 3 column 13"},
      {R"({"dimension":1,"metric":"Cosine","vector_count":3})",
       "missing field `next_id` at line 1 column 50"},
      {R"({"dimension":"128")" + tail,
       "invalid type: string \"128\", expected an unsigned machine-word integer at line 1 column "
       "18"},
      {R"({"dimension":-1)" + tail,
       "invalid value: integer `-1`, expected an unsigned machine-word integer at line 1 column "
       "15"},
      {R"({"dimension":1.5)" + tail,
       "invalid type: floating point `1.5`, expected an unsigned machine-word integer at line 1 "
       "column 16"},
      {R"({"dimension":1,"metric":5})",
       "invalid type: integer `5`, expected a string at line 1 column 25"},
      {R"({"dimension":1,"metric":"m","vector_count":null})",
       "invalid type: null, expected an unsigned 64-bit integer at line 1 column 47"},
      {R"([1,"m",3])",
       "invalid length 3, expected struct CollectionMeta with 4 elements at line 1 column 9"},
      {R"([1,"m",3,4,5])",
       "invalid length 5, expected struct CollectionMeta with 4 elements at line 1 column 13"},
      {"\"meta\"",
       "invalid type: string \"meta\", expected struct CollectionMeta at line 1 column 6"},
      {std::string(kExampleText) + "\n}", "trailing characters at line 7 column 0"},
  };
  for (const Case& c : cases) {
    auto meta = parse_meta(c.text);
    ASSERT_FALSE(meta.ok()) << c.text;
    EXPECT_EQ(meta.error(), Error::collection_error(std::string("parse meta failed: ") + c.message))
        << c.text << "\n got: " << meta.error().text();
  }
}

TEST(CollectionMetaFileTest, WritesReplacesAndReadsBack) {
  TempDir dir;
  ASSERT_TRUE(write_meta_file(dir.path(), CollectionMeta{4, "Euclidean", 0, 1}).ok());
  ASSERT_TRUE(write_meta_file(dir.path(), kExample).ok());
  EXPECT_EQ(read_bytes(dir.file("meta.json")), kExampleText);
  EXPECT_FALSE(std::filesystem::exists(dir.file("meta.json.tmp")));
  auto meta = read_meta_file(dir.file("meta.json"));
  ASSERT_TRUE(meta.ok()) << meta.error().message();
  EXPECT_EQ(*meta, kExample);
}

TEST(CollectionMetaFileTest, AFailedWriteLeavesTheOldFileWhole) {
  struct Case {
    FsOp op;
    int errnum;
    const char* text;
  };
  const Case cases[] = {
      {FsOp::Open, EACCES, "write meta failed: Permission denied (os error 13)"},
      {FsOp::Pwrite, ENOSPC, "write meta failed: No space left on device (os error 28)"},
      {FsOp::Fsync, EIO, "write meta failed: Input/output error (os error 5)"},
      {FsOp::Rename, EXDEV, "write meta failed: Invalid cross-device link (os error 18)"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    ASSERT_TRUE(write_meta_file(dir.path(), kExample).ok());
    FaultInjectingFileSystem fs;
    fs.fail_nth(c.op, 1, c.errnum);
    const Status status = write_meta_file(dir.path(), CollectionMeta{9, "Hamming", 9, 9}, fs);
    ASSERT_FALSE(status.ok()) << c.text;
    EXPECT_EQ(status.error(), Error::collection_error(c.text));
    EXPECT_EQ(read_bytes(dir.file("meta.json")), kExampleText) << c.text;
    EXPECT_FALSE(std::filesystem::exists(dir.file("meta.json.tmp"))) << c.text;
  }
}

TEST(CollectionMetaFileTest, ReadRefusesUnreadableFiles) {
  TempDir dir;
  write_bytes(dir.file("bad-utf8"), "{\"metric\":\"\xC3\x28\"}");
  write_bytes(dir.file("huge"), std::string(kMaxMetaFileSize + 1, ' '));
  write_bytes(dir.file("empty"), "");
  struct Case {
    std::filesystem::path file;
    std::string text;
  };
  const Case cases[] = {
      {dir.file("absent"), "read meta failed: No such file or directory (os error 2)"},
      {dir.path(), "read meta failed: Is a directory (os error 21)"},
      {dir.file("bad-utf8"), "read meta failed: invalid UTF-8 at byte 11"},
      {dir.file("huge"),
       "read meta failed: file is too large: 1048577 bytes, at most 1048576 expected"},
      {dir.file("empty"), "parse meta failed: unexpected end of input at line 1 column 0"},
  };
  for (const Case& c : cases) {
    auto meta = read_meta_file(c.file);
    ASSERT_FALSE(meta.ok()) << c.text;
    EXPECT_EQ(meta.error(), Error::collection_error(c.text)) << meta.error().text();
  }
}

}  // namespace
}  // namespace tarnvault_core::collection
