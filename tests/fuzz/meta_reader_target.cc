// The meta.json reader, over text as read_meta_file hands it on (valid
// UTF-8): whatever it accepts must be written and read back unchanged.
#include "core/collection/collection_meta.h"
#include "core/payload/utf8.h"
#include "tests/fuzz/fuzz_support.h"

namespace tarnvault_fuzz {

void meta_reader(FuzzInput input) {
  using tarnvault_core::collection::parse_meta;
  using tarnvault_core::collection::serialize_meta;

  const std::string_view text = as_text(input);
  if (!tarnvault_core::payload::is_valid_utf8(text)) return;
  auto meta = parse_meta(text);
  if (!meta.ok()) {
    FUZZ_CHECK(meta.error().text().starts_with("parse meta failed: "),
               "unexpected parse error: " + meta.error().message());
    check_reader_position(meta.error().text(), text);
    return;
  }
  auto written = serialize_meta(*meta);
  FUZZ_CHECK(written.ok(), "a meta that was read cannot be written: " + written.error().message());
  FUZZ_CHECK(written->starts_with("{\n") && written->ends_with("\n}"),
             "written meta is not laid out as one object: " + *written);
  auto reread = parse_meta(*written);
  FUZZ_CHECK(reread.ok(), "written meta does not read back: " + *written);
  FUZZ_CHECK(*reread == *meta, "meta changed on a round trip: " + *written);
}

}  // namespace tarnvault_fuzz
