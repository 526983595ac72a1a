// The payload reader: whatever it accepts must write back to a text that
// reads as the same payload.
#include "core/payload/payload.h"
#include "tests/fuzz/fuzz_support.h"

namespace tarnvault_fuzz {

void payload_reader(FuzzInput input) {
  using tarnvault_core::payload::payload_from_json;
  using tarnvault_core::payload::payload_to_json;

  auto parsed = payload_from_json(as_text(input));
  if (!parsed.ok()) {
    FUZZ_CHECK(parsed.error().kind() == tarnvault_core::ErrorKind::PayloadError,
               "a payload read failed with another kind: " + parsed.error().message());
    check_reader_position(parsed.error().text(), as_text(input));
    return;
  }
  auto written = payload_to_json(*parsed);
  FUZZ_CHECK(written.ok(), "a payload that was read cannot be written: " + written.error().message());
  auto reread = payload_from_json(*written);
  FUZZ_CHECK(reread.ok(), "written payload does not read back: " + *written);
  FUZZ_CHECK(*reread == *parsed, "payload changed on a round trip: " + *written);
  auto rewritten = payload_to_json(*reread);
  FUZZ_CHECK(rewritten.ok() && rewritten->size() == written->size(),
             "a round trip changed the payload's text length: " + *written);
}

}  // namespace tarnvault_fuzz
