#include "core/storage/wal/compact_entry_parser.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "core/payload/json_number.h"

namespace tarnvault_core::storage::wal {
namespace {

std::string insert_body(const std::string& id, const std::string& components) {
  return R"({"kind":"Insert","id":)" + id + R"(,"vector":[)" + components +
         R"(],"payload":{"data":{}}})";
}

void expect_same_entry(const WalEntry& a, const WalEntry& b) {
  EXPECT_EQ(a.kind, b.kind);
  EXPECT_EQ(a.id, b.id);
  EXPECT_EQ(a.payload, b.payload);
  ASSERT_EQ(a.vector.size(), b.vector.size());
  for (std::size_t i = 0; i < a.vector.size(); ++i) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(a.vector[i]), std::bit_cast<std::uint32_t>(b.vector[i]));
  }
}

// Every body, taken or not by the fast parser, reads exactly as the general
// reader reads it: the same entry, or the same error.
TEST(CompactEntryParser, AgreesWithTheGeneralReader) {
  struct Case {
    std::string body;
    bool fast;  // whether the compact parser takes it
  };
  const Case cases[] = {
      // The writer's own shapes.
      {insert_body("7", "0.5,1.0,-2.25"), true},
      {R"({"kind":"Checkpoint","id":0,"vector":[],"payload":{"data":{}}})", true},
      {R"({"kind":"Update","id":3,"vector":[1.0],"payload":{"data":{}}})", true},
      {R"({"kind":"Delete","id":3,"vector":[],"payload":{"data":{}}})", true},
      {insert_body("18446744073709551615", "1.0"), true},
      {insert_body("1", "-0.0,0,-0,1e-45,1E+05,1.5e-07,3.4028235e+38,1.1754942e-38"), true},
      {insert_body("1", "3.5e38,-1e99,1e-99,0.000000000000000000000000000000000000000000001"),
       true},
      {insert_body("1", "12345678901234567890,16777217"), true},
      // Valid JSON the compact parser leaves to the general reader.
      {insert_body("1", "123456789012345678901"), false},
      {insert_body("1", "1e100"), false},
      {insert_body("1", "1e-400"), false},
      {insert_body("1", " 1.0"), false},
      {std::string(" ").append(insert_body("1", "1.0")), false},
      {insert_body("1", "1.0") + "\n", false},
      {R"({"id":1,"kind":"Insert","vector":[1.0],"payload":{"data":{}}})", false},
      {R"({"kind":"Insert","id":1,"vector":[1.0],"payload":{"data":{"k":1}}})", false},
      {R"({"kind":"Insert","id":1,"vector":[1.0],"payload":{"data":{}},"extra":2})", false},
      // Near misses both refuse.
      {insert_body("18446744073709551616", "1.0"), false},
      {insert_body("-1", "1.0"), false},
      {insert_body("1.0", "1.0"), false},
      {insert_body("01", "1.0"), false},
      {insert_body("", "1.0"), false},
      {insert_body("1", "1e400"), false},
      {insert_body("1", "01"), false},
      {insert_body("1", "1."), false},
      {insert_body("1", ".5"), false},
      {insert_body("1", "+1"), false},
      {insert_body("1", "-"), false},
      {insert_body("1", "1e"), false},
      {insert_body("1", "1e+"), false},
      {insert_body("1", "1,"), false},
      {insert_body("1", ",1"), false},
      {insert_body("1", "1,,2"), false},
      {insert_body("1", "NaN"), false},
      {insert_body("1", "null"), false},
      {insert_body("1", "\"1\""), false},
      {insert_body("1", "[1]"), false},
      {R"({"kind":"insert","id":1,"vector":[1.0],"payload":{"data":{}}})", false},
      {R"({"kind":"Insert","id":1,"vector":[1.0],"payload":{"data":{}}}})", false},
      {R"({"kind":"Insert","id":1,"vector":[1.0],"payload":{"data":{}})", false},
      {R"({"kind":"Insert","id":1,"vector":[1.0],"payload":{"data":{}}}x)", false},
      {R"({"kind":"Insert","id":1,"vector":[1.0]})", false},
      {R"({"kind":"Insert","id":1,"id":2,"vector":[1.0],"payload":{"data":{}}})", false},
      {"", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    WalEntry fast;
    EXPECT_EQ(parse_compact_entry(c.body, fast), c.fast);
    EXPECT_EQ(is_compact_entry(c.body), c.fast);
    auto read = WalEntry::from_bytes(c.body);
    auto general = WalEntry::from_bytes_general(c.body);
    ASSERT_EQ(read.ok(), general.ok());
    if (!general.ok()) {
      EXPECT_EQ(read.error(), general.error());
      continue;
    }
    expect_same_entry(*read, *general);
    if (c.fast) expect_same_entry(fast, *general);
  }
}

// Each component alone, first, in the middle and last (its text then ends
// where the body's closing text begins), as each of 16 bytes takes it in a
// block of 64: the compact parser takes exactly the plain numbers, and the
// floats it reads are those of the general reader, bit for bit.
TEST(CompactEntryParser, TakesExactlyThePlainNumbers) {
  struct Case {
    std::string text;
    bool plain;
  };
  const Case cases[] = {
      // Integer digits: 7, 8, 9, 16, 17, 19 and 20 taken, 21 refused.
      {"1234567", true},
      {"12345678", true},
      {"-123456789", true},
      {"1234567890123456", true},
      {"-1234567890123456", true},
      {"12345678901234567", true},
      {"1234567890123456789", true},
      {"99999999999999999999", true},
      {"-12345678901234567890", true},
      {"123456789012345678901", false},
      // Fractions about the 16 characters read at once, and far beyond.
      {"0.1234567", true},
      {"-0.12345678", true},
      {"1.2345678901234", true},
      {"-1.2345678901234", true},
      {"-1.23456789012345", true},
      {"12345678.12345678", true},
      {"-0.00000000000000000000000001", true},
      {"0.5000000000000000000000000000000000001", true},
      {"0", true},
      {"-0", true},
      {"0.0", true},
      {"-0.0", true},
      {"10", true},
      {"9.", false},
      {".5", false},
      {"-.5", false},
      {"1..2", false},
      {"1.2.3", false},
      // A leading zero only alone.
      {"00", false},
      {"01.5", false},
      {"-00.5", false},
      {"-0123456789012345", false},
      // Exponents of up to two digits, signed or not.
      {"1e5", true},
      {"1E+05", true},
      {"-1.2345678e-05", true},
      {"1.5e-07", true},
      {"1e99", true},
      {"1e123", false},
      {"1e", false},
      {"1e+", false},
      {"1e+-1", false},
      {"1.e5", false},
      // Bytes beside the digits and the point, and signs out of place.
      {"", false},
      {"-", false},
      {"--1", false},
      {"+1", false},
      {"1-", false},
      {"1/2", false},
      {"1:2", false},
      {"1 ", false},
      {"0x10", false},
      {"\xd9\xa1", false},
      {"1\xb2", false},
      {"1,", false},
  };
  for (const Case& c : cases) {
    const std::string lists[] = {c.text, c.text + ",0.5", "0.25," + c.text + ",-3",
                                 "-0.75,-1.5," + c.text,
                                 "1." + std::string(40, '1') + ",7,7,7," + c.text + ",3"};
    for (const std::string& list : lists) {
      const std::string body = insert_body("12", list);
      SCOPED_TRACE(body);
      // No text at all is the empty vector.
      const bool taken = c.plain || list.empty();
      WalEntry fast;
      ASSERT_EQ(parse_compact_entry(body, fast), taken);
      EXPECT_EQ(is_compact_entry(body), taken);
      if (!taken) continue;
      auto general = WalEntry::from_bytes_general(body);
      ASSERT_TRUE(general.ok());
      expect_same_entry(fast, *general);
    }
  }
}

// Random lists of numbers of every plain shape, some with one byte changed,
// added or taken out: the compact parser takes a body exactly when each
// component matches the plain grammar, and then reads it as the general
// reader does.
TEST(CompactEntryParser, AgreesWithThePlainGrammarOnRandomLists) {
  const std::regex plain(R"(-?(0|[1-9][0-9]{0,19})(\.[0-9]+)?([eE][+-]?[0-9]{1,2})?)");
  const std::string alphabet = "0123456789012345678901234567890123456789-.eE+,/: ";
  std::mt19937_64 random(29);
  auto below = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
  auto digits = [&](std::size_t n) {
    std::string text;
    for (std::size_t i = 0; i < n; ++i) text.push_back(static_cast<char>('0' + below(10)));
    return text;
  };
  for (int round = 0; round < 20000; ++round) {
    std::vector<std::string> components(below(40));
    for (std::string& text : components) {
      if (below(2)) text += '-';
      text += below(4) == 0 ? digits(1 + below(22)) : digits(1);
      if (below(4) != 0) {
        text += '.';
        text += digits(below(3) == 0 ? 1 + below(25) : 1 + below(9));
      }
      if (below(8) == 0) {
        text += below(2) ? "e" : "E+";
        text += digits(1 + below(3));
      }
      if (below(10) == 0 && !text.empty()) {
        const std::size_t at = below(text.size());
        switch (below(3)) {
          case 0: text[at] = alphabet[below(alphabet.size())]; break;
          case 1: text.insert(at, 1, alphabet[below(alphabet.size())]); break;
          default: text.erase(at, 1); break;
        }
      }
    }
    std::string list;
    bool expected = true;
    for (std::size_t i = 0; i < components.size(); ++i) {
      if (i != 0) list += ',';
      list += components[i];
      // A comma put in by a change splits the text into numbers itself.
      std::size_t from = 0;
      for (std::size_t comma = 0; comma != std::string::npos; from = comma + 1) {
        comma = components[i].find(',', from);
        expected = expected && std::regex_match(components[i].substr(from, comma - from), plain);
      }
    }
    // One component that a change left empty is an empty vector.
    if (list.empty()) expected = true;
    const std::string body = insert_body(std::to_string(round), list);
    SCOPED_TRACE(body);
    WalEntry fast;
    ASSERT_EQ(parse_compact_entry(body, fast), expected);
    if (!expected) continue;
    auto general = WalEntry::from_bytes_general(body);
    ASSERT_TRUE(general.ok());
    expect_same_entry(fast, *general);
  }
}


// The components are converted from the digits gathered during the scan
// wherever one double operation gives the right rounding; every one must
// come out as the full conversion of its text does. Shortest texts of
// random float bit patterns, random short decimals of every exponent the
// quick conversion takes and beyond, decimals that are exactly float
// midpoints (ties go to even), and decimals beside a midpoint whose
// nearest double is the midpoint itself, where rounding twice goes wrong.
TEST(CompactEntryParser, ComponentsConvertAsTheFullConversionDoes) {
  std::mt19937_64 random(11);
  std::vector<std::string> texts = {"16777217",    "16777219",     "1.6777217e7", "167772170e-1",
                                    "33554434",    "-16777217.0",  "0.5",         "-0.0",
                                    "4.5e-44",     "7.006e-45",    "3.4028235e38", "3.4028236e38",
                                    "9007199254740993", "9007199254740992e-22", "1e22", "1e-22",
                                    "1e23", "1e-23", "0.000000000000000000001", "9999999999999999999",
                                    // Not midpoints, but their nearest double is one.
                                    "4808949266500117e17", "134473243584235e18",
                                    "3509967694748259e11", "6082567758858204e-17",
                                    "2815886805503351e13", "2632185637523536e18",
                                    "3267117174193138e5", "7438688999115708e20",
                                    "7438688999115709e20", "354756748566783e11"};
  for (int n = 0; n < 200000; ++n) {
    const float f = std::bit_cast<float>(static_cast<std::uint32_t>(random()));
    if (!std::isfinite(f)) continue;
    std::string text;
    payload::append_float32(text, f);
    texts.push_back(text);
  }
  for (int n = 0; n < 200000; ++n) {
    const int digits = 1 + static_cast<int>(random() % 19);
    // A point after the first `whole` digits, when there are more.
    const int whole = 1 + static_cast<int>(random() % static_cast<unsigned>(digits));
    std::string text = (random() & 1) ? "-" : "";
    text.push_back(static_cast<char>('1' + random() % 9));
    for (int i = 1; i < digits; ++i) {
      if (i == whole) text.push_back('.');
      text.push_back(static_cast<char>('0' + random() % 10));
    }
    text.push_back('e');
    text.append(std::to_string(static_cast<int>(random() % 81) - 40));
    texts.push_back(text);
  }
  std::string components;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (i != 0) components += ',';
    components += texts[i];
  }
  WalEntry entry;
  ASSERT_TRUE(parse_compact_entry(insert_body("1", components), entry));
  ASSERT_EQ(entry.vector.size(), texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    ASSERT_EQ(std::bit_cast<std::uint32_t>(entry.vector[i]),
              std::bit_cast<std::uint32_t>(payload::float32_from_json_text(texts[i])))
        << texts[i];
  }
}

}  // namespace
}  // namespace tarnvault_core::storage::wal
