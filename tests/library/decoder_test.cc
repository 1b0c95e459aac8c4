#include "decoder.h"

#include <gtest/gtest.h>

namespace library {
namespace {

// Shaped as vaklabel-show --json prints one input.
nlohmann::json Document(nlohmann::json failed_checks) {
  return {{"input", "labels/slot001.lbl"},
          {"kind", "label-file"},
          {"label", "ABC001"},
          {"passed", failed_checks.empty()},
          {"records",
           {{{"number", 1}, {"identifier", "VOL1"}, {"fields", nlohmann::json::object()}},
            {{"number", 2},
             {"identifier", "HDR1"},
             {"fields",
              {{"creation_date", {{"columns", {42, 47}}, {"value", "026341"}, {"meaning", "2026-12-07"}, {"date", "2026-12-07"}}},
               {"expiration_date", {{"columns", {48, 53}}, {"value", " 99365"}, {"meaning", "never expires"}}}}}}}},
          {"failed_checks", failed_checks}};
}

nlohmann::json Check(const char* check, const char* identifier, const char* field, const char* reason) {
  return {{"check", check}, {"identifier", identifier ? nlohmann::json(identifier) : nlohmann::json()},
          {"field", field ? nlohmann::json(field) : nlohmann::json()}, {"reason", reason}};
}

TEST(Decoder, DatesAndWhetherTheSetIsStandard) {
  Decoded good = FromDecoderJson(Document(nlohmann::json::array()));
  EXPECT_TRUE(good.ran);
  EXPECT_TRUE(good.standard);
  EXPECT_EQ(good.created, "2026-12-07");
  EXPECT_EQ(good.expires, "never expires");

  Decoded warned = FromDecoderJson(
      Document(nlohmann::json::array({Check("vaklabel_form", "HDR1", "creation_date", "not 0yyddd")})));
  EXPECT_TRUE(warned.standard);
  EXPECT_EQ(warned.problems, (std::vector<std::string>{"HDR1 creation_date: not 0yyddd"}));

  Decoded foreign = FromDecoderJson(
      Document(nlohmann::json::array({Check("identifiers", "XXXX", nullptr, "'XXXX' where VOL1 belongs")})));
  EXPECT_TRUE(foreign.ran);
  EXPECT_FALSE(foreign.standard);
  EXPECT_EQ(foreign.checks, (std::vector<std::string>{"identifiers"}));

  // Label bytes come as the characters of their codes and go back to bytes.
  Decoded latin = FromDecoderJson(Document(
      nlohmann::json::array({Check("identifiers", "\u00e5\u00d6L1", nullptr, "'\\xE5\\xD6L1' where VOL1 belongs")})));
  EXPECT_EQ(latin.problems, (std::vector<std::string>{"\xE5\xD6L1: '\\xE5\\xD6L1' where VOL1 belongs"}));

  Decoded unread = FromDecoderJson({{"input", "x.lbl"}, {"kind", nullptr}, {"error", "not hex"}});
  EXPECT_FALSE(unread.ran);
  EXPECT_EQ(unread.error, "not hex");
}

}  // namespace
}  // namespace library
